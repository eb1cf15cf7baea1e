# Installation in the GNU directory layout (honours CMAKE_INSTALL_PREFIX and
# DESTDIR): the library with its SONAME links, the public header, the tools and
# their manual pages, a pkg-config file and a CMake package; and the Debian
# package that CPack builds from the same rules (cpack -G DEB).
#
# Hosts load the library with dlopen and never link it. So the pkg-config file
# and the CMake package give the include directory and the installed library's
# path (pkg-config variable "library"; CMake variable ZYKFS_LIBRARY_PATH and
# the compile definition of the same name on zykfs::zykfs). Both files find
# their prefix from where they are installed, so a tree unpacked elsewhere
# (a DESTDIR, a package) describes itself.

include(CMakePackageConfigHelpers)

set(ZYK_LIBRARY_SONAME libzyk_backend_local.so.1)
set(ZYK_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zykfs)
set(ZYK_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS zyk_backend_local LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/zykfs/zykfs.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zykfs)

set(zyk_installed_tools zykfs qmv)
if(TARGET zykfs-fuse)
  list(APPEND zyk_installed_tools zykfs-fuse)
endif()
install(TARGETS ${zyk_installed_tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(tool IN LISTS zyk_installed_tools)
  install(FILES ${CMAKE_SOURCE_DIR}/man/${tool}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/man/zykfs.h.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)

# pkg-config: the prefix is found from the file's own directory.
file(RELATIVE_PATH ZYK_PKGCONFIG_TO_PREFIX /prefix/${ZYK_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" ZYK_PKGCONFIG_TO_PREFIX "${ZYK_PKGCONFIG_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/zykfs.pc.in ${CMAKE_BINARY_DIR}/install/zykfs.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/install/zykfs.pc DESTINATION ${ZYK_PKGCONFIG_DIR})

# CMake package: find_package(zykfs) gives zykfs::zykfs and ZYKFS_LIBRARY_PATH.
set(ZYK_LIBRARY_FILE ${CMAKE_INSTALL_LIBDIR}/${ZYK_LIBRARY_SONAME})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/zykfsConfig.cmake.in
  ${CMAKE_BINARY_DIR}/install/zykfsConfig.cmake
  INSTALL_DESTINATION ${ZYK_CMAKE_PACKAGE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR ZYK_LIBRARY_FILE)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/zykfsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/install/zykfsConfig.cmake ${CMAKE_BINARY_DIR}/install/zykfsConfigVersion.cmake
  DESTINATION ${ZYK_CMAKE_PACKAGE_DIR})

# The Debian package: everything above under /usr; dependencies computed from
# the binaries by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zykfs)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "local directory tree back end (libzyk_backend_local) with its tools")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "A shared library that serves one local directory tree to a host process through an\n"
  "asynchronous operation table; files named *.QMV are kept as copy-on-write container\n"
  "archives. With the command-line host zykfs, the archive tool qmv, the public header,\n"
  "pkg-config and CMake files.")
set(CPACK_PACKAGE_CONTACT "libzyk_backend_local maintainers <zykfs@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
set(CPACK_STRIP_FILES ON)  # the resource archive inside each binary survives stripping
include(CPack)
