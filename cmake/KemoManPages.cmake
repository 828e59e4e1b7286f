# Man pages of plc-host and plc-sim, written by help2man from each program's
# --help when the program is built, so that they cannot drift from it. The
# sections --help lacks (description, files, examples) come from the
# program's .h2m file beside its sources.
find_program(KEMO_HELP2MAN help2man REQUIRED)

# help2man runs the program it describes: a cross build's through its emulator.
string(REPLACE ";" " " kemo_man_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
set(kemo_man_pages)
foreach(tool plc-host plc-sim)
  get_target_property(kemo_tool_dir ${tool} SOURCE_DIR)
  set(wrapper ${PROJECT_BINARY_DIR}/man/run/${tool})  # help2man names the page after the file it runs
  file(GENERATE OUTPUT ${wrapper}
       CONTENT "#!/bin/sh\nexec ${kemo_man_emulator} \"$<TARGET_FILE:${tool}>\" \"$@\"\n"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(page ${PROJECT_BINARY_DIR}/man/${tool}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${KEMO_HELP2MAN} --no-info --section 1 --version-string ${PROJECT_VERSION}
            --include ${kemo_tool_dir}/${tool}.h2m --output ${page} ${wrapper}
    COMMAND gzip -9nf ${page}
    DEPENDS ${tool} ${kemo_tool_dir}/${tool}.h2m
    COMMENT "Writing the man page of ${tool}"
    VERBATIM)
  list(APPEND kemo_man_pages ${page}.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${kemo_man_pages})
install(FILES ${kemo_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
