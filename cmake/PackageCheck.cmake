# Read by cpack when it makes the release zip (see Package.cmake): no release for a resolving page
# that cannot exist; a test build's zip says what it is in its name.
if(CPACK_REELHAWK_TEST_BUILD)
    set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-test")
elseif(NOT CPACK_REELHAWK_RESOLVER_REACHABLE)
    message(FATAL_ERROR
        "No release for ${CPACK_REELHAWK_RESOLVER_URL}: reelhawk.exe is built for a resolving page "
        "that exists only in the tests. Configure with "
        "-DREELHAWK_RESOLVER_URL=https://<your resolver>/ for a release "
        "(docs/user-guide.md, \"A release\"), or with -DREELHAWK_TEST_BUILD=ON for a package to test.")
endif()
