# Install rules shared by the kit's libraries: the library with its soname
# links, its public headers, a CMake package with an imported target and a
# pkg-config file. Both package files locate the prefix from where they are
# installed, so `cmake --install build --prefix P` works for any P.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# kit_install_library(<target> PACKAGE <name> NAMESPACE <ns::> [EXPORT_NAME <name>]
#   HEADERS <include dir> PKGCONFIG <file name> DESCRIPTION <text>
#   [PC_REQUIRES_PRIVATE <modules>] [PC_LIBS_PRIVATE <flags>])
function(kit_install_library target)
  cmake_parse_arguments(A "" "PACKAGE;NAMESPACE;EXPORT_NAME;HEADERS;PKGCONFIG;DESCRIPTION;PC_REQUIRES_PRIVATE;PC_LIBS_PRIVATE" "" ${ARGN})
  if(A_EXPORT_NAME)
    set_target_properties(${target} PROPERTIES EXPORT_NAME ${A_EXPORT_NAME})
  endif()
  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${A_PACKAGE})
  install(TARGETS ${target} EXPORT ${A_PACKAGE}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(DIRECTORY ${A_HEADERS}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT ${A_PACKAGE}Targets NAMESPACE ${A_NAMESPACE} DESTINATION ${cmake_dir})

  set(out ${CMAKE_BINARY_DIR}/package/${A_PACKAGE})
  file(CONFIGURE OUTPUT ${out}/${A_PACKAGE}Config.cmake @ONLY
    CONTENT "include(\${CMAKE_CURRENT_LIST_DIR}/${A_PACKAGE}Targets.cmake)\n")
  write_basic_package_version_file(${out}/${A_PACKAGE}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${out}/${A_PACKAGE}Config.cmake ${out}/${A_PACKAGE}ConfigVersion.cmake DESTINATION ${cmake_dir})

  get_target_property(lib_name ${target} OUTPUT_NAME)
  if(NOT lib_name)
    set(lib_name ${target})
  endif()
  file(RELATIVE_PATH up /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" up "${up}")
  file(CONFIGURE OUTPUT ${out}/${A_PKGCONFIG}.pc @ONLY CONTENT
"prefix=\${pcfiledir}/${up}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: ${A_PKGCONFIG}
Description: ${A_DESCRIPTION}
Version: ${PROJECT_VERSION}
Requires.private: ${A_PC_REQUIRES_PRIVATE}
Libs: -L\${libdir} -l${lib_name}
Libs.private: ${A_PC_LIBS_PRIVATE}
Cflags: -I\${includedir}
")
  install(FILES ${out}/${A_PKGCONFIG}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
