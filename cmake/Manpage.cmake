# tallamo_manpage(<target> <what it does, in a few words> <see also>): the program's manual page in
# section 1, written at build time by help2man from the program's own --help and --version (run in a
# UTF-8 locale, so that the Chinese in them is kept).
find_program(HELP2MAN_EXECUTABLE help2man)
if(NOT HELP2MAN_EXECUTABLE)
  message(WARNING "help2man was not found: the manual pages are not made")
endif()

function(tallamo_manpage target description see_also)
  if(NOT HELP2MAN_EXECUTABLE)
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  set(include ${CMAKE_CURRENT_BINARY_DIR}/${target}.h2m)
  file(CONFIGURE OUTPUT ${include} CONTENT "[SEE ALSO]\n${see_also}\n" @ONLY)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${HELP2MAN_EXECUTABLE} --no-info --locale=C.UTF-8 --section=1 --name=${description} --include=${include}
      --output=${page} $<TARGET_FILE:${target}>
    DEPENDS ${target} ${include}
    COMMENT "Writing the manual page ${target}(1)"
    VERBATIM)
  add_custom_target(${target}-manpage ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
