# The version of the tree is the one in project() (CMakeLists.txt).  The
# modules read it from a generated header, the release archive and the
# version resources from PROJECT_VERSION.  The rockspec cannot be generated
# (LuaRocks reads it before CMake runs), so its copy is checked here instead:
# its file name and its version field must carry the project version, and the
# editor definitions must show the _VERSION the module reports.
# The Windows release archives (cmake/Install.cmake) are named after it.
set(LUAMODS_RELEASE_NAME luamods-${PROJECT_VERSION}-win64)

set(LUAMODS_GENERATED_INCLUDE ${CMAKE_BINARY_DIR}/include)
configure_file(${CMAKE_CURRENT_LIST_DIR}/luamods_version.hpp.in
               ${LUAMODS_GENERATED_INCLUDE}/luamods_version.hpp @ONLY)

file(GLOB _luamods_rockspecs RELATIVE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/*.rockspec)
foreach(rockspec IN LISTS _luamods_rockspecs)
  file(STRINGS ${CMAKE_SOURCE_DIR}/${rockspec} _version REGEX "^version *=")
  string(REGEX REPLACE "^version *= *\"([^\"]*)\".*" "\\1" _version "${_version}")
  if(NOT rockspec MATCHES "^luamods-${PROJECT_VERSION}-[0-9]+\\.rockspec$"
     OR NOT _version MATCHES "^${PROJECT_VERSION}-[0-9]+$"
     OR NOT rockspec STREQUAL "luamods-${_version}.rockspec")
    message(FATAL_ERROR "${rockspec} (version \"${_version}\") does not carry the project "
                        "version ${PROJECT_VERSION} (CMakeLists.txt): its file name must be "
                        "luamods-${PROJECT_VERSION}-N.rockspec and its version field "
                        "\"${PROJECT_VERSION}-N\", with the same N")
  endif()
endforeach()
file(STRINGS ${CMAKE_SOURCE_DIR}/types/crypto.lua _version REGEX "^crypto\\._VERSION *=")
if(NOT _version STREQUAL "crypto._VERSION = \"${PROJECT_VERSION}\"")
  message(FATAL_ERROR "types/crypto.lua: '${_version}' does not match the project version "
                      "${PROJECT_VERSION} (CMakeLists.txt)")
endif()
