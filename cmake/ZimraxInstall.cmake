# install() rules: headers (the generated version.h among them), both
# libraries, a CMake package config (find_package(ZimraxFileIO)) and a
# pkg-config file. zmfile, its serve module, man page and completion are
# installed where they are built (tools/zmfile, cmake/ZimraxDocs.cmake).
include(CMakePackageConfigHelpers)

install(DIRECTORY include/zimrax DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${ZIMRAX_GENERATED_INCLUDE_DIR}/zimrax/version.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zimrax)
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

# The pkg-config file finds its prefix from where it lies (${pcfiledir}), so
# an installed tree can be moved or unpacked anywhere: one ".." per level of
# LIBDIR/pkgconfig (lib/x86_64-linux-gnu/pkgconfig gives ../../..). Absolute
# LIBDIR or INCLUDEDIR settings are written as given.
set(pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZIMRAX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  string(REGEX REPLACE "/+$" "" pkgconfig_up "${pkgconfig_dir}")
  string(REGEX REPLACE "[^/]+" ".." pkgconfig_up "${pkgconfig_up}")
  string(REGEX REPLACE "/+" "/" pkgconfig_up "${pkgconfig_up}")
  set(ZIMRAX_PC_PREFIX "\${pcfiledir}/${pkgconfig_up}")
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(ZIMRAX_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(ZIMRAX_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
# What a static link needs besides the archive (pkg-config --static): the
# C++ runtime that the compiler links by default (libstdc++ and libm for
# g++; the C library and libgcc come with any link) and threads.
set(pc_private_libs ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
list(REMOVE_ITEM pc_private_libs c gcc gcc_s gcc_eh)
list(REMOVE_DUPLICATES pc_private_libs)
list(TRANSFORM pc_private_libs PREPEND "-l")
list(APPEND pc_private_libs -pthread)
list(JOIN pc_private_libs " " ZIMRAX_PC_LIBS_PRIVATE)
configure_file(cmake/zimraxfileio.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zimraxfileio.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zimraxfileio.pc
  DESTINATION ${pkgconfig_dir})
