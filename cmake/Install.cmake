# `cmake --install` layout, and (Windows) the release archive.
#
# Native: the module libraries go where Lua looks for C modules,
# lib/lua/5.1/ under the prefix; LuaRocks passes its own folders through
# LUAMODS_INSTALL_CMOD and LUAMODS_INSTALL_DOC.  Windows: the DLLs and a note
# on loading them in bin/.  One file per library: Quandel holds memory and
# memory.queue, and two copies in one process would be two block registries.
#
# The Lua modules (lua/: memory.fast, memory.queue.fast and the require loaders): natively under
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

# `cmake --install --strip` keeps the debug information of each library in a
# file beside it (cmake/SplitDebug.cmake); LuaRocks cannot pass --strip and
# sets this instead.
option(LUAMODS_INSTALL_STRIP "strip the installed libraries as --strip does" OFF)
install(CODE "
  set(luamods_install_cmod \"${LUAMODS_INSTALL_CMOD}\")
  set(luamods_strip_always ${LUAMODS_INSTALL_STRIP})
  set(luamods_objcopy \"${CMAKE_OBJCOPY}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/SplitDebug.cmake\")")

# What Windows shows as each DLL's description in its version resource.
set(LUAMODS_DESCRIPTION_memory "Shared memory blocks and lock-free queues for LuaJIT (memory, memory.queue)")
set(LUAMODS_DESCRIPTION_threads "Lua states on new threads for LuaJIT (threads)")
set(LUAMODS_DESCRIPTION_crypto "Cryptography for LuaJIT on libsodium (crypto)")
set(LUAMODS_DESCRIPTION_win32 "Windows processes, pipes, jobs, environment, console and clipboard for LuaJIT (win32)")

# The libraries of this configuration (win32 only on Windows).
set(LUAMODS_LIBRARIES "")
foreach(target IN LISTS LUAMODS_SHIPPED_MODULES)
  if(NOT TARGET ${target})
    continue()
  endif()
  list(APPEND LUAMODS_LIBRARIES ${target})
  install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION ${LUAMODS_INSTALL_CMOD})
  install(CODE "luamods_install_strip($<TARGET_FILE_NAME:${target}>)")
  if(WIN32)
    # The version resource: file and product version, description, file name.
    get_target_property(LUAMODS_RC_NAME ${target} OUTPUT_NAME)
    set(LUAMODS_RC_FILE ${LUAMODS_RC_NAME}.dll)
    set(LUAMODS_RC_TYPE VFT_DLL)
    set(LUAMODS_RC_PRODUCT luamods)
    set(LUAMODS_RC_VERSION ${PROJECT_VERSION})
    set(LUAMODS_RC_NUMBERS
        "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
    set(LUAMODS_RC_COMMENTS "luamods ${PROJECT_VERSION} for Windows x64 (${LUAMODS_RELEASE_NAME}.zip)")
    set(LUAMODS_RC_DESCRIPTION "${LUAMODS_DESCRIPTION_${target}}")
    if(NOT LUAMODS_RC_DESCRIPTION)
      message(FATAL_ERROR "no LUAMODS_DESCRIPTION_${target} for the version resource of ${target}")
    endif()
    configure_file(${CMAKE_SOURCE_DIR}/packaging/version.rc.in
                   ${CMAKE_BINARY_DIR}/version/${LUAMODS_RC_NAME}.rc @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/version/${LUAMODS_RC_NAME}.rc)
  endif()
endforeach()

# The Lua modules: memory.fast, memory.queue.fast, and the loaders that let require find the
# libraries whose file names are not module names.
set(_luamods_lua "")
if(TARGET memory)
  install(FILES ${CMAKE_SOURCE_DIR}/lua/memory.lua DESTINATION ${LUAMODS_INSTALL_LMOD})
  install(FILES ${CMAKE_SOURCE_DIR}/lua/memory/fast.lua ${CMAKE_SOURCE_DIR}/lua/memory/queue.lua
          DESTINATION ${LUAMODS_INSTALL_LMOD}/memory)
  install(FILES ${CMAKE_SOURCE_DIR}/lua/memory/queue/fast.lua
          DESTINATION ${LUAMODS_INSTALL_LMOD}/memory/queue)
  list(APPEND _luamods_lua ${CMAKE_SOURCE_DIR}/lua/memory.lua
       ${CMAKE_SOURCE_DIR}/lua/memory/fast.lua ${CMAKE_SOURCE_DIR}/lua/memory/queue.lua
       ${CMAKE_SOURCE_DIR}/lua/memory/queue/fast.lua)
endif()
if(TARGET win32)
  install(FILES ${CMAKE_SOURCE_DIR}/lua/win32.lua DESTINATION ${LUAMODS_INSTALL_LMOD})
  list(APPEND _luamods_lua ${CMAKE_SOURCE_DIR}/lua/win32.lua)
endif()

file(GLOB _luamods_docs CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/docs/*.md ${CMAKE_SOURCE_DIR}/docs/*.svg)
file(GLOB _luamods_examples CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/examples/docs/*.lua)
file(GLOB _luamods_types CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/types/*.lua)
set(_luamods_licenses ${CMAKE_SOURCE_DIR}/packaging/licenses/LuaJIT.txt)
if(TARGET crypto)
  list(APPEND _luamods_licenses ${CMAKE_SOURCE_DIR}/packaging/licenses/libsodium.txt
                                 ${CMAKE_SOURCE_DIR}/packaging/licenses/openssl.txt)
endif()
if(TARGET memory)
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

# The Windows release archives, made by packaging/make_release.py from a
# stripping install into a staging folder: <name>.zip (the DLLs stripped, the
# docs), <name>-debug.zip (the debug information of each DLL, to unpack over
# the first), <name>-runtime.zip (luajit.exe and lua51.dll built from Debian's
# LuaJIT source, cmake/Runtime.cmake, to unpack over the first) and
# SHA256SUMS.  Part of every Windows build, so the test of their contents
# always has them; the target `release` builds them and nothing they do not
# need (the libraries, the runtime): no host, tests or benchmarks.  The DLLs
# of the build itself keep their symbols for the tests and the debugger.
if(WIN32)
  find_program(LUAMODS_PYTHON3 python3 REQUIRED)
  set(_release ${CMAKE_BINARY_DIR}/release)
  set(_make_release ${CMAKE_SOURCE_DIR}/packaging/make_release.py)
  # The date of every archive entry, from the last commit; rewritten only
  # when it changes, so the archives are remade then and only then.
  add_custom_target(release_source_date
    COMMAND ${LUAMODS_PYTHON3} ${_make_release} source-date ${CMAKE_SOURCE_DIR}
            ${_release}/source-date
    BYPRODUCTS ${_release}/source-date
    VERBATIM)
  set(_archives ${_release}/${LUAMODS_RELEASE_NAME}.zip ${_release}/${LUAMODS_RELEASE_NAME}-debug.zip
                ${_release}/${LUAMODS_RELEASE_NAME}-runtime.zip)
  add_custom_command(
    OUTPUT ${_archives} ${_release}/SHA256SUMS
    COMMAND ${LUAMODS_PYTHON3} ${_make_release} archives ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR}
            ${_release} ${LUAMODS_RELEASE_NAME} ${_release}/source-date ${LUAMODS_RUNTIME_STAGE}
    DEPENDS ${LUAMODS_LIBRARIES} ${_luamods_lua} ${_luamods_docs} ${_luamods_examples} ${_luamods_types}
            ${_luamods_licenses} ${CMAKE_SOURCE_DIR}/packaging/LOADING.txt ${LUAMODS_RUNTIME_FILES}
            ${_make_release} ${CMAKE_CURRENT_LIST_DIR}/SplitDebug.cmake ${_release}/source-date
    COMMENT "Making ${LUAMODS_RELEASE_NAME}.zip, -debug.zip, -runtime.zip, SHA256SUMS"
    VERBATIM)
  add_custom_target(release_zip ALL DEPENDS ${_archives})
  add_dependencies(release_zip release_source_date)
  add_custom_target(release DEPENDS release_zip)
endif()
