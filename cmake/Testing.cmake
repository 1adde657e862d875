# Lua tests run on the project's host program (host/), which the cross build
# runs under Wine through CMAKE_CROSSCOMPILING_EMULATOR.  Test names carry the
# build's prefix ("native.", "windows.", ...) so that one ctest over all builds
# reports every target.
set(LUAMODS_LUA_ENV
  "LUAMODS_BIN=${CMAKE_BINARY_DIR}/bin"
  "LUAMODS_SUFFIX=${LUAMODS_MODULE_SUFFIX}"
  "LUA_PATH=${CMAKE_SOURCE_DIR}/tests/lua/?.lua;${CMAKE_SOURCE_DIR}/bench/?.lua;;"
  "LUA_CPATH=${CMAKE_BINARY_DIR}/bin/?${LUAMODS_MODULE_SUFFIX};;")
# Sanitizer allocators abort on a request they cannot serve; the modules
# report such failures, so let malloc return null as the real one does.
if(LUAMODS_SANITIZER)
  list(APPEND LUAMODS_LUA_ENV
    "ASAN_OPTIONS=allocator_may_return_null=1" "TSAN_OPTIONS=allocator_may_return_null=1")
endif()

# luamods_add_lua_test(<name> <script> [TIMEOUT s] [ARGS ...] [LABELS ...])
function(luamods_add_lua_test name script)
  cmake_parse_arguments(T "" "TIMEOUT" "ARGS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_test(NAME ${LUAMODS_TEST_PREFIX}.${name}
           COMMAND luamods_host ${CMAKE_CURRENT_SOURCE_DIR}/${script} ${T_ARGS})
  set_tests_properties(${LUAMODS_TEST_PREFIX}.${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${LUAMODS_LUA_ENV}"
    LABELS "${LUAMODS_TEST_PREFIX};${T_LABELS}")
endfunction()

# luamods_add_cxx_test(<name> <target> [TIMEOUT s])
function(luamods_add_cxx_test name target)
  cmake_parse_arguments(T "" "TIMEOUT" "" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_test(NAME ${LUAMODS_TEST_PREFIX}.${name} COMMAND ${target})
  set_tests_properties(${LUAMODS_TEST_PREFIX}.${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${LUAMODS_LUA_ENV}" LABELS "${LUAMODS_TEST_PREFIX}")
endfunction()
