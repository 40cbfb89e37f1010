# zmfile's manual page and bash completion. The page is written in scdoc
# (docs/zmfile.1.scd, with the project version filled in) and built into
# the build tree when scdoc is found; the completion is installed as it is.
find_program(SCDOC_EXECUTABLE scdoc)
if(SCDOC_EXECUTABLE)
  set(man_source ${PROJECT_BINARY_DIR}/man/zmfile.1.scd)
  set(man_page ${PROJECT_BINARY_DIR}/man/zmfile.1)
  configure_file(${PROJECT_SOURCE_DIR}/docs/zmfile.1.scd ${man_source} @ONLY)
  add_custom_command(
    OUTPUT ${man_page}
    COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${SCDOC_EXECUTABLE} ${man_source} ${man_page}
    DEPENDS ${man_source}
    COMMENT "Building the zmfile(1) manual page"
    VERBATIM)
  add_custom_target(zmfile_man ALL DEPENDS ${man_page})
  install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "ZimraxFileIO: scdoc not found, so the zmfile(1) manual page is not built")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/contrib/bash-completion/zmfile
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
