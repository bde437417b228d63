# Two Debian packages from one build (make deb): zelkpatch, the command line,
# which needs nothing beyond the C and C++ runtime and suits a headless
# server; and zelkpatcher, the window, on top of it and Qt.
foreach(package zelkpatch zelkpatcher)
  set(doc ${CMAKE_INSTALL_DATADIR}/doc/${package})
  install(FILES ${PROJECT_SOURCE_DIR}/data/debian/copyright DESTINATION ${doc} COMPONENT ${package})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${doc} COMPONENT ${package})
endforeach()
# Debian wants the change log compressed, and the same bytes every build.
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/data/debian/changelog > ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/data/debian/changelog
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VENDOR "The ZelkPatcher developers")
set(CPACK_PACKAGE_CONTACT "ZelkPatcher developers <maintainers@users.noreply.example>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL zelkpatch)
if(ZELK_WINDOW)
  list(APPEND CPACK_COMPONENTS_ALL zelkpatcher)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_ZELKPATCH_PACKAGE_NAME zelkpatch)
set(CPACK_DEBIAN_ZELKPATCHER_PACKAGE_NAME zelkpatcher)
set(CPACK_COMPONENT_ZELKPATCHER_DEPENDS zelkpatch)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The first line is the summary, the rest the long description.
set(CPACK_DEBIAN_ZELKPATCH_DESCRIPTION "make and apply ZelkPatch files (command line)
zelkpatch makes byte-level patches between two versions of a ROM file (or any
file) and applies them. Each patch carries a free-text comment. An output is
replaced only once it is complete and on disk.")
set(CPACK_DEBIAN_ZELKPATCHER_DESCRIPTION "make and apply ZelkPatch files (window)
ZelkPatcher is a small window for making byte-level patches between two
versions of a ROM file (or any file) and applying them; each patch carries a
free-text comment. The command-line tool is in the package zelkpatch.")
include(CPack)
