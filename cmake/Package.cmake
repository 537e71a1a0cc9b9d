# The release package: `cmake --build <build> --target package` makes
# Reelhawk-<version>-win64.zip in the build folder, holding one folder of the same name with
# reelhawk.exe (without its debugging information) and README.txt for Windows users.
#
# A release must reach a resolving page that exists. While the program is built for the demo
# resolver host (which only the stand-in browser of the tests plays) or for any other name that
# never exists on the internet, the package target refuses, unless this is a test build
# (-DREELHAWK_TEST_BUILD=ON, as scripts/test.sh configures it), whose zip is then named
# Reelhawk-<version>-win64-test.zip.
option(REELHAWK_TEST_BUILD "A build for the tests: its package may point at the demo resolver" OFF)
string(REGEX REPLACE "^[A-Za-z][A-Za-z0-9+.-]*://([^/@]*@)?([^/:?#]*).*$" "\\2"
       resolver_host "${REELHAWK_RESOLVER_URL}")
string(TOLOWER "${resolver_host}" resolver_host)
if(resolver_host STREQUAL "resolver.reelhawk.test" OR resolver_host STREQUAL "" OR
   resolver_host MATCHES "(^|\\.)(test|example|invalid|localhost)$" OR
   resolver_host MATCHES "^(localhost|127\\.[0-9.]+|\\[::1\\])$")
    set(CPACK_REELHAWK_RESOLVER_REACHABLE OFF)
else()
    set(CPACK_REELHAWK_RESOLVER_REACHABLE ON)
endif()
set(CPACK_REELHAWK_RESOLVER_URL "${REELHAWK_RESOLVER_URL}")
set(CPACK_REELHAWK_TEST_BUILD ${REELHAWK_TEST_BUILD})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/PackageCheck.cmake)
if(REELHAWK_TEST_BUILD)
    set(REELHAWK_BUILD_NOTE "\r\n测试版本：只在测试环境中可用。\r\nA test build: it works only where the tests run.")
else()
    set(REELHAWK_BUILD_NOTE "")
endif()

install(TARGETS reelhawk RUNTIME DESTINATION .)
# Notepad on older Windows wants CRLF; the file starts with a UTF-8 byte order mark for it too.
configure_file(${PROJECT_SOURCE_DIR}/dist/README.txt.in ${PROJECT_BINARY_DIR}/dist/README.txt
               @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/dist/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Reelhawk)
set(CPACK_PACKAGE_VENDOR Reelhawk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME Reelhawk-${PROJECT_VERSION}-win64)  # -test added for a test build
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
