# ZarvNikonCapture_32: the same sources built again for i386 in a build folder of its own
# (build-32 inside this one), its program copied into the bundle beside the 64-bit one. Needs
# the compiler's -m32 support and the i386 development packages that tools/setup installs.
option(ZARV_BUILD_32 "Also build the 32-bit program ZarvNikonCapture_32" ON)
set(ZARV_32_PROGRAM "${ZARV_APP_MACOS}/${ZARV_BUNDLE_NAME}_32")
set(ZARV_32_BUILT OFF)
if(ZARV_32BIT_SUBBUILD OR NOT ZARV_BUILD_32)
    return()
endif()
set(missing)
if(NOT ZARV_I386_TOOLCHAIN)
    list(APPEND missing "an -m32 compiler (g++-multilib)")
endif()
foreach(file cmake/Qt6/Qt6Config.cmake cmake/Qt6Widgets/Qt6WidgetsConfig.cmake
             cmake/Qt6DBus/Qt6DBusConfig.cmake pkgconfig/libplist-2.0.pc pkgconfig/libudev.pc)
    if(NOT EXISTS "/usr/lib/i386-linux-gnu/${file}")
        list(APPEND missing "/usr/lib/i386-linux-gnu/${file}")
    endif()
endforeach()
if(missing)
    list(JOIN missing ", " missing)
    message(STATUS "ZarvNikonCapture_32 is not built: missing ${missing} (tools/setup installs "
                   "the i386 packages)")
    return()
endif()

include(ExternalProject)
set(ZARV_32_BINARY_DIR "${CMAKE_BINARY_DIR}/build-32")
ExternalProject_Add(zarv_32
    SOURCE_DIR "${PROJECT_SOURCE_DIR}"
    BINARY_DIR "${ZARV_32_BINARY_DIR}"
    CMAKE_ARGS
        "-DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/i386-toolchain.cmake"
        -DZARV_32BIT_SUBBUILD=ON -DZARV_BUILD_TESTS=OFF -DZARV_BUILD_BENCH=OFF -DZARV_SANITIZE=OFF
        -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DZARV_WERROR=${ZARV_WERROR}"
        "-DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}"
        "-DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER}"
    BUILD_COMMAND "${CMAKE_COMMAND}" --build "${ZARV_32_BINARY_DIR}" --target ${ZARV_BUNDLE_NAME}
    INSTALL_COMMAND "${CMAKE_COMMAND}" -E copy
        "${ZARV_32_BINARY_DIR}/${ZARV_BUNDLE_NAME}.app/Contents/MacOS/${ZARV_BUNDLE_NAME}"
        "${ZARV_32_PROGRAM}"
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS "${ZARV_32_PROGRAM}")
set(ZARV_32_BUILT ON)
