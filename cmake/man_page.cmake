# ostrel_install_man_page(<name.N>): installs the page of section N as
# share/man/manN/<name.N>.gz, compressed when the build runs. gzip -n keeps
# the file's name and time out of the archive, so every build of the same
# page gives the same bytes; -9 because Debian's policy asks for it.
function(ostrel_install_man_page page)
  get_filename_component(source ${page} ABSOLUTE)
  get_filename_component(name ${page} NAME)
  string(REGEX MATCH "[0-9]$" section ${name})
  if(section STREQUAL "")
    message(FATAL_ERROR "ostrel_install_man_page: ${page} names no section")
  endif()
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/${name})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND gzip -9nf ${copy}
    DEPENDS ${source}
    COMMENT "Compressing the man page ${name}"
    VERBATIM)
  add_custom_target(man_page_${name} ALL DEPENDS ${copy}.gz)
  install(FILES ${copy}.gz DESTINATION share/man/man${section})
endfunction()
