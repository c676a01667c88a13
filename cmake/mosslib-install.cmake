# Installation and the Debian package.
#
# cmake --install <build> [--prefix P] puts under P:
#   lib/libmosslib.so.X.Y.Z (SONAME libmosslib.so.X) and its two links
#   include/mosslib.h
#   bin/mosspec                                  (when the tool is built)
#   lib/pkgconfig/mosslib.pc                     pkg-config --cflags --libs mosslib
#   lib/cmake/mosslib/                           find_package(mosslib) -> mosslib::mosslib
#   lib/python3/dist-packages/mosslib/           the Python package, where it exists
# (lib is the platform's library directory, e.g. lib/x86_64-linux-gnu for the prefix /usr.)
# ./run package turns the same tree into a .deb with CPack.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Installing (and CPack) takes what is built and does not build every test first:
# cmake --build <build> --target mosspec, then cmake --install <build>.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

# The headers a consumer compiles against are the installed ones, not the source tree.
set_property(TARGET mosslib PROPERTY INTERFACE_INCLUDE_DIRECTORIES
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(mosslib PROPERTIES PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/include/mosslib.h)

install(TARGETS mosslib EXPORT mosslib-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

if(TARGET mosspec)
  # The installed tool finds the installed library wherever the tree was put.
  file(RELATIVE_PATH lib_from_bin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(mosspec PROPERTIES INSTALL_RPATH "$ORIGIN/${lib_from_bin}")
  install(TARGETS mosspec RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

set(MOSSLIB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/mosslib)
install(EXPORT mosslib-targets NAMESPACE mosslib:: FILE mosslib-targets.cmake
  DESTINATION ${MOSSLIB_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/mosslib-config.cmake.in
  ${PROJECT_BINARY_DIR}/mosslib-config.cmake INSTALL_DESTINATION ${MOSSLIB_CMAKE_DIR})
# 0.x releases make no promise across minor versions.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/mosslib-config-version.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/mosslib-config.cmake ${PROJECT_BINARY_DIR}/mosslib-config-version.cmake
  DESTINATION ${MOSSLIB_CMAKE_DIR} COMPONENT development)

# pkg-config: every path relative to the .pc file's own directory, so that the file
# holds for any prefix (cmake --install --prefix, a DESTDIR, an unpacked package).
file(RELATIVE_PATH MOSSLIB_PC_PREFIX_FROM_PCDIR ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" MOSSLIB_PC_PREFIX_FROM_PCDIR ${MOSSLIB_PC_PREFIX_FROM_PCDIR})
file(RELATIVE_PATH MOSSLIB_PC_LIBDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH MOSSLIB_PC_INCLUDEDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/mosslib.pc.in ${PROJECT_BINARY_DIR}/mosslib.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/mosslib.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

# The Python package, in the directory Debian's python3 searches for packages.
set(MOSSLIB_PYTHON_DIR lib/python3/dist-packages CACHE STRING
  "Where the Python package mosslib is installed, relative to the prefix")
if(EXISTS ${PROJECT_SOURCE_DIR}/python/mosslib/__init__.py)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/mosslib DESTINATION ${MOSSLIB_PYTHON_DIR}
    COMPONENT runtime PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)
  # What the package imports, as Debian packages; the sampler is optional.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "python3, python3-numpy, python3-scipy, python3-lmfit, python3-uncertainties, python3-matplotlib")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-emcee, python3-iminuit")
endif()

# Debian package: one package with the library, header, tool and Python package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mosslib)
set(CPACK_PACKAGE_VENDOR "mosslib developers")
set(CPACK_PACKAGE_CONTACT "mosslib developers <mosslib@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "numerical models of 57Fe Moessbauer absorption spectra")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
