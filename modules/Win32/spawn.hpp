// spawn in three parts, and what passes between them:
//
//   spawn_request.cpp  the request table, read and checked into a plain
//                      SpawnRequest (every argument error of spawn is raised
//                      there; l_spawn raises the cwd that does not convert,
//                      once the launch has released everything)
//   spawn_stdio.cpp    the child's standard streams: pipes, the null device,
//                      append files, and the list of handles it inherits
//   spawn.cpp          creating the child, handing it to its jobs, resuming
//                      it, and l_spawn itself
#pragma once

#include <windows.h>
#include <lua.hpp>

#include <cstddef>
#include <type_traits>
#include <vector>

#include "Win32/handles.hpp"
#include "Win32/text.hpp"

namespace luamods::win32 {

enum class StdioKind { null_device = 0, pipe = 1, append_file = 2 };

// A stream field, read; the path bytes stay on the Lua stack.
struct StdioRequest {
    StdioKind kind = StdioKind::null_device;
    const char* path = nullptr;
    std::size_t path_length = 0;
};

// The request table, read.  Every string and table it points into is held on
// the Lua stack for the rest of the call.
struct SpawnRequest {
    const char* command_line = nullptr;
    std::size_t command_line_length = 0;
    const char* cwd = nullptr;
    std::size_t cwd_length = 0;
    int env_index = 0;  // stack index of the checked env entries, 0 if none
    std::size_t env_length = 0;
    bool env_retry = false;
    bool no_window = false;
    bool new_group = false;
    bool breakaway = false;
    int jobs_index = 0;  // stack index of the checked job handles, 0 if none
    std::size_t jobs_length = 0;
    StdioRequest in, out, err;
    bool err_shares_out = false;
};

static_assert(std::is_trivially_destructible_v<SpawnRequest>,
              "what lives across a Lua error must be plain");

// spawn_request.cpp

// Reads and checks the request table at index 1, leaving what it points into
// on the stack.  Raises on misuse; creates nothing.
SpawnRequest read_request(lua_State* L);

// The checked env entries as an environment block (empty when the request
// has none) and the checked job handles.  Neither calls anything that can
// raise; both may throw std::bad_alloc.
WideString request_env_block(lua_State* L, const SpawnRequest& request);
std::vector<HANDLE> request_jobs(lua_State* L, const SpawnRequest& request);

// spawn_stdio.cpp

// One of the child's streams: the end the child gets, and the end handed to
// the script (a pipe's other end) if there is one.
struct StdioEnds {
    HANDLE child_end = nullptr;
    HANDLE parent_end = nullptr;
    bool has_parent_end = false;
    bool shared_with_stdout = false;
};

struct ChildStdio {
    StdioEnds in, out, err;
    // The distinct child ends.  The attribute list points into this array
    // until the child is created, so it lives as long as the list.
    HANDLE inherited[3] = {};
    std::size_t inherited_count = 0;
};

// Opens the three streams the request names.  False (with code) on failure;
// whatever was created is on the close list either way.
bool open_child_stdio(const SpawnRequest& request, CloseList& closes, ChildStdio& stdio,
                      DWORD& code);

// Builds the attribute list that lets the child inherit its own stream ends
// and nothing else; the list then points into stdio.  False (with code) on
// failure.
bool inherit_only_stdio(ChildStdio& stdio, AttributeList& attributes, DWORD& code);

}  // namespace luamods::win32
