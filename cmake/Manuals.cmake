# Manual pages, made by help2man from each program's own --help and
# --version with the sections in docs/NAME.h2m, so the options are written
# down once, in the program.
function(zelk_manual program component)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            ${HELP2MAN} --no-info --no-discard-stderr --section=1 --source=ZelkPatcher
            --include=${PROJECT_SOURCE_DIR}/docs/${program}.h2m --output=${page} $<TARGET_FILE:${program}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${program} ${PROJECT_SOURCE_DIR}/docs/${program}.h2m
    COMMENT "Writing the manual page ${program}(1)"
    VERBATIM)
  add_custom_target(${program}-manual ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

if(ZELK_MANUALS)
  find_program(HELP2MAN help2man REQUIRED)
  zelk_manual(zelkpatch zelkpatch)
  if(ZELK_WINDOW)
    zelk_manual(zelkpatcher zelkpatcher)
  endif()
endif()
