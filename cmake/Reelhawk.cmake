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

# reelhawk_under_code_pages(<gtest target> <gtest filter> [PROPERTIES ...])
# Runs the filtered cases once more under each system code page the program must also work on:
# 1252 (English Windows; Wine under en_US.UTF-8) and 65001 (Unicode-only locales such as hi_IN).
# Wine takes the code page from LANG/LC_ALL; the target must check it (tests/code_page_check.cpp).
function(reelhawk_under_code_pages name filter)
    cmake_parse_arguments(ARG "" "" "PROPERTIES" ${ARGN})
    foreach(pair "1252:en_US.UTF-8" "65001:hi_IN.UTF-8")
        string(REPLACE ":" ";" pair "${pair}")
        list(GET pair 0 codePage)
        list(GET pair 1 locale)
        add_test(NAME ${name}.code_page_${codePage} COMMAND ${name} --gtest_filter=${filter})
        set_tests_properties(${name}.code_page_${codePage} PROPERTIES
            ENVIRONMENT "LANG=${locale};LC_ALL=${locale};REELHAWK_SYSTEM_CODE_PAGE=${codePage}"
            ${ARG_PROPERTIES})
    endforeach()
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

# reelhawk_on_chromium(<gtest target> [PROPERTIES ...])
# The target's cases once more with Chromium behind the stand-in browser control, as <case>.chromium.
# The test command starts the Chromium they reach (scripts/lib.sh, reelhawk_start_chromium).
function(reelhawk_on_chromium name)
    cmake_parse_arguments(ARG "" "" "PROPERTIES" ${ARGN})
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 TEST_SUFFIX .chromium
                         PROPERTIES TIMEOUT 300 ENVIRONMENT REELHAWK_STANDIN_ENGINE=chromium
                         ${ARG_PROPERTIES})
endfunction()
