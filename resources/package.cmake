# The Debian package: `cpack -G DEB` in a build folder packs what the install rules put
# in place, under /usr. scripts/package is the way to build it.
set(CPACK_PACKAGE_NAME ombrix)
set(CPACK_PACKAGE_VENDOR "Ombrix developers")
set(CPACK_PACKAGE_CONTACT "Ombrix developers <maintainers@users.noreply.c-seed-28fb5fcf.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "replay terminal recordings to telnet viewers")
set(CPACK_PACKAGE_DESCRIPTION
"Ombrix plays a terminal recording (ttyrec, compressed ttyrec or asciicast) to
everyone who watches it with an ordinary telnet client or a web browser, at the
pace it was recorded. The speed, from 1 to 100 times, is set in its window or
by keys that any viewer types. A viewer who joins late first gets everything
played so far.

It runs with a small window, or headless as a user service (ombrix.service).")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Directories the install rules create implicitly get the usual modes, whatever the
# builder's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries it links, with the versions they need, come from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Used but not linked: the window asks for a Japanese gothic font (its texts are
# Japanese), and viewers need a telnet client (a browser does as well).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-ipafont-gothic")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "telnet")

# The package's changelog is resources/changelog, whose newest entry must name this version.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog OMBRIX_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT OMBRIX_CHANGELOG_TOP MATCHES "^ombrix \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "resources/changelog has no entry for version ${PROJECT_VERSION}: "
        "add one at the top")
endif()
set(OMBRIX_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${OMBRIX_CHANGELOG}
    COMMAND gzip -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${OMBRIX_CHANGELOG}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog VERBATIM)
add_custom_target(ombrix_changelog ALL DEPENDS ${OMBRIX_CHANGELOG})
install(FILES ${OMBRIX_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ombrix)

include(CPack)
