# `cmake --install` layout, and (Windows) the release archive.
#
# Native: the module libraries go where Lua looks for C modules,
# lib/lua/5.1/ under the prefix; LuaRocks passes its own folders through
# LUAMODS_INSTALL_CMOD and LUAMODS_INSTALL_DOC.  Windows: the DLLs and a note
# on loading them in bin/.  One file per library: Quandel holds memory and
# memory.queue, and two copies in one process would be two block registries.
#
# The Lua modules (lua/: memory.fast and the require loaders): natively under
# share/lua/5.1/ (LUA_PATH; LuaRocks passes LUAMODS_INSTALL_LMOD), on Windows
# in bin/lua/, which LuaJIT's default package.path holds for an executable
# in bin/.
if(WIN32)
  set(_luamods_cmod bin)
  set(_luamods_lmod bin/lua)
  set(_luamods_doc .)
else()
  set(_luamods_cmod lib/lua/5.1)
  set(_luamods_lmod share/lua/5.1)
  set(_luamods_doc share/doc/luamods)
endif()
set(LUAMODS_INSTALL_CMOD "${_luamods_cmod}" CACHE STRING
    "folder (under the prefix) for the module libraries")
set(LUAMODS_INSTALL_LMOD "${_luamods_lmod}" CACHE STRING
    "folder (under the prefix) for the Lua modules")
set(LUAMODS_INSTALL_DOC "${_luamods_doc}" CACHE STRING
    "folder (under the prefix) for docs/, types/ and licenses/")

# The libraries of this configuration: modules whose folder is absent are skipped.
set(LUAMODS_LIBRARIES "")
foreach(target quandel threads crypto pellor)
  if(TARGET ${target})
    list(APPEND LUAMODS_LIBRARIES ${target})
    install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION ${LUAMODS_INSTALL_CMOD})
  endif()
endforeach()

# The Lua modules: memory.fast, and the loaders that let require find the
# libraries whose file names are not module names.
set(_luamods_lua "")
if(TARGET quandel)
  install(FILES ${CMAKE_SOURCE_DIR}/lua/memory.lua DESTINATION ${LUAMODS_INSTALL_LMOD})
  install(FILES ${CMAKE_SOURCE_DIR}/lua/memory/fast.lua ${CMAKE_SOURCE_DIR}/lua/memory/queue.lua
          DESTINATION ${LUAMODS_INSTALL_LMOD}/memory)
  list(APPEND _luamods_lua ${CMAKE_SOURCE_DIR}/lua/memory.lua
       ${CMAKE_SOURCE_DIR}/lua/memory/fast.lua ${CMAKE_SOURCE_DIR}/lua/memory/queue.lua)
endif()
if(TARGET pellor)
  install(FILES ${CMAKE_SOURCE_DIR}/lua/win32.lua DESTINATION ${LUAMODS_INSTALL_LMOD})
  list(APPEND _luamods_lua ${CMAKE_SOURCE_DIR}/lua/win32.lua)
endif()

file(GLOB _luamods_docs CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/docs/*.md ${CMAKE_SOURCE_DIR}/docs/*.svg)
file(GLOB _luamods_examples CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/examples/docs/*.lua)
file(GLOB _luamods_types CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/types/*.lua)
set(_luamods_licenses ${CMAKE_SOURCE_DIR}/packaging/licenses/LuaJIT.txt)
if(TARGET crypto)
  list(APPEND _luamods_licenses ${CMAKE_SOURCE_DIR}/packaging/licenses/libsodium.txt)
endif()
if(TARGET quandel)
  list(APPEND _luamods_licenses ${CMAKE_SOURCE_DIR}/packaging/licenses/concurrentqueue.txt)
endif()
if(WIN32)
  list(APPEND _luamods_licenses ${CMAKE_SOURCE_DIR}/packaging/licenses/mingw-w64-runtime.txt)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/LOADING.txt DESTINATION ${LUAMODS_INSTALL_CMOD})
endif()
install(FILES ${_luamods_docs} DESTINATION ${LUAMODS_INSTALL_DOC}/docs)
install(FILES ${_luamods_examples} DESTINATION ${LUAMODS_INSTALL_DOC}/docs/examples)
install(FILES ${_luamods_types} DESTINATION ${LUAMODS_INSTALL_DOC}/types)
install(FILES ${_luamods_licenses} DESTINATION ${LUAMODS_INSTALL_DOC}/licenses)

# The Windows release archive: an install into a staging folder, zipped.
# Part of every Windows build, so the test of its contents always has one.
if(WIN32)
  set(LUAMODS_RELEASE_NAME luamods-${PROJECT_VERSION}-win64)
  set(LUAMODS_RELEASE_ZIP ${CMAKE_BINARY_DIR}/release/${LUAMODS_RELEASE_NAME}.zip)
  set(_stage ${CMAKE_BINARY_DIR}/release/${LUAMODS_RELEASE_NAME})
  add_custom_command(OUTPUT ${LUAMODS_RELEASE_ZIP}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${_stage} ${LUAMODS_RELEASE_ZIP}
    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${_stage}
    COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR}/release
            ${CMAKE_COMMAND} -E tar cf ${LUAMODS_RELEASE_ZIP} --format=zip ${LUAMODS_RELEASE_NAME}
    DEPENDS ${LUAMODS_LIBRARIES} ${_luamods_lua} ${_luamods_docs} ${_luamods_examples} ${_luamods_types}
            ${_luamods_licenses} ${CMAKE_SOURCE_DIR}/packaging/LOADING.txt
    COMMENT "Zipping ${LUAMODS_RELEASE_NAME}.zip"
    VERBATIM)
  add_custom_target(release_zip ALL DEPENDS ${LUAMODS_RELEASE_ZIP})
endif()
