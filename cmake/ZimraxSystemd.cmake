# The systemd unit of zmfile serve (contrib/systemd/zmfile-serve.service.in),
# with ExecStart naming the installed zmfile, installed into the unit
# directory under the prefix (systemd reads /usr/lib/systemd/system and
# /usr/local/lib/systemd/system). ZIMRAX_SYSTEMD_UNIT_DIR moves it.
set(ZIMRAX_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Where the zmfile-serve.service unit is installed, relative to the prefix or absolute")
#
# ExecStart follows the prefix of the install, not the configured one:
# `cmake --install BUILD --prefix X` writes a unit naming X/bin/zmfile. The
# unit is filled in at install time (file(INSTALL) adds DESTDIR itself).
set(unit_template ${PROJECT_BINARY_DIR}/systemd/zmfile-serve.service.in)
configure_file(${PROJECT_SOURCE_DIR}/contrib/systemd/zmfile-serve.service.in ${unit_template} COPYONLY)
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  set(zmfile_install_path "${CMAKE_INSTALL_BINDIR}/zmfile")
else()
  set(zmfile_install_path "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/zmfile")
endif()
if(IS_ABSOLUTE "${ZIMRAX_SYSTEMD_UNIT_DIR}")
  set(unit_install_dir "${ZIMRAX_SYSTEMD_UNIT_DIR}")
else()
  set(unit_install_dir "\${CMAKE_INSTALL_PREFIX}/${ZIMRAX_SYSTEMD_UNIT_DIR}")
endif()
install(CODE "
  set(ZMFILE_PATH \"${zmfile_install_path}\")
  configure_file(\"${unit_template}\" \"${PROJECT_BINARY_DIR}/systemd/installed/zmfile-serve.service\" @ONLY)
  file(INSTALL \"${PROJECT_BINARY_DIR}/systemd/installed/zmfile-serve.service\"
       DESTINATION \"${unit_install_dir}\")
")
