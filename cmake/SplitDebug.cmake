# Included by the install script (cmake/Install.cmake) when the install strips:
# `cmake --install --strip`, or LUAMODS_INSTALL_STRIP for LuaRocks, which
# cannot pass --strip.
#
# luamods_split_debug(<installed library> <objcopy>) moves the debug
# information and the symbol table of the library into <library>.debug beside
# it, strips the library and links it to that file by name and checksum
# (.gnu_debuglink), so that a debugger or a symbolizer given the folder finds
# the symbols of a crash in the field.  The same on ELF and on PE files.
function(luamods_split_debug file objcopy)
  get_filename_component(dir "${file}" DIRECTORY)
  get_filename_component(name "${file}" NAME)
  set(debug "${name}.debug")
  # Relative names in the library's folder: the link records the file's name
  # only, and the checksum is taken from the file just written.  objcopy
  # stamps a PE file it writes with the current time unless
  # SOURCE_DATE_EPOCH says otherwise: 0, as the link left it, so that the
  # same library gives the same bytes.
  set(run ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 "${objcopy}")
  execute_process(COMMAND ${run} --only-keep-debug "${name}" "${debug}"
                  WORKING_DIRECTORY "${dir}" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${run} --strip-all "--add-gnu-debuglink=${debug}" "${name}"
                  WORKING_DIRECTORY "${dir}" COMMAND_ERROR_IS_FATAL ANY)
  # objcopy leaves the mode of its output to the umask; an archive made from
  # the folder must not depend on it.
  file(CHMOD "${dir}/${debug}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  message(STATUS "Stripped: ${file} (debug information in ${debug})")
endfunction()

# luamods_install_strip(<file name>): the split, for a library just installed
# into the module folder, when this install strips.
function(luamods_install_strip name)
  if(NOT CMAKE_INSTALL_DO_STRIP AND NOT luamods_strip_always)
    return()
  endif()
  set(dir "${luamods_install_cmod}")
  if(NOT IS_ABSOLUTE "${dir}")
    set(dir "${CMAKE_INSTALL_PREFIX}/${dir}")
  endif()
  luamods_split_debug("$ENV{DESTDIR}${dir}/${name}" "${luamods_objcopy}")
endfunction()
