# The icon, version and manifest every Windows program carries.
set(ZELK_ICON ${CMAKE_BINARY_DIR}/zelkpatcher.ico)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_command(
  OUTPUT ${ZELK_ICON}
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/cmake/png_to_ico.py ${PROJECT_SOURCE_DIR}/data/zelkpatcher.png
          ${ZELK_ICON}
  DEPENDS ${PROJECT_SOURCE_DIR}/data/zelkpatcher.png ${PROJECT_SOURCE_DIR}/cmake/png_to_ico.py
  VERBATIM)
add_custom_target(zelk-icon DEPENDS ${ZELK_ICON})

# zelk_windows_resources(TARGET DESCRIPTION CONSOLE|WINDOWS)
function(zelk_windows_resources target description subsystem)
  set(ZELK_TARGET ${target})
  set(ZELK_DESCRIPTION ${description})
  set(ZELK_ICON_FILE ${ZELK_ICON})
  set(ZELK_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/data/windows/app.manifest.in ${ZELK_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/data/windows/app.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc APPEND PROPERTY OBJECT_DEPENDS ${ZELK_ICON} ${ZELK_MANIFEST})
  add_dependencies(${target} zelk-icon)
  if(subsystem STREQUAL WINDOWS)
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
  endif()
endfunction()
