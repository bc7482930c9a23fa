# A camera module as the program loads it: a shared object named EXECUTABLE, without prefix or
# suffix, exporting only its entry point.
#   zarv_module_bundle(<target> EXECUTABLE <name> SOURCES <src>...
#                      (BUNDLE <dir> INFO_PLIST <template> | DIRECTORY <dir>)
#                      [LIBS <lib>...] [DEFINITIONS <def>...] [LINK_OPTIONS <opt>...])
# With BUNDLE it lands in <dir>/Contents/MacOS beside <dir>/Contents/Info.plist, written from the
# template with @ZARV_BUNDLE_EXECUTABLE@ set to the name; with DIRECTORY, alone in <dir>.
function(zarv_module_bundle target)
    cmake_parse_arguments(PARSE_ARGV 1 B "" "EXECUTABLE;BUNDLE;INFO_PLIST;DIRECTORY"
                          "SOURCES;LIBS;DEFINITIONS;LINK_OPTIONS")
    if(B_BUNDLE)
        set(ZARV_BUNDLE_EXECUTABLE ${B_EXECUTABLE})
        configure_file("${B_INFO_PLIST}" "${B_BUNDLE}/Contents/Info.plist" @ONLY)
        set(output "${B_BUNDLE}/Contents/MacOS")
    else()
        set(output "${B_DIRECTORY}")
    endif()
    add_library(${target} MODULE ${B_SOURCES})
    target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}/src")
    target_compile_definitions(${target} PRIVATE ${B_DEFINITIONS})
    target_link_libraries(${target} PRIVATE ${B_LIBS} zarv_warnings)
    target_compile_options(${target} PRIVATE -fvisibility=hidden)
    if(B_LINK_OPTIONS)
        target_link_options(${target} PRIVATE ${B_LINK_OPTIONS})
    endif()
    set_target_properties(${target} PROPERTIES
        PREFIX "" SUFFIX "" OUTPUT_NAME ${B_EXECUTABLE}
        AUTOMOC OFF AUTOUIC OFF
        LIBRARY_OUTPUT_DIRECTORY "${output}")
endfunction()
