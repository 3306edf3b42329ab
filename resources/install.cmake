# Installs the program with what a Linux desktop needs to offer it (a menu entry, the MIME
# type that ties recordings to it, its icon), its manual page and its user service.
install(TARGETS ombrix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (cmake --install --strip, and the package) also drops the compilers'
# notes, as Debian's own packages do.
install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
            --remove-section=.note
            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/ombrix\")
    endif()
")
install(FILES ${CMAKE_CURRENT_LIST_DIR}/ombrix.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/ombrix-mime.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages RENAME ombrix.xml)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/ombrix.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)

# The MIME database is rebuilt from the packages folder only by its tool; do that for a
# direct install, and leave it to the package manager when staging into DESTDIR.
install(CODE "
    find_program(OMBRIX_UPDATE_MIME update-mime-database)
    if(OMBRIX_UPDATE_MIME AND \"\$ENV{DESTDIR}\" STREQUAL \"\")
        execute_process(COMMAND \${OMBRIX_UPDATE_MIME}
            \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/mime\" OUTPUT_QUIET ERROR_QUIET)
    endif()
")

# The manual page, compressed as Debian wants it. gzip -n keeps the name and time out of
# the archive, so the same page always gives the same bytes.
set(OMBRIX_MANPAGE ${CMAKE_CURRENT_BINARY_DIR}/ombrix.1.gz)
add_custom_command(OUTPUT ${OMBRIX_MANPAGE}
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/docs/ombrix.1 > ${OMBRIX_MANPAGE}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/ombrix.1 VERBATIM)
add_custom_target(ombrix_manpage ALL DEPENDS ${OMBRIX_MANPAGE})
install(FILES ${OMBRIX_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The terms, and an example of the user service's settings.
set(OMBRIX_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/ombrix)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${OMBRIX_DOCDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/ombrix.env DESTINATION ${OMBRIX_DOCDIR}/examples)
# The public deployment behind nginx, with its site file, as the manual page points to it.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../docs/deploy.md DESTINATION ${OMBRIX_DOCDIR})

# The user service names the program by the path it is installed at, which is known only
# when installing (cmake --install --prefix, or /usr for the package). It goes where the
# user's service manager looks: /usr/lib/systemd/user for a system install, else
# <prefix>/share/systemd/user (so ~/.local/share/systemd/user for a home install).
install(CODE "
    set(OMBRIX_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/ombrix\")
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        set(OMBRIX_UNIT_DIR \"/usr/lib/systemd/user\")
    else()
        set(OMBRIX_UNIT_DIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/systemd/user\")
    endif()
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/ombrix.service.in\"
        \"${CMAKE_CURRENT_BINARY_DIR}/ombrix.service\" @ONLY)
    file(INSTALL \"${CMAKE_CURRENT_BINARY_DIR}/ombrix.service\"
        DESTINATION \"\${OMBRIX_UNIT_DIR}\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
")
