# The systemd unit of zmfile serve (contrib/systemd/zmfile-serve.service.in),
# with ExecStart naming the installed zmfile, installed into the unit
# directory under the prefix (systemd reads /usr/lib/systemd/system and
# /usr/local/lib/systemd/system). ZIMRAX_SYSTEMD_UNIT_DIR moves it.
set(ZIMRAX_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Where the zmfile-serve.service unit is installed, relative to the prefix or absolute")
set(ZMFILE_PATH "${CMAKE_INSTALL_FULL_BINDIR}/zmfile")
configure_file(${PROJECT_SOURCE_DIR}/contrib/systemd/zmfile-serve.service.in
  ${PROJECT_BINARY_DIR}/systemd/zmfile-serve.service @ONLY)
unset(ZMFILE_PATH)
install(FILES ${PROJECT_BINARY_DIR}/systemd/zmfile-serve.service DESTINATION ${ZIMRAX_SYSTEMD_UNIT_DIR})
