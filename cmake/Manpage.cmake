# SPDX-License-Identifier: GPL-3.0-or-later
# tallamo_manpage(<target> <what it does, in a few words> <see also>): the program's manual page in
# section 1, written at build time by help2man from the program's own --help and --version (run in a
# UTF-8 locale, so that the Chinese in them is kept), and installed compressed as Debian's policy wants
# (gzip -n, so the package is the same from build to build).
find_program(HELP2MAN_EXECUTABLE help2man)
find_program(GZIP_EXECUTABLE gzip)
if(NOT HELP2MAN_EXECUTABLE OR NOT GZIP_EXECUTABLE)
  message(WARNING "help2man or gzip was not found: the manual pages are not made")
endif()

function(tallamo_manpage target description see_also)
  if(NOT HELP2MAN_EXECUTABLE OR NOT GZIP_EXECUTABLE)
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  set(include ${CMAKE_CURRENT_BINARY_DIR}/${target}.h2m)
  file(CONFIGURE OUTPUT ${include} CONTENT "[SEE ALSO]\n${see_also}\n" @ONLY)
  add_custom_command(
    OUTPUT ${page} ${page}.gz
    COMMAND ${HELP2MAN_EXECUTABLE} --no-info --locale=C.UTF-8 --section=1 --name=${description} --include=${include}
      --output=${page} $<TARGET_FILE:${target}>
    COMMAND ${GZIP_EXECUTABLE} -9nkf ${page}
    DEPENDS ${target} ${include}
    COMMENT "Writing the manual page ${target}(1)"
    VERBATIM)
  add_custom_target(${target}-manpage ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
