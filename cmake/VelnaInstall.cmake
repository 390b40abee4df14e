# Installation and packaging.
#
# cmake --install puts the core's libraries (with their headers and CMake
# package, so that find_package(velna) gives the target velna::core) under the prefix's
# library folder, and the Python package velna where the interpreter reads
# packages under that prefix (below). Each extension module finds libvelna
# through a run path relative to itself, so any prefix works.
#
# cpack -G DEB makes one Debian package of both, for the architecture built
# (amd64 natively, armhf with cmake/armhf-toolchain.cmake).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The source folder of the headers is for the build tree only; installed, they
# are found under the prefix's include folder. find_package(velna) gives
# velna::core (the whole core) and its parts velna::base, velna::http and
# velna::store (core/CMakeLists.txt).
set(velna_core_parts velna velna_http velna_store)
foreach(t ${velna_core_parts})
  set_property(TARGET ${t} PROPERTY INTERFACE_INCLUDE_DIRECTORIES
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/core/include>)
endforeach()
install(TARGETS ${velna_core_parts} velna_core EXPORT velnaTargets
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
  # The Python package goes where the interpreter looks for packages under the
  # prefix given at install time (cmake --install --prefix, or /usr for the
  # Debian package): one of its site folders below <prefix>/lib, that is
  # lib/python3/dist-packages for /usr and lib/python3.X/dist-packages for
  # /usr/local with Debian's interpreters; under any other prefix,
  # lib/python3.X/site-packages, which the interpreter reads only through
  # PYTHONPATH. VELNA_PYTHON_INSTALL_DIR fixes the folder instead.
  #
  # Build folders configured before the folder was chosen at install time
  # cached the choice for the interpreter's own prefix under this help text:
  # that entry is not a user's choice.
  get_property(help CACHE VELNA_PYTHON_INSTALL_DIR PROPERTY HELPSTRING)
  if(help STREQUAL "Folder of the Python package, relative to the install prefix")
    unset(VELNA_PYTHON_INSTALL_DIR CACHE)
  endif()
  if(DEFINED VELNA_PYTHON_INSTALL_DIR)
    set(py_dest ${VELNA_PYTHON_INSTALL_DIR})
    set(py_rpath_base ${VELNA_PYTHON_INSTALL_DIR})
  else()
    execute_process(
      COMMAND ${Python_EXECUTABLE} -c [[
import site, sysconfig
fallback = sysconfig.get_path("platlib", "posix_prefix", vars={"base": "/@", "platbase": "/@"})[3:]
print(";".join([fallback] + site.getsitepackages()))
]]
      OUTPUT_VARIABLE sites OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    list(POP_FRONT sites fallback)
    # Chosen when installing, so that one build serves every prefix. Every
    # choice is lib/<one folder>/<another>, as deep as the fallback, so the
    # modules' run path below holds for each.
    install(CODE "
      string(REGEX REPLACE \"/+$\" \"\" prefix \"\${CMAKE_INSTALL_PREFIX}\")
      set(velna_python_dir \"${fallback}\")
      foreach(site IN ITEMS ${sites})
        string(FIND \"\${site}\" \"\${prefix}/\" at)
        if(at EQUAL 0)
          string(LENGTH \"\${prefix}/\" length)
          string(SUBSTRING \"\${site}\" \${length} -1 rel)
          if(rel MATCHES \"^lib/[^/]+/[^/]+$\")
            set(velna_python_dir \"\${rel}\")
            break()
          endif()
        endif()
      endforeach()
      message(STATUS \"Python package folder: \${prefix}/\${velna_python_dir}\")
    " COMPONENT runtime)
    set(py_dest "\${velna_python_dir}")
    set(py_rpath_base ${fallback})
  endif()

  # The files of the package that are not binding sources, as in the build tree.
  get_directory_property(py_files DIRECTORY ${PROJECT_SOURCE_DIR}/python DEFINITION VELNA_PY_FILES)
  foreach(f ${py_files})
    get_filename_component(dir ${f} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/python/${f} DESTINATION ${py_dest}/${dir} COMPONENT runtime)
  endforeach()
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
    set(sub "")
    if(rel)
      set(sub /${rel})
    endif()
    file(RELATIVE_PATH to_lib /@/${py_rpath_base}${sub} /@/${CMAKE_INSTALL_LIBDIR})
    set_target_properties(${t} PROPERTIES INSTALL_RPATH "$ORIGIN/${to_lib}")
    install(TARGETS ${t} LIBRARY DESTINATION ${py_dest}${sub} COMPONENT runtime)
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
# built for (its minor version); one list for both architectures.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.36), libstdc++6 (>= 12), libssl3 (>= 3.0), libsqlite3-0 (>= 3.40), libcurl4 (>= 7.88)")
if(VELNA_PYTHON)
  get_directory_property(py_major DIRECTORY ${PROJECT_SOURCE_DIR}/python DEFINITION Python_VERSION_MAJOR)
  get_directory_property(py_minor DIRECTORY ${PROJECT_SOURCE_DIR}/python DEFINITION Python_VERSION_MINOR)
  math(EXPR py_next "${py_minor} + 1")
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS
         ", python3 (>= ${py_major}.${py_minor}), python3 (<< ${py_major}.${py_next})")
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
include(CPack)
