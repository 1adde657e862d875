# The Windows runtime archive's LuaJIT: luajit.exe and lua51.dll built from
# Debian's LuaJIT source package (the source scripts/deps.sh builds the
# Windows LuaJIT of the build from), with version resources and without link
# time or debug information (cmake/BuildLuaJIT.cmake), staged in
# runtime/stage/ of the build for packaging/make_release.py.  Sets
# LUAMODS_RUNTIME_STAGE and LUAMODS_RUNTIME_FILES.
#
# scripts/deps.sh keeps the unpacked source in <cache>/src/<name>/unpacked and
# the build of it in <cache>/win/<name>: the default is found from the latter.
get_filename_component(_luajit_name "${LUAJIT_WIN_DIR}" NAME)
get_filename_component(_luajit_cache "${LUAJIT_WIN_DIR}/../.." ABSOLUTE)
set(LUAJIT_WIN_SOURCE "${_luajit_cache}/src/${_luajit_name}/unpacked" CACHE PATH
    "Debian's LuaJIT source (unpacked), for the runtime archive")
if(NOT EXISTS "${LUAJIT_WIN_SOURCE}/src/luajit.h" OR NOT EXISTS "${LUAJIT_WIN_SOURCE}/debian/changelog")
  message(FATAL_ERROR "LUAJIT_WIN_SOURCE does not hold Debian's LuaJIT source package "
                      "(scripts/deps.sh fetches it): '${LUAJIT_WIN_SOURCE}'")
endif()

# LuaJIT's version ("2.1.0-beta3", numbers 2,1,0) and the Debian package's.
file(STRINGS "${LUAJIT_WIN_SOURCE}/src/luajit.h" _line REGEX "^#define LUAJIT_VERSION[ \t]+\"")
string(REGEX REPLACE ".*\"LuaJIT ([^\"]+)\".*" "\\1" LUAMODS_LUAJIT_VERSION "${_line}")
set(_numbers "")
foreach(part MAJVER MINVER RELVER)
  file(STRINGS "${LUAJIT_WIN_SOURCE}/src/Makefile" _line REGEX "^${part}=")
  string(REGEX REPLACE "^${part}=[ \t]*([0-9]+).*" "\\1" _line "${_line}")
  list(APPEND _numbers ${_line})
endforeach()
list(JOIN _numbers "," _numbers)
file(STRINGS "${LUAJIT_WIN_SOURCE}/debian/changelog" _line LIMIT_COUNT 1)
string(REGEX REPLACE "^[^ ]+ \\(([^)]+)\\).*" "\\1" LUAMODS_LUAJIT_DEBIAN_VERSION "${_line}")

set(_runtime ${CMAKE_BINARY_DIR}/runtime)
set(LUAMODS_RC_NUMBERS "${_numbers},0")
set(LUAMODS_RC_VERSION ${LUAMODS_LUAJIT_VERSION})
set(LUAMODS_RC_PRODUCT LuaJIT)
set(LUAMODS_RC_COMMENTS "Built from Debian's luajit ${LUAMODS_LUAJIT_DEBIAN_VERSION} source package for luamods ${PROJECT_VERSION} (${LUAMODS_RELEASE_NAME}-runtime.zip)")
foreach(file lua51.dll luajit.exe)
  set(LUAMODS_RC_FILE ${file})
  get_filename_component(LUAMODS_RC_NAME ${file} NAME_WE)
  if(file STREQUAL "lua51.dll")
    set(LUAMODS_RC_TYPE VFT_DLL)
    set(LUAMODS_RC_DESCRIPTION "LuaJIT ${LUAMODS_LUAJIT_VERSION} runtime (Lua 5.1 C API)")
  else()
    set(LUAMODS_RC_TYPE VFT_APP)
    set(LUAMODS_RC_DESCRIPTION "LuaJIT ${LUAMODS_LUAJIT_VERSION} interpreter")
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/packaging/version.rc.in ${_runtime}/${LUAMODS_RC_NAME}.rc @ONLY)
endforeach()

find_program(LUAMODS_MAKE make REQUIRED)
# The prefix of the mingw-w64 tools, as LuaJIT's Makefile takes it (CROSS=).
string(REGEX REPLACE "gcc(-posix|-win32)?$" "" _cross "${CMAKE_C_COMPILER}")
get_filename_component(_cross "${_cross}" NAME)

set(LUAMODS_RUNTIME_STAGE ${_runtime}/stage)
set(LUAMODS_RUNTIME_FILES ${LUAMODS_RUNTIME_STAGE}/bin/luajit.exe ${LUAMODS_RUNTIME_STAGE}/bin/lua51.dll)
add_custom_command(
  OUTPUT ${LUAMODS_RUNTIME_FILES}
  COMMAND ${CMAKE_COMMAND} -DSOURCE=${LUAJIT_WIN_SOURCE} -DWORK=${_runtime}/luajit
          -DOUT=${LUAMODS_RUNTIME_STAGE} -DCROSS=${_cross} -DWINDRES=${CMAKE_RC_COMPILER}
          -DMAKE=${LUAMODS_MAKE} -DJOBS=2 -DDLL_RC=${_runtime}/lua51.rc -DEXE_RC=${_runtime}/luajit.rc
          -DNOTICE=${CMAKE_SOURCE_DIR}/packaging/licenses/LuaJIT-runtime.txt
          -P ${CMAKE_CURRENT_LIST_DIR}/BuildLuaJIT.cmake
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/BuildLuaJIT.cmake ${_runtime}/lua51.rc ${_runtime}/luajit.rc
          ${CMAKE_SOURCE_DIR}/packaging/licenses/LuaJIT-runtime.txt
          ${LUAJIT_WIN_SOURCE}/src/Makefile ${LUAJIT_WIN_SOURCE}/debian/changelog
  COMMENT "Building luajit.exe and lua51.dll of the runtime archive from Debian's LuaJIT ${LUAMODS_LUAJIT_DEBIAN_VERSION}"
  VERBATIM)
