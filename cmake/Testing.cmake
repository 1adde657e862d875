# Lua tests run on the project's host program (host/), which the cross build
# runs under Wine through CMAKE_CROSSCOMPILING_EMULATOR.  Test names carry the
# build's prefix ("native.", "windows.", ...) so that one ctest over all builds
# reports every target.
set(LUAMODS_LUA_ENV
  "LUAMODS_BIN=${CMAKE_BINARY_DIR}/bin"
  "LUAMODS_SUFFIX=${LUAMODS_MODULE_SUFFIX}"
  "LUAMODS_VERSION=${PROJECT_VERSION}"
  "LUA_PATH=${CMAKE_SOURCE_DIR}/tests/lua/?.lua\\;${CMAKE_SOURCE_DIR}/bench/?.lua\\;${CMAKE_SOURCE_DIR}/lua/?.lua\\;\\;"
  "LUA_CPATH=${CMAKE_BINARY_DIR}/bin/?${LUAMODS_MODULE_SUFFIX}\\;\\;")
if(LUAMODS_SANITIZER)
  list(APPEND LUAMODS_LUA_ENV "LUAMODS_SANITIZER=${LUAMODS_SANITIZER}"
    # Tests ask for impossible sizes on purpose: malloc must return null.
    "ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1"
    "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1")
endif()

# A Lua script run by `runner` with the environment `env`, as a test named
# after the build: [TIMEOUT s] [ARGS ...] [LABELS ...] [ENV var=value ...].
# The timeout only ends a test that hangs: it is far above what a test takes
# on a loaded machine, and above the tests' own patience for an event they
# wait for (T.PATIENCE in tests/lua/testlib.lua, 120 s).
function(_luamods_add_script_test runner env name script)
  cmake_parse_arguments(T "" "TIMEOUT" "ARGS;LABELS;ENV" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${LUAMODS_TEST_PREFIX}.${name}
           COMMAND ${runner} ${CMAKE_CURRENT_SOURCE_DIR}/${script} ${T_ARGS})
  set_tests_properties(${LUAMODS_TEST_PREFIX}.${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env};${T_ENV}"
    LABELS "${LUAMODS_TEST_PREFIX};${T_LABELS}")
endfunction()

# luamods_add_lua_test(<name> <script> [TIMEOUT s] [ARGS ...] [LABELS ...] [ENV var=value ...])
function(luamods_add_lua_test name script)
  _luamods_add_script_test(luamods_host "${LUAMODS_LUA_ENV}" ${name} ${script} ${ARGN})
endfunction()

# luamods_add_cxx_test(<name> <target> [TIMEOUT s])
function(luamods_add_cxx_test name target)
  cmake_parse_arguments(T "" "TIMEOUT" "" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${LUAMODS_TEST_PREFIX}.${name} COMMAND ${target})
  set_tests_properties(${LUAMODS_TEST_PREFIX}.${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${LUAMODS_LUA_ENV}" LABELS "${LUAMODS_TEST_PREFIX}")
endfunction()

# The stock interpreter, for tests that must pass without the project's host:
# Debian's luajit natively, the cross-built luajit.exe (copied beside
# lua51.dll in bin/) under the emulator for Windows.  Imported, so that the
# emulator is put in front of it.  A sanitizer build preloads its runtime,
# which must come before every instrumented library.
add_executable(luamods_luajit IMPORTED)
if(WIN32)
  set_target_properties(luamods_luajit PROPERTIES IMPORTED_LOCATION ${CMAKE_BINARY_DIR}/bin/luajit.exe)
else()
  find_program(LUAMODS_LUAJIT luajit REQUIRED)
  set_target_properties(luamods_luajit PROPERTIES IMPORTED_LOCATION ${LUAMODS_LUAJIT})
endif()
set(LUAMODS_LUAJIT_ENV "${LUAMODS_LUA_ENV}")  # quoted: the entries keep their escaped semicolons
if(LUAMODS_SANITIZER)
  set(_runtime libasan.so)
  if(LUAMODS_SANITIZER STREQUAL "thread")
    set(_runtime libtsan.so)
  endif()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_runtime}
                  OUTPUT_VARIABLE _runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(LUAMODS_SANITIZER STREQUAL "address")
    # luajit unloads the libraries in lua_close, and LeakSanitizer (gcc 12)
    # then crashes in its exit scan on the dynamic TLS that Quandel's queue
    # left (moodycamel's thread id; "DTLS at 0x37-0x400001139", seen): Quandel
    # is preloaded, so it stays loaded, as the test host keeps it.  The
    # script still opens it through require and package.cpath.
    string(APPEND _runtime ":${CMAKE_BINARY_DIR}/bin/${LUAMODS_FILE_NAME_memory}${LUAMODS_MODULE_SUFFIX}")
  endif()
  list(APPEND LUAMODS_LUAJIT_ENV "LD_PRELOAD=${_runtime}")
  # These scripts move items through memory.queue between states: the queue
  # test's suppressions (moodycamel's own functions only).
  if(LUAMODS_SANITIZER STREQUAL "thread")
    # Replaced as text: list(FILTER) would drop the escapes of LUA_PATH.
    string(REGEX REPLACE "TSAN_OPTIONS=[^;]*" "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:\
allocator_may_return_null=1:suppressions=${CMAKE_SOURCE_DIR}/tests/queue/tsan.supp"
           LUAMODS_LUAJIT_ENV "${LUAMODS_LUAJIT_ENV}")
  endif()
endif()

# luamods_add_luajit_test(<name> <script> [TIMEOUT s] [ARGS ...]): the script
# run by the stock interpreter, with the environment of the host's tests.
function(luamods_add_luajit_test name script)
  _luamods_add_script_test(luamods_luajit "${LUAMODS_LUAJIT_ENV}" ${name} ${script} ${ARGN})
endfunction()
