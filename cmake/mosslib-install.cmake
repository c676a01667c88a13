# Installation and the Debian package.
#
# cmake --install <build> [--prefix P] puts under P:
#   lib/libmosslib.so.X.Y.Z (SONAME libmosslib.so.X) and its two links
#   include/mosslib.h
#   bin/mosspec                                  (when the tool is built)
#   lib/pkgconfig/mosslib.pc                     pkg-config --cflags --libs mosslib
#   lib/cmake/mosslib/                           find_package(mosslib) -> mosslib::mosslib
#   lib/python3/dist-packages/mosslib/           the Python package, where it exists
#   bin/mossfit, share/man/man1/{mosspec,mossfit}.1   (man pages where help2man is found)
#   share/doc/<package>/copyright                 the licence, per Debian package
# (lib is the platform's multiarch library directory, e.g. lib/x86_64-linux-gnu.)
# ./run package turns the same tree into four Debian packages with CPack: libmosslib0
# (the run-time library), libmosslib-dev (header, pkg-config, CMake package),
# mosslib-tools (mosspec, mossfit, man pages) and python3-mosslib (the Python package).
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "object code libraries")
endif()
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
  install(TARGETS mosspec RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
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

# The Python package, in the directory Debian's python3 searches for packages, and its
# command mossfit.
set(MOSSLIB_PYTHON_DIR lib/python3/dist-packages CACHE STRING
  "Where the Python package mosslib is installed, relative to the prefix")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/mosslib DESTINATION ${MOSSLIB_PYTHON_DIR}
  COMPONENT python PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE PATTERN "*.so" EXCLUDE)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/mossfit/mossfit DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT tools)

# Man pages from the commands' own --help and --version.
find_program(MOSSLIB_HELP2MAN help2man)
if(MOSSLIB_HELP2MAN AND TARGET mosspec)
  set(man ${PROJECT_BINARY_DIR}/man)
  add_custom_command(OUTPUT ${man}/mosspec.1.gz ${man}/mossfit.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man}
    COMMAND ${MOSSLIB_HELP2MAN} --no-info --no-discard-stderr --section=1
            --name "compute a Moessbauer spectrum with one of the mosslib models"
            --output=${man}/mosspec.1 $<TARGET_FILE:mosspec>
    COMMAND gzip -9nf ${man}/mosspec.1
    COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${PROJECT_SOURCE_DIR}/python
            MOSSLIB_LIBRARY=$<TARGET_FILE:mosslib> PYTHONDONTWRITEBYTECODE=1
            ${MOSSLIB_HELP2MAN} --no-info --no-discard-stderr --section=1
            --version-string=${PROJECT_VERSION}
            --name "fit measured Moessbauer spectra with the mosslib models"
            --output=${man}/mossfit.1 ${PROJECT_SOURCE_DIR}/tools/mossfit/mossfit
    COMMAND gzip -9nf ${man}/mossfit.1
    DEPENDS mosspec mosslib ${PROJECT_SOURCE_DIR}/tools/mossfit/mossfit
    COMMENT "man pages (help2man)" VERBATIM)
  add_custom_target(mosslib_man DEPENDS ${man}/mosspec.1.gz ${man}/mossfit.1.gz)
  install(FILES ${man}/mosspec.1.gz ${man}/mossfit.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT tools OPTIONAL)
endif()

# Debian packages, one per component, each with its copyright file and changelog.
set(MOSSLIB_MAINTAINER "mosslib developers <mosslib-developers@lists.mosslib.org>" CACHE STRING
  "Maintainer field of the Debian packages")
set(deb_runtime libmosslib${PROJECT_VERSION_MAJOR})
set(deb_names runtime:${deb_runtime} development:libmosslib-dev tools:mosslib-tools
              python:python3-mosslib)
string(TIMESTAMP deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(pair IN LISTS deb_names)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 component)
  list(GET pair 1 package)
  set(doc ${PROJECT_BINARY_DIR}/deb-doc/${package})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian-copyright.in ${doc}/copyright @ONLY)
  file(WRITE ${doc}/changelog
    "${package} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}.\n\n -- ${MOSSLIB_MAINTAINER}  ${deb_date}\n")
  execute_process(COMMAND gzip -9nf ${doc}/changelog)
  install(FILES ${doc}/copyright ${doc}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mosslib)
set(CPACK_PACKAGE_VENDOR "mosslib developers")
set(CPACK_PACKAGE_CONTACT "${MOSSLIB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MOSSLIB_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "numerical models of 57Fe Moessbauer absorption spectra")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://mosslib.org")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# mosspec links the library of this build, which no installed package provides yet.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
set(CPACK_STRIP_FILES ON)
set(deb_exact "${deb_runtime} (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${deb_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
file(WRITE ${PROJECT_BINARY_DIR}/deb-control/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb-control/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "numerical models of 57Fe Moessbauer absorption spectra (library)
 mosslib computes 57Fe Moessbauer absorption spectra: magnetic sextets,
 doublets, Voigt sextets, a spin-Hamiltonian powder simulation and a
 relaxation model. This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libmosslib-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${deb_exact}")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "numerical models of 57Fe Moessbauer absorption spectra (development files)
 mosslib computes 57Fe Moessbauer absorption spectra. This package holds the C
 header, the pkg-config file and the CMake package (mosslib::mosslib).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME mosslib-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${deb_exact}, python3, python3-mosslib (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "command lines for Moessbauer spectra: mosspec and mossfit
 mosspec computes one spectrum of any mosslib model from named parameters;
 mossfit fits measured 57Fe Moessbauer spectra (calibration, fits, batch work).")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-mosslib)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
  "${deb_runtime} (>= ${PROJECT_VERSION}), python3, python3-numpy, python3-scipy, python3-lmfit, python3-uncertainties, python3-matplotlib")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-emcee, python3-iminuit, python3-distributed, python3-tqdm, python3-flask")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Python package for fitting 57Fe Moessbauer spectra with mosslib
 Spectra, velocity axes, calibration, every mosslib model as an lmfit
 component, fits with reports, plots and JSON, and batch fitting on Dask.")
include(CPack)
