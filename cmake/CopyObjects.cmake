# Copies the deliverable object modules to DEST under their module names.
# The command window's meta-object glue is the AUTOMOC compilation unit of
# its object library (it holds the moc output for WindowCommand.h only).
# The patterns rely on CMake's naming of object files: <source>.o for the
# Makefile and Ninja generators (main.cpp.o), and mocs_compilation.cpp.o for
# the unit that AUTOMOC adds to every target; a CMake that names them
# otherwise stops the build here with the list it found.
file(MAKE_DIRECTORY "${DEST}")

function(copy_object list pattern name)
  foreach(obj ${list})
    get_filename_component(base "${obj}" NAME)
    if(base MATCHES "${pattern}")
      file(COPY_FILE "${obj}" "${DEST}/${name}.o" ONLY_IF_DIFFERENT)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "no object matching ${pattern} among ${list}")
endfunction()

copy_object("${MAIN_OBJECTS}" "^main\\.cpp\\.o$" main)
copy_object("${COMMAND_OBJECTS}" "^WindowCommand\\.cpp\\.o$" WindowCommand)
copy_object("${COMMAND_OBJECTS}" "^mocs_compilation\\.cpp\\.o$" moc_WindowCommand)
copy_object("${SERIAL_OBJECTS}" "^Process_Serial\\.cpp\\.o$" Process_Serial)
