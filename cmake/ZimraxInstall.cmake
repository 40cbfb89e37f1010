# install() rules: headers, both libraries, the zmfile tool, a CMake package
# config (find_package(ZimraxFileIO)) and a pkg-config file.
include(CMakePackageConfigHelpers)

install(DIRECTORY include/zimrax DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS zimrax_fileio zimrax_fileio_static
  EXPORT ZimraxFileIOTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT ZimraxFileIOTargets
  NAMESPACE ZimraxFileIO::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZimraxFileIO)

configure_package_config_file(cmake/ZimraxFileIOConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/ZimraxFileIOConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZimraxFileIO)
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/ZimraxFileIOConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/ZimraxFileIOConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/ZimraxFileIOConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZimraxFileIO)

configure_file(cmake/zimraxfileio.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zimraxfileio.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zimraxfileio.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
