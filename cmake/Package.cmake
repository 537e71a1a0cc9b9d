# The release package: `cmake --build <build> --target package` makes
# Reelhawk-<version>-win64.zip in the build folder, holding one folder of the same name with
# reelhawk.exe (without its debugging information) and README.txt for Windows users.
install(TARGETS reelhawk RUNTIME DESTINATION .)
# Notepad on older Windows wants CRLF; the file starts with a UTF-8 byte order mark for it too.
configure_file(${PROJECT_SOURCE_DIR}/dist/README.txt.in ${PROJECT_BINARY_DIR}/dist/README.txt
               @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/dist/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Reelhawk)
set(CPACK_PACKAGE_VENDOR Reelhawk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME Reelhawk-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
