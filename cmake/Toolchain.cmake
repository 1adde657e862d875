# Compiler settings shared by every target of the tree.  C and C++ only: the
# Windows build also compiles version resources, and windres takes none of them.
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-Wall;-Wextra;-Wno-unused-parameter>")

if(LUAMODS_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -g -O1)
  add_link_options(-fsanitize=thread)
elseif(LUAMODS_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer -g -O1)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  # The DLLs and programs may import only lua51.dll and system DLLs: the C++
  # runtime, libgcc and winpthreads are linked in.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 UNICODE _UNICODE)
  # The release archive is made from this build and must come out the same
  # from any checkout and build folder: no link time in the PE headers, and
  # the debug information names sources by their path in the tree and the
  # Windows dependencies by their name, wherever the cache holds them.  GCC
  # tries the last map first: the build folder, which may lie inside the
  # source tree, comes last.  No trailing slashes: the build folder itself is
  # the compilation directory of every file.
  add_link_options(-Wl,--no-insert-timestamp)
  set(_luamods_prefix_maps "${CMAKE_SOURCE_DIR}=luamods-${PROJECT_VERSION}")
  if(LUAJIT_WIN_DIR)
    list(APPEND _luamods_prefix_maps "${LUAJIT_WIN_DIR}=luajit")
  endif()
  if(SODIUM_WIN_DIR)
    list(APPEND _luamods_prefix_maps "${SODIUM_WIN_DIR}=libsodium")
  endif()
  if(OPENSSL_WIN_DIR)
    list(APPEND _luamods_prefix_maps "${OPENSSL_WIN_DIR}=openssl")
  endif()
  list(APPEND _luamods_prefix_maps "${CMAKE_BINARY_DIR}=luamods-${PROJECT_VERSION}/build")
  foreach(map IN LISTS _luamods_prefix_maps)
    add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${map}>")
  endforeach()
endif()
