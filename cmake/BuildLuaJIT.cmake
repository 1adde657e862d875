# Builds the LuaJIT of the Windows runtime archive (cmake/Runtime.cmake) from
# Debian's source package, run at build time with -P:
#   -DSOURCE=<unpacked source> -DWORK=<build folder> -DOUT=<staging folder>
#   -DCROSS=<mingw prefix> -DWINDRES=<windres> -DMAKE=<make> -DJOBS=<n>
#   -DDLL_RC=<lua51.dll's .rc> -DEXE_RC=<luajit.exe's .rc> -DNOTICE=<header of the licence file>
# The same recipe as scripts/deps.sh's build (Debian's source and patches,
# BUILDMODE=dynamic), plus what a shipped file needs: a version resource
# linked into each file, no link time in the PE headers, and no debug
# information (the Debian patch turns -g on; without it LuaJIT's Makefile
# strips both files), so that the bytes depend on the source alone and not on
# the folder or the time of the build.  The files are stripped without a
# debug file: a crash inside LuaJIT is not symbolized from this archive.
foreach(var SOURCE WORK OUT CROSS WINDRES MAKE JOBS DLL_RC EXE_RC NOTICE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "BuildLuaJIT.cmake: ${var} is not set")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " line)
    message(FATAL_ERROR "failed (${rc}): ${line}\n${out}")
  endif()
endfunction()

# LuaJIT's Makefile builds in its source folder: a fresh copy of what it reads.
file(REMOVE_RECURSE "${WORK}" "${OUT}")
file(MAKE_DIRECTORY "${WORK}")
file(COPY "${SOURCE}/src" "${SOURCE}/dynasm" "${SOURCE}/COPYRIGHT" DESTINATION "${WORK}")
run(${WINDRES} -i "${DLL_RC}" -o "${WORK}/src/lua51_version.o")
run(${WINDRES} -i "${EXE_RC}" -o "${WORK}/src/luajit_version.o")
# TARGET_SHLDFLAGS reaches only the link of lua51.dll, TARGET_LDFLAGS only
# that of luajit.exe.  The Makefile strips both after the link, and strip
# writes the current time into a PE header unless SOURCE_DATE_EPOCH says
# otherwise: 0, as the link left it.
run(${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${MAKE} -C "${WORK}/src" -j${JOBS} HOST_CC=gcc CROSS=${CROSS} TARGET_SYS=Windows
    BUILDMODE=dynamic CCDEBUG=
    "TARGET_SHLDFLAGS=${WORK}/src/lua51_version.o -Wl,--no-insert-timestamp"
    "TARGET_LDFLAGS=${WORK}/src/luajit_version.o -Wl,--no-insert-timestamp")

# The staging folder, laid out like the release zip so that the runtime
# unpacks over it: the programs beside the module DLLs in bin/, LuaJIT's own
# Lua modules (jit.*, for -jv, -jdump, -b) in bin/lua/jit/, the notice.
file(MAKE_DIRECTORY "${OUT}/bin/lua/jit" "${OUT}/licenses")
file(COPY "${WORK}/src/luajit.exe" "${WORK}/src/lua51.dll" DESTINATION "${OUT}/bin")
file(GLOB jit_modules "${WORK}/src/jit/*.lua")
file(COPY ${jit_modules} DESTINATION "${OUT}/bin/lua/jit")
file(READ "${NOTICE}" header)
file(READ "${WORK}/COPYRIGHT" copyright)
file(WRITE "${OUT}/licenses/LuaJIT-runtime.txt" "${header}\n${copyright}")
