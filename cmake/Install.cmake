# `cmake --install` lays the program out under the prefix: the bundle under lib, a launcher and
# the command-line tools in bin, the desktop entry, its icon and the manual pages under share.
# The installed camera-to-module table names the module folder by its absolute path, chosen at
# configure time: stage an install with DESTDIR, not with `--prefix`, or the table points
# elsewhere.
include(GNUInstallDirs)

set(app "${ZARV_INSTALL_APP_DIR}")
install(TARGETS ZarvNikonCapture RUNTIME DESTINATION "${app}/Contents/MacOS")
install(TARGETS zarv_relaunch RUNTIME DESTINATION "${app}/Contents/Resources")
install(FILES "${ZARV_APP_CONTENTS}/Info.plist" DESTINATION "${app}/Contents")
install(FILES "${ZARV_APP_RESOURCES}/FactoryDefault.plist" DESTINATION "${app}/Contents/Resources")
if(ZARV_32_BUILT)
    install(PROGRAMS "${ZARV_32_PROGRAM}" DESTINATION "${app}/Contents/MacOS")
endif()
if(ZARV_I386_TOOLCHAIN)
    install(PROGRAMS "${ZARV_APP_MACOS}/i386-probe" DESTINATION "${app}/Contents/MacOS")
endif()
# The module folder exists even before a module is installed into it.
install(DIRECTORY DESTINATION "${ZARV_INSTALL_MODULE_DESTINATION}")

install(TARGETS zarv-plutil zarv-usbwatch zarvctl RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
# The family's viewer, beside the launcher it starts the capture program through.
install(TARGETS ZarvLookout RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
set(ZARV_LAUNCHER_APP_DIR "${app}")
configure_file("${PROJECT_SOURCE_DIR}/resources/linux/zarvnikoncapture.in"
               "${CMAKE_BINARY_DIR}/install/zarvnikoncapture" @ONLY)
install(PROGRAMS "${CMAKE_BINARY_DIR}/install/zarvnikoncapture"
        DESTINATION "${CMAKE_INSTALL_BINDIR}")

foreach(id IN ITEMS ${ZARV_BUNDLE_IDENTIFIER} com.quellbay.ZarvLookout)
    install(FILES "${PROJECT_SOURCE_DIR}/resources/linux/${id}.desktop"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
    install(FILES "${PROJECT_SOURCE_DIR}/resources/linux/${id}.svg"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")
endforeach()
set(ZARV_MAN_PAGES zarvnikoncapture zarv-plutil zarv-usbwatch zarvctl zarvlookout)
foreach(page IN LISTS ZARV_MAN_PAGES)
    install(FILES "${PROJECT_SOURCE_DIR}/docs/man/${page}.1"
            DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
endforeach()

# `cpack -G DEB` in the build folder makes the Debian package. It installs where the program was
# configured to live (configure with -DCMAKE_INSTALL_PREFIX=/usr for a package), so the table's
# module folder is right. Library dependencies come from dpkg-shlibdeps; gio (the automounter's
# release) and libgphoto2's udev rules (device access for the logged-in user) are named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zarvnikoncapture)
set(CPACK_PACKAGE_VENDOR "Quellbay")
set(CPACK_PACKAGE_CONTACT "Quellbay <support@quellbay.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tethered capture for Nikon cameras")
set(CPACK_PACKAGE_DESCRIPTION
    "Watches USB for Nikon cameras, connects through camera-control modules and saves every\n"
    "picture into a hot folder, announcing it to sibling programs over D-Bus. With ZarvLookout,\n"
    "the viewer that shows each picture the moment it lands.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libglib2.0-bin, libgphoto2-6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "dbus-user-session")
include(CPack)
