# Whether this compiler can make i386 programs (g++-multilib). Whether this machine can also run
# them is another question, answered by executing the bundle's i386 probe (a kernel may refuse
# i386 programs although their loader is installed).
set(ZARV_I386_CHECK "${CMAKE_BINARY_DIR}/CMakeFiles/i386-check.cpp")
file(WRITE "${ZARV_I386_CHECK}"
     "#include <map>\n#include <string>\nint main() { std::map<int, std::string> m; return int(m.size()); }\n")
execute_process(
    COMMAND "${CMAKE_CXX_COMPILER}" -m32 -std=c++20 "${ZARV_I386_CHECK}"
            -o "${CMAKE_BINARY_DIR}/CMakeFiles/i386-check"
    RESULT_VARIABLE ZARV_I386_CHECK_RESULT OUTPUT_QUIET ERROR_QUIET)
if(ZARV_I386_CHECK_RESULT EQUAL 0)
    set(ZARV_I386_TOOLCHAIN ON)
else()
    set(ZARV_I386_TOOLCHAIN OFF)
    message(STATUS "No i386 toolchain: the 32-bit virtual camera and the i386 probe are not built")
endif()
