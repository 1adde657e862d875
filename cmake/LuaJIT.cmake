# LuaJIT: Debian's natively; for Windows the cross-built lua51.dll whose folder
# the scripts pass as LUAJIT_WIN_DIR (bin/, lib/, include/luajit-2.1/).
if(WIN32)
  set(LUAJIT_WIN_DIR "" CACHE PATH "Windows LuaJIT built by scripts/deps.sh")
  if(NOT EXISTS "${LUAJIT_WIN_DIR}/lib/libluajit-5.1.dll.a")
    message(FATAL_ERROR "LUAJIT_WIN_DIR does not hold a Windows LuaJIT: '${LUAJIT_WIN_DIR}'")
  endif()
  add_library(luajit::lua SHARED IMPORTED GLOBAL)
  set_target_properties(luajit::lua PROPERTIES
    IMPORTED_IMPLIB "${LUAJIT_WIN_DIR}/lib/libluajit-5.1.dll.a"
    IMPORTED_LOCATION "${LUAJIT_WIN_DIR}/bin/lua51.dll"
    INTERFACE_INCLUDE_DIRECTORIES "${LUAJIT_WIN_DIR}/include/luajit-2.1")
  # Programs run under Wine find lua51.dll beside them.
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  file(COPY "${LUAJIT_WIN_DIR}/bin/lua51.dll" DESTINATION ${CMAKE_BINARY_DIR}/bin)
  # The stock interpreter, for the tests that run without the project's host.
  file(COPY "${LUAJIT_WIN_DIR}/bin/luajit.exe" DESTINATION ${CMAKE_BINARY_DIR}/bin)
  file(COPY "${LUAJIT_WIN_DIR}/bin/lua" DESTINATION ${CMAKE_BINARY_DIR}/bin)
  set(LUAMODS_MODULE_SUFFIX ".dll")
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LUAJIT REQUIRED IMPORTED_TARGET luajit)
  add_library(luajit::lua ALIAS PkgConfig::LUAJIT)
  set(LUAMODS_MODULE_SUFFIX ".so")
endif()
