# The resolver's Debian package: `cmake --build <tree> --target package` makes
# reelhawk-resolver_<version>_<arch>.deb in the tree, from the `resolver` preset's tree only
# (Release, no sanitizers, nothing but the resolver). The check of the package is this tree's test.
if(REELHAWK_SANITIZE OR NOT CMAKE_BUILD_TYPE STREQUAL "Release")
    message(FATAL_ERROR "The resolver's package is made from a Release build without sanitizers: "
                        "configure with `cmake --preset resolver`")
endif()

# Where this system's systemd looks for the units of packages (/lib/systemd/system on bookworm).
set(unit_dir /lib/systemd/system)
if(PkgConfig_FOUND)
    pkg_get_variable(systemd_unit_dir systemd systemdsystemunitdir)
    if(systemd_unit_dir)
        set(unit_dir ${systemd_unit_dir})
    endif()
endif()
set(REELHAWK_SYSTEMD_UNIT_DIR ${unit_dir} CACHE PATH "Where the package puts its systemd units")

set(deploy ${CMAKE_CURRENT_LIST_DIR})
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/deb)
install(TARGETS reelhawk-resolver RUNTIME DESTINATION bin)
install(FILES worker.py DESTINATION share/reelhawk-resolver)
# The updater of yt-dlp, its units (the timer enabled by the operator only) and its canaries.
install(PROGRAMS ${deploy}/reelhawk-resolver-update DESTINATION sbin)
install(FILES ${deploy}/reelhawk-resolver.service ${deploy}/reelhawk-resolver@.service
              ${deploy}/reelhawk-resolver-update.service ${deploy}/reelhawk-resolver-update.timer
        DESTINATION ${REELHAWK_SYSTEMD_UNIT_DIR})
install(FILES ${deploy}/reelhawk-resolver.default DESTINATION /etc/default
        RENAME reelhawk-resolver)
install(FILES ${deploy}/canaries DESTINATION /etc/reelhawk-resolver)
# The manual pages, compressed as Debian keeps them (no time stamp in the gzip header).
foreach(page reelhawk-resolver.8 reelhawk-resolver-update.8)
    execute_process(COMMAND gzip -9nc ${deploy}/${page}
                    OUTPUT_FILE ${PROJECT_BINARY_DIR}/deb/${page}.gz COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${PROJECT_BINARY_DIR}/deb/${page}.gz DESTINATION share/man/man8)
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${deploy}/reelhawk-resolver.8 ${deploy}/reelhawk-resolver-update.8)

set(REELHAWK_DEB_MAINTAINER "Reelhawk maintainers <maintainers@reelhawk.example>" CACHE STRING
    "The Maintainer field of the resolver's Debian package")
# Debian keeps a package's changelog compressed, without a time stamp in the gzip header.
configure_file(${deploy}/debian/changelog.in ${PROJECT_BINARY_DIR}/deb/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/deb/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/deb/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${deploy}/copyright ${deploy}/README.Debian ${PROJECT_BINARY_DIR}/deb/changelog.gz
        DESTINATION share/doc/reelhawk-resolver)
if(EXISTS ${deploy}/nginx-reelhawk-resolver.conf)
    install(FILES ${deploy}/nginx-reelhawk-resolver.conf
            DESTINATION share/doc/reelhawk-resolver/examples)
endif()

execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE deb_arch
                OUTPUT_STRIP_TRAILING_WHITESPACE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME reelhawk-resolver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${REELHAWK_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "video-address resolving service for Reelhawk, on yt-dlp
The web page that the Reelhawk desktop tool drives to find the addresses of
a web video's files, and a JSON API beside it. A pool of yt-dlp worker
processes does the work; results are cached, clients rate-limited, and
addresses inside the service's own network refused. Several instances can
run behind nginx, sharing their state in Redis. reelhawk-resolver-update
keeps a newer yt-dlp of its own, switching only when it resolves a set of
canary pages, and can go back.")
# yt-dlp runs in the workers; the libraries the program links are found by dpkg-shlibdeps. The
# updater makes its Python environments with python3-venv.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, yt-dlp")
# ffmpeg joins a video's picture and sound; without it no merged file is offered.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-venv, ffmpeg")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${deploy}/debian/conffiles ${deploy}/debian/postinst ${deploy}/debian/prerm
    ${deploy}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

set(deb ${PROJECT_BINARY_DIR}/reelhawk-resolver_${PROJECT_VERSION}_${deb_arch}.deb)
add_test(NAME ResolverPackage.HoldsARunningServiceAndUnitsSystemdAccepts
         COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/tests/check_deb.py ${deb}
                 $<TARGET_FILE:reelhawk-resolver> ${deploy})
