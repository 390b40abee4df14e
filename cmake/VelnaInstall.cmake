# Installation and packaging.
#
# cmake --install puts libvelna (with its headers and CMake package, so that
# find_package(velna) gives the target velna::core) under the prefix's
# library folder, and the Python package velna under
# <prefix>/${VELNA_PYTHON_INSTALL_DIR}. Each extension module finds libvelna
# through a run path relative to itself, so any prefix works.
#
# cpack -G DEB makes one Debian package of both, for the architecture built
# (amd64 natively, armhf with cmake/armhf-toolchain.cmake).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(velna PROPERTIES EXPORT_NAME core)
# The source folder of the headers is for the build tree only; installed, they
# are found under the prefix's include folder.
set_property(TARGET velna PROPERTY INTERFACE_INCLUDE_DIRECTORIES
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/core/include>)
install(TARGETS velna EXPORT velnaTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/core/include/velna
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT runtime)
set(VELNA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velna)
install(EXPORT velnaTargets NAMESPACE velna:: DESTINATION ${VELNA_CMAKE_DIR} COMPONENT runtime)
file(WRITE ${CMAKE_BINARY_DIR}/velnaConfig.cmake.in [[
@PACKAGE_INIT@
include(CMakeFindDependencyMacro)
find_dependency(OpenSSL 3.0 COMPONENTS Crypto)
include("${CMAKE_CURRENT_LIST_DIR}/velnaTargets.cmake")
]])
configure_package_config_file(${CMAKE_BINARY_DIR}/velnaConfig.cmake.in
  ${CMAKE_BINARY_DIR}/velnaConfig.cmake INSTALL_DESTINATION ${VELNA_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/velnaConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/velnaConfig.cmake ${CMAKE_BINARY_DIR}/velnaConfigVersion.cmake
  DESTINATION ${VELNA_CMAKE_DIR} COMPONENT runtime)

if(VELNA_PYTHON)
  # The interpreter's platform library folder, relative to its prefix:
  # lib/python3/dist-packages for Debian's interpreters, where the system's
  # own packages live, lib/pythonX.Y/site-packages for others.
  if(NOT DEFINED VELNA_PYTHON_INSTALL_DIR)
    execute_process(
      COMMAND ${Python_EXECUTABLE} -c [[
import sysconfig
scheme = "deb_system" if "deb_system" in sysconfig.get_scheme_names() else "posix_prefix"
print(sysconfig.get_path("platlib", scheme, vars={"base": "/@", "platbase": "/@"})[3:])
]]
      OUTPUT_VARIABLE platlib OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    set(VELNA_PYTHON_INSTALL_DIR ${platlib} CACHE STRING
        "Folder of the Python package, relative to the install prefix")
  endif()

  # The folder of a module built from several sources holds no Python file:
  # it is left out, and its module goes where the build tree has it.
  get_property(module_folders GLOBAL PROPERTY VELNA_PY_MODULE_FOLDERS)
  set(excluded)
  foreach(folder ${module_folders})
    list(APPEND excluded REGEX "/python/${folder}$" EXCLUDE)
  endforeach()
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/velna DESTINATION ${VELNA_PYTHON_INSTALL_DIR}
    COMPONENT runtime FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE ${excluded})
  # A shared library of python/ (the binding support library) goes beside
  # libvelna; every extension module goes where the build tree has it.
  get_directory_property(py_targets DIRECTORY ${PROJECT_SOURCE_DIR}/python BUILDSYSTEM_TARGETS)
  foreach(t ${py_targets})
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      set_target_properties(${t} PROPERTIES INSTALL_RPATH "$ORIGIN")
      install(TARGETS ${t} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)
      continue()
    endif()
    if(NOT type STREQUAL "MODULE_LIBRARY")
      continue()
    endif()
    get_target_property(dir ${t} LIBRARY_OUTPUT_DIRECTORY)
    file(RELATIVE_PATH rel ${CMAKE_BINARY_DIR}/python ${dir})
    set(dest ${VELNA_PYTHON_INSTALL_DIR})
    if(rel)
      string(APPEND dest /${rel})
    endif()
    file(RELATIVE_PATH to_lib /@/${dest} /@/${CMAKE_INSTALL_LIBDIR})
    set_target_properties(${t} PROPERTIES INSTALL_RPATH "$ORIGIN/${to_lib}")
    install(TARGETS ${t} LIBRARY DESTINATION ${dest} COMPONENT runtime)
  endforeach()
endif()

# Debian package.
if(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "arm-linux-gnueabihf")
  set(deb_arch armhf)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE deb_arch
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velna)
set(CPACK_PACKAGE_VENDOR velna)
set(CPACK_PACKAGE_CONTACT "velna developers <velna@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "client SDK for encrypted data containers (C++ core and Python package)")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION python)
# The run-time libraries of the core and the interpreter the modules were
# built for; one list for both architectures.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.36), libstdc++6 (>= 12), libssl3 (>= 3.0), libsqlite3-0 (>= 3.40), libcurl4 (>= 7.88), python3 (>= 3.11), python3 (<< 3.12)")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
include(CPack)
