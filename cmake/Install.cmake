# Installation: the libraries with their public headers, a pkg-config file
# each, the CMake package "vorpin" (targets vorpin::<library>) and the tools.
#
# One line per library below: its target, the folder whose include/ holds
# its public header, and the libraries a program linking it needs too.
# A library that is not built (yet) is skipped.
include(CMakePackageConfigHelpers)

set(VORPIN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vorpin)
set(VORPIN_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# The installed libraries in the build tree: tools/../<libdir>, as installed.
set(VORPIN_BUILD_LIBDIR ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR})
set(VORPIN_INSTALLED_LIBRARIES "" CACHE INTERNAL "libraries that make install installs")

function(vorpin_package target folder)
  cmake_parse_arguments(ARG "" "" "REQUIRES" ${ARGN})
  if(NOT TARGET ${target})
    return()
  endif()
  # The installed libraries find each other beside themselves. The build
  # tree holds them in one folder too, with the same run path: a run path
  # that is rewritten at install is padded with empty entries, and the loader
  # reads an empty entry as the current directory.
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN" BUILD_WITH_INSTALL_RPATH ON
                        LIBRARY_OUTPUT_DIRECTORY ${VORPIN_BUILD_LIBDIR})
  install(TARGETS ${target} EXPORT vorpinTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${folder}/include/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

  # pkg-config: the prefix is found from the .pc file's own place, so the
  # tree can be installed under any --prefix.
  file(RELATIVE_PATH pc_to_prefix /${VORPIN_PC_DIR} /)
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  set(requires "")
  if(ARG_REQUIRES)
    list(JOIN ARG_REQUIRES " " requires)
    set(requires "Requires.private: ${requires}\n")
  endif()
  set(pc ${PROJECT_BINARY_DIR}/pkgconfig/${target}.pc)
  file(GENERATE OUTPUT ${pc} CONTENT
"prefix=\${pcfiledir}/${pc_to_prefix}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: ${target}
Description: ${PROJECT_DESCRIPTION}: ${target}
Version: ${PROJECT_VERSION}
${requires}Libs: -L\${libdir} -l${target} -Wl,-rpath-link,\${libdir}
Cflags: -I\${includedir}
")
  install(FILES ${pc} DESTINATION ${VORPIN_PC_DIR})
  set(VORPIN_INSTALLED_LIBRARIES ${VORPIN_INSTALLED_LIBRARIES} ${target} CACHE INTERNAL "")
endfunction()

# Tools are installed with a run path to the installed libraries.
# As for the libraries, the run path is the same in the build tree, where
# the tools' folder lies beside the libraries' one.
function(vorpin_install_tool target)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}"
                                             BUILD_WITH_INSTALL_RPATH ON)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

set(VORPIN_INSTALLED_LIBRARIES "" CACHE INTERNAL "")
#             library       headers from  needs
vorpin_package(vorpin_dll   cardcrypto)
vorpin_package(sigenv_dll   sigenv        REQUIRES vorpin_dll)
vorpin_package(exchpack_dll exchpack      REQUIRES vorpin_dll)
vorpin_package(Docseal      Docseal       REQUIRES vorpin_dll sigenv_dll)
vorpin_package(Doclock      Doclock       REQUIRES vorpin_dll exchpack_dll)

# Each built tool with its manual page and its bash completion.
foreach(tool docseal doclock xkms-responder)
  if(TARGET ${tool})
    vorpin_install_tool(${tool})
    install(FILES ${PROJECT_SOURCE_DIR}/man/${tool}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_SOURCE_DIR}/completions/${tool}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(EXPORT vorpinTargets NAMESPACE vorpin:: DESTINATION ${VORPIN_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vorpinConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/vorpinConfig.cmake
                              INSTALL_DESTINATION ${VORPIN_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vorpinConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vorpinConfig.cmake
              ${PROJECT_BINARY_DIR}/vorpinConfigVersion.cmake
        DESTINATION ${VORPIN_CMAKE_DIR})
