# Installs the program with what a Linux desktop needs to offer it: a menu entry, the
# MIME type that ties *.ttyrec and *.tty files to it, and its icon.
install(TARGETS ombrix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
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
