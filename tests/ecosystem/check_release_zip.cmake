cmake_minimum_required(VERSION 3.25)  # if(IN_LIST) in script mode
# Checks the Windows release archives in RELEASE (cmake/Install.cmake):
#   NAME.zip: every expected entry is there, no lua51.dll or import library
#     slipped in; each DLL in it passes the import-table check, carries no
#     debug section, links to its debug file, has a version resource that
#     names the project version and the file, and loads into plain LuaJIT;
#     the same DLL in the build (BUILD_BIN) keeps its symbols for the tests;
#   NAME-debug.zip: unpacked over the first, a <dll>.debug beside each DLL
#     with the debug information, found by the link and its checksum;
#   NAME-runtime.zip: luajit.exe and lua51.dll (built from Debian's LuaJIT
#     source, version LUAJIT_VERSION), LuaJIT's own Lua modules and notice,
#     under the same folder names and overlapping nothing of NAME.zip; both
#     programs pass the import-table check, carry no debug sections and have
#     a version resource;
#   SHA256SUMS: one valid line per archive.
# Then the loading snippets the zip carries run on the unpacked runtime's
# luajit.exe, from the folder as unpacked, with LuaJIT's default paths: what
# a user who unpacked the three archives does.
# With REBUILD set, it checks instead that a second, separate build of the
# same tree into that folder makes byte-identical archives and SHA256SUMS.

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " line)
    message(FATAL_ERROR "failed (${rc}): ${line}\n${out}${err}")
  endif()
  set(out "${out}${err}" PARENT_SCOPE)
endfunction()

set(archives ${NAME}.zip ${NAME}-debug.zip ${NAME}-runtime.zip SHA256SUMS)

if(REBUILD)
  # A build of the libraries only, in a fresh folder: a different path, the
  # same sources and Windows dependencies.
  file(REMOVE_RECURSE "${REBUILD}")
  run(${CMAKE_COMMAND} -S "${SOURCE}" -B "${REBUILD}" -G "${GENERATOR}"
      "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}" "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}"
      "-DLUAJIT_WIN_DIR=${LUAJIT_WIN_DIR}" "-DSODIUM_WIN_DIR=${SODIUM_WIN_DIR}"
      "-DOPENSSL_WIN_DIR=${OPENSSL_WIN_DIR}" "-DLUAJIT_WIN_SOURCE=${LUAJIT_WIN_SOURCE}"
      -DLUAMODS_MODULES_ONLY=ON)
  run(${CMAKE_COMMAND} --build "${REBUILD}" --target release -- -j2)
  set(differ "")
  foreach(file IN LISTS archives)
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
                    "${RELEASE}/${file}" "${REBUILD}/release/${file}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      list(APPEND differ ${file})
    endif()
  endforeach()
  if(differ)
    # Name the entries that differ, which is where a fix starts.
    foreach(zip ${NAME}.zip ${NAME}-debug.zip ${NAME}-runtime.zip)
      foreach(side first second)
        file(REMOVE_RECURSE "${WORK}/${side}")
        file(MAKE_DIRECTORY "${WORK}/${side}")
      endforeach()
      run(${CMAKE_COMMAND} -E chdir "${WORK}/first" ${CMAKE_COMMAND} -E tar xf "${RELEASE}/${zip}")
      run(${CMAKE_COMMAND} -E chdir "${WORK}/second" ${CMAKE_COMMAND} -E tar xf "${REBUILD}/release/${zip}")
      file(GLOB_RECURSE entries RELATIVE "${WORK}/first" "${WORK}/first/*")
      foreach(entry IN LISTS entries)
        execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
                        "${WORK}/first/${entry}" "${WORK}/second/${entry}" RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0)
          list(APPEND differ "${entry}")
        endif()
      endforeach()
    endforeach()
    message(FATAL_ERROR "a second build of the same tree differs: ${differ}")
  endif()
  message(STATUS "a second build in ${REBUILD} made identical ${archives}")
  return()
endif()

foreach(file IN LISTS archives)
  if(NOT EXISTS "${RELEASE}/${file}")
    message(FATAL_ERROR "no ${file} in ${RELEASE} (target release_zip)")
  endif()
endforeach()

# SHA256SUMS: "<sha256>  <file>" per archive, as sha256sum writes and reads it.
file(STRINGS "${RELEASE}/SHA256SUMS" lines)
set(listed "")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^([0-9a-f]+)  (.+)$")
    message(FATAL_ERROR "SHA256SUMS: malformed line '${line}'")
  endif()
  set(file "${CMAKE_MATCH_2}")
  set(sum "${CMAKE_MATCH_1}")
  string(LENGTH "${sum}" digits)
  if(NOT digits EQUAL 64)
    message(FATAL_ERROR "SHA256SUMS: malformed line '${line}'")
  endif()
  file(SHA256 "${RELEASE}/${file}" actual)
  if(NOT sum STREQUAL actual)
    message(FATAL_ERROR "SHA256SUMS: ${file} is ${actual}, the file says ${sum}")
  endif()
  list(APPEND listed "${file}")
endforeach()
if(NOT listed STREQUAL "${NAME}.zip;${NAME}-debug.zip;${NAME}-runtime.zip")
  message(FATAL_ERROR "SHA256SUMS lists '${listed}', not the three archives")
endif()

# Both archives unpacked into one folder, as a user who wants the symbols does.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
foreach(zip ${NAME}.zip ${NAME}-debug.zip)
  run(${CMAKE_COMMAND} -E chdir "${WORK}" ${CMAKE_COMMAND} -E tar xf "${RELEASE}/${zip}")
endforeach()
set(root "${WORK}/${NAME}")
foreach(entry IN LISTS EXPECTED)
  if(entry MATCHES "\\.dll$")
    set(entry "bin/${entry}")
  elseif(entry STREQUAL "LOADING.txt")
    set(entry "bin/LOADING.txt")
  endif()
  if(NOT EXISTS "${root}/${entry}")
    message(FATAL_ERROR "the zip lacks ${NAME}/${entry}")
  endif()
endforeach()
file(GLOB_RECURSE dlls RELATIVE "${root}" "${root}/*.dll")
file(GLOB_RECURSE import_libs "${root}/*.a")
if(import_libs)
  message(FATAL_ERROR "the zip holds import libraries: ${import_libs}")
endif()
file(GLOB_RECURSE debug_files RELATIVE "${root}" "${root}/*.debug")
set(debug_expected "")
foreach(dll IN LISTS dlls)
  list(APPEND debug_expected "${dll}.debug")
endforeach()
if(NOT debug_files STREQUAL debug_expected)
  message(FATAL_ERROR "the debug archive holds '${debug_files}', not '${debug_expected}'")
endif()

# The version resource of a file, read back from it: file and product
# version (numbers and text), the product, the file's name, a description.
function(check_version_resource path product version)
  get_filename_component(file "${path}" NAME)
  string(REGEX MATCH "^[0-9]+\\.[0-9]+\\.[0-9]+" numbers "${version}")
  string(REPLACE "." ", " numbers "${numbers}")
  string(REPLACE "." "\\." version "${version}")
  run(${WINDRES} -i "${path}" -O rc)
  foreach(pattern
      "FILEVERSION ${numbers}, 0\n"
      "PRODUCTVERSION ${numbers}, 0\n"
      "VALUE \"FileVersion\", \"${version}\"\n"
      "VALUE \"ProductVersion\", \"${version}\"\n"
      "VALUE \"ProductName\", \"${product}\"\n"
      "VALUE \"OriginalFilename\", \"${file}\"\n"
      "VALUE \"FileDescription\", \"[^\"]+\"\n")
    if(NOT out MATCHES "${pattern}")
      message(FATAL_ERROR "the version resource of ${file} lacks ${pattern}:\n${out}")
    endif()
  endforeach()
endfunction()

set(sizes "")
foreach(dll IN LISTS dlls)
  get_filename_component(file "${dll}" NAME)
  string(TOLOWER "${file}" lower)
  if(lower STREQUAL "lua51.dll")
    message(FATAL_ERROR "lua51.dll belongs to the host and must not be in the zip")
  endif()
  run(${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} -DFILE=${root}/${dll} -P ${CHECK_IMPORTS})

  # Stripped, and linked to the debug file beside it: objdump follows the
  # link only when the file's checksum matches the one recorded.
  run(${OBJDUMP} -h "${root}/${dll}")
  if(out MATCHES " \\.debug_[a-z]+ ")
    message(FATAL_ERROR "${dll} in the zip has debug sections")
  endif()
  run(${CMAKE_COMMAND} -E chdir "${root}/bin" ${OBJDUMP} -Wk "${file}")
  if(NOT out MATCHES "Found separate debug info file: ${file}\\.debug")
    message(FATAL_ERROR "${dll} does not lead to a matching ${file}.debug:\n${out}")
  endif()
  run(${OBJDUMP} -h "${root}/${dll}.debug")
  if(NOT out MATCHES " \\.debug_info ")
    message(FATAL_ERROR "${file}.debug holds no debug information")
  endif()
  # The build's own copy, which the tests load, keeps its symbols.
  run(${OBJDUMP} -h "${BUILD_BIN}/${file}")
  if(NOT out MATCHES " \\.debug_info ")
    message(FATAL_ERROR "${BUILD_BIN}/${file} lost its debug information")
  endif()

  check_version_resource("${root}/${dll}" luamods "${VERSION}")

  file(SIZE "${root}/${dll}" shipped)
  file(SIZE "${BUILD_BIN}/${file}" built)
  list(APPEND sizes "${file} ${shipped} bytes (built ${built})")
endforeach()

# The runtime: unpacked alone first, to see that it adds files and replaces
# none of the first archive's, then over the other two.
file(REMOVE_RECURSE "${WORK}-runtime")
file(MAKE_DIRECTORY "${WORK}-runtime")
run(${CMAKE_COMMAND} -E chdir "${WORK}-runtime" ${CMAKE_COMMAND} -E tar xf "${RELEASE}/${NAME}-runtime.zip")
file(GLOB_RECURSE runtime_entries RELATIVE "${WORK}-runtime" "${WORK}-runtime/*")
list(SORT runtime_entries)
foreach(entry IN ITEMS ${NAME}/bin/luajit.exe ${NAME}/bin/lua51.dll ${NAME}/bin/lua/jit/vmdef.lua
                       ${NAME}/licenses/LuaJIT-runtime.txt)
  if(NOT entry IN_LIST runtime_entries)
    message(FATAL_ERROR "the runtime archive lacks ${entry}")
  endif()
endforeach()
foreach(entry IN LISTS runtime_entries)
  if(NOT entry MATCHES "^${NAME}/")
    message(FATAL_ERROR "the runtime archive holds ${entry} outside ${NAME}/")
  endif()
  if(EXISTS "${WORK}/${entry}")
    message(FATAL_ERROR "the runtime archive would replace ${entry} of ${NAME}.zip")
  endif()
endforeach()
run(${CMAKE_COMMAND} -E chdir "${WORK}" ${CMAKE_COMMAND} -E tar xf "${RELEASE}/${NAME}-runtime.zip")
foreach(file luajit.exe lua51.dll)
  run(${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} -DFILE=${root}/bin/${file} -P ${CHECK_IMPORTS})
  run(${OBJDUMP} -h "${root}/bin/${file}")
  if(out MATCHES " \\.debug_[a-z]+ ")
    message(FATAL_ERROR "${file} of the runtime has debug sections")
  endif()
  check_version_resource("${root}/bin/${file}" LuaJIT "${LUAJIT_VERSION}")
  file(SIZE "${root}/bin/${file}" size)
  list(APPEND sizes "${file} ${size} bytes")
endforeach()

# The loading snippets the zip carries, run by the runtime's luajit.exe as a
# user of the archives runs them: no LUA_PATH or LUA_CPATH, so LuaJIT's
# defaults find the DLLs beside luajit.exe and the loaders in its lua\
# folder; the stripped DLLs still load and work.
file(GLOB snippets "${root}/docs/examples/load_*.lua")
if(NOT snippets)
  message(FATAL_ERROR "the zip holds no loading snippets")
endif()
foreach(snippet IN LISTS snippets)
  run(${CMAKE_COMMAND} -E env --unset=LUA_CPATH --unset=LUA_PATH ${EMULATOR} "${root}/bin/luajit.exe" ${snippet})
  string(STRIP "${out}" out)
  message(STATUS "${out}")
endforeach()

list(LENGTH dlls n)
list(JOIN sizes ", " sizes)
message(STATUS "${NAME}.zip: ${n} DLLs, all entries present; ${NAME}-runtime.zip: "
               "${runtime_entries}; ${sizes}")
