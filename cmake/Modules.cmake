# The module libraries: the file name of each, and the one function that adds
# a module with everything it needs.
#
# CMake targets are named after their folders (modules/Memory is the target
# memory, modules/Win32 is win32); the files they make keep the names users
# load.  Those names are set here and nowhere else: a target not listed makes
# a file of its own name.
set(LUAMODS_FILE_NAME_memory Quandel)        # memory and memory.queue
set(LUAMODS_FILE_NAME_win32 Pellor)
set(LUAMODS_FILE_NAME_win32_faults PellorFaults)  # win32 built for the fault tests
set(LUAMODS_FILE_NAME_win32_bench_baseline Win32BenchBaseline)

# The libraries a release ships, in the order the install and its tests list
# them; win32 has no target where the platform is not Windows and is skipped
# where they are used.
set(LUAMODS_SHIPPED_MODULES memory threads crypto win32)

# What every piece of a module is compiled with: modules/ and the generated
# headers on the include path, LuaJIT, hidden symbols and the static library
# of what the modules share (luamods_common).
# Hidden is also the tree's default (CMakeLists.txt), for static libraries
# that end up inside a module; a module states it itself so that its exports
# never depend on where it is declared.
function(_luamods_module_settings target)
  set_target_properties(${target} PROPERTIES
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/modules
                             ${LUAMODS_GENERATED_INCLUDE})
  target_link_libraries(${target} PRIVATE luajit::lua luamods_common)
endfunction()

# luamods_add_module(<target> <source>...)
# A Lua C module: a shared library named as above, without the "lib" prefix,
# in bin/ of the build, that exports only its luaopen_* entry points.
function(luamods_add_module target)
  add_library(${target} SHARED ${ARGN})
  set(file_name ${target})
  if(DEFINED LUAMODS_FILE_NAME_${target})
    set(file_name ${LUAMODS_FILE_NAME_${target}})
  endif()
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${file_name}
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  _luamods_module_settings(${target})
  if(WIN32)
    # A .def-free DLL exports every global symbol unless told otherwise: this
    # keeps it to what is marked dllexport, the luaopen_* functions.
    target_link_options(${target} PRIVATE -Wl,--exclude-all-symbols)
  endif()
endfunction()

# luamods_add_module_objects(<target> <source>...)
# Part of a module compiled once for several builds of it (the module and its
# test variants take it as $<TARGET_OBJECTS:target>), with the same settings.
function(luamods_add_module_objects target)
  add_library(${target} OBJECT ${ARGN})
  _luamods_module_settings(${target})
endfunction()
