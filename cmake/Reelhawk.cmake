# Project-wide defaults for our own targets (not for third-party code).
function(reelhawk_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
    if(WIN32)
        # Narrow literals are texts in the system code page of the target systems. (Not for
        # third-party code: <chrono> has a literal that GBK cannot hold, so our sources avoid it.)
        target_compile_options(${target} PRIVATE -fexec-charset=GBK)
        target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX
                                   _WIN32_WINNT=0x0601 WINVER=0x0601)
    endif()
endfunction()

# reelhawk_gtest(<name> SOURCES <files...> LIBS <targets...>)
# A GoogleTest executable whose cases ctest discovers when it runs (under Wine for Windows builds,
# so discovery needs the scripts' prefix and display, not the build).
function(reelhawk_gtest name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    reelhawk_defaults(${name})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
    if(TARGET reelhawk_dialog_guard)
        target_link_libraries(${name} PRIVATE reelhawk_dialog_guard)
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                         PROPERTIES TIMEOUT 300 ${ARG_PROPERTIES})
endfunction()
