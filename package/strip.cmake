# Run by cpack on the files it is about to package (CPACK_PRE_BUILD_SCRIPTS),
# after CPACK_STRIP_FILES has stripped the programs of their symbols: also
# the compiler's notes, which dh_strip takes out of every Debian package and
# lintian asks to be gone (binary-has-unneeded-section).
file(GLOB programs ${CPACK_TEMPORARY_DIRECTORY}/usr/bin/* ${CPACK_TEMPORARY_DIRECTORY}/usr/lib/cgi-bin/*)
foreach(program ${programs})
  execute_process(COMMAND ${CPACK_OSTREL_STRIP} --remove-section=.comment --remove-section=.note
                          ${program} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
