// spawn's request: the table at argument 1 read and checked into a plain
// SpawnRequest before anything exists, so that every argument error of
// spawn is raised here (spawn.hpp names the one raised later), and later
// turned into the environment block and job list the launch needs.

#include <cstring>
#include <string_view>

#include "Win32/env_block.hpp"
#include "Win32/frame.hpp"
#include "Win32/messages.hpp"
#include "Win32/spawn.hpp"

namespace luamods::win32 {
namespace {

bool read_boolean_field(lua_State* L, const char* name)
{
    lua_getfield(L, 1, name);
    const bool value = lua_toboolean(L, -1) != 0;
    lua_pop(L, 1);
    return value;
}

// The stream value on the stack top (left there), into request.
void read_stream(lua_State* L, const char* field, bool is_stdin, StdioRequest& request)
{
    const int index = lua_gettop(L);
    switch (lua_type(L, index)) {
    case LUA_TNIL: request.kind = StdioKind::null_device; return;
    case LUA_TSTRING: {
        const char* text = lua_tostring(L, index);
        if (std::strcmp(text, "null") == 0) {
            request.kind = StdioKind::null_device;
            return;
        }
        if (std::strcmp(text, "pipe") == 0) {
            request.kind = StdioKind::pipe;
            return;
        }
        luaL_error(L, kSpawnStreamWord, field, is_stdin ? "" : kSpawnOrAppend, text);
        return;
    }
    case LUA_TTABLE: {
        lua_getfield(L, index, "append");  // stays on the stack: it holds the path
        std::size_t length = 0;
        const char* path = nullptr;
        if (lua_type(L, -1) == LUA_TSTRING)
            path = lua_tolstring(L, -1, &length);
        if (is_stdin)
            luaL_error(L, kSpawnStdinAppend, field);
        if (!path || length == 0)
            luaL_error(L, kSpawnAppendPath, field);
        if (has_zero_byte(path, length))
            luaL_error(L, kSpawnAppendZeroByte, field);
        request.kind = StdioKind::append_file;
        request.path = path;
        request.path_length = length;
        return;
    }
    default: luaL_error(L, kSpawnStreamType, field);
    }
}

void read_command_line(lua_State* L, SpawnRequest& request)
{
    lua_getfield(L, 1, "command_line");
    if (lua_type(L, -1) == LUA_TSTRING)
        request.command_line = lua_tolstring(L, -1, &request.command_line_length);
    if (!request.command_line || request.command_line_length == 0)
        luaL_error(L, "%s", kSpawnCommandLine);
    check_no_zero_byte(L, "spawn", "spec.command_line", request.command_line,
                       request.command_line_length);
}

void read_cwd(lua_State* L, SpawnRequest& request)
{
    lua_getfield(L, 1, "cwd");
    if (lua_type(L, -1) == LUA_TSTRING) {
        request.cwd = lua_tolstring(L, -1, &request.cwd_length);
        if (request.cwd_length == 0)
            luaL_error(L, "%s", kSpawnCwd);
        check_no_zero_byte(L, "spawn", "spec.cwd", request.cwd, request.cwd_length);
    }
}

// The string entries are checked and copied into a table of their own, for
// the same reason as the jobs below.  An entry with a zero byte is refused
// outright: skipping it could leave the block empty, and an empty block hands
// the child the caller's whole environment.
void read_env(lua_State* L, SpawnRequest& request)
{
    lua_getfield(L, 1, "env");
    if (lua_type(L, -1) != LUA_TTABLE)
        return;
    const int given = lua_gettop(L);
    const std::size_t length = lua_objlen(L, given);
    lua_createtable(L, static_cast<int>(length), 0);
    request.env_index = lua_gettop(L);
    for (std::size_t i = 1; i <= length; ++i) {
        lua_rawgeti(L, given, static_cast<int>(i));
        if (lua_type(L, -1) != LUA_TSTRING) {
            lua_pop(L, 1);
            continue;
        }
        std::size_t entry_length = 0;
        const char* entry = lua_tolstring(L, -1, &entry_length);
        if (has_zero_byte(entry, entry_length))
            luaL_error(L, kSpawnEnvZeroByte, static_cast<int>(i));
        lua_rawseti(L, request.env_index, static_cast<int>(++request.env_length));
    }
}

// The checked handles go into a table of their own: reading the stream fields
// afterwards may run the request table's __index, which must not be able to
// change the list after it was checked.
void read_jobs(lua_State* L, SpawnRequest& request)
{
    lua_getfield(L, 1, "jobs");
    if (lua_type(L, -1) != LUA_TTABLE)
        return;
    const int given = lua_gettop(L);
    request.jobs_length = lua_objlen(L, given);
    lua_createtable(L, static_cast<int>(request.jobs_length), 0);
    request.jobs_index = lua_gettop(L);
    for (std::size_t i = 1; i <= request.jobs_length; ++i) {
        lua_rawgeti(L, given, static_cast<int>(i));
        const HANDLE job = check_handle_arg(L, -1);
        lua_pop(L, 1);
        push_handle(L, job);
        lua_rawseti(L, request.jobs_index, static_cast<int>(i));
    }
}

// stderr is fetched first: "stdout" there means that it shares stdout's end
// and is not a stream of its own.
void read_streams(lua_State* L, SpawnRequest& request)
{
    lua_getfield(L, 1, "stderr");
    {
        std::size_t length = 0;
        const char* text = lua_type(L, -1) == LUA_TSTRING ? lua_tolstring(L, -1, &length) : nullptr;
        request.err_shares_out = text && length == 6 && std::memcmp(text, "stdout", 6) == 0;
    }
    const int stderr_index = lua_gettop(L);

    lua_getfield(L, 1, "stdin");
    read_stream(L, "stdin", true, request.in);
    lua_getfield(L, 1, "stdout");
    read_stream(L, "stdout", false, request.out);
    if (!request.err_shares_out) {
        lua_pushvalue(L, stderr_index);
        read_stream(L, "stderr", false, request.err);
    }
}

}  // namespace

SpawnRequest read_request(lua_State* L)
{
    SpawnRequest request;
    luaL_checktype(L, 1, LUA_TTABLE);
    lua_settop(L, 1);
    luaL_checkstack(L, 24, kSpawnStack);
    read_command_line(L, request);
    read_cwd(L, request);
    read_env(L, request);
    request.env_retry = read_boolean_field(L, "env_retry");
    request.no_window = read_boolean_field(L, "no_window");
    request.new_group = read_boolean_field(L, "new_group");
    request.breakaway = read_boolean_field(L, "breakaway");
    read_jobs(L, request);
    read_streams(L, request);
    return request;
}

WideString request_env_block(lua_State* L, const SpawnRequest& request)
{
    if (request.env_index == 0)
        return WideString();
    // The strings stay referenced by the env table on the stack; nothing runs
    // Lua code while the views are used.
    std::vector<std::string_view> entries;
    entries.reserve(request.env_length);
    for (std::size_t i = 1; i <= request.env_length; ++i) {
        lua_rawgeti(L, request.env_index, static_cast<int>(i));
        if (lua_type(L, -1) == LUA_TSTRING) {
            std::size_t length = 0;
            const char* text = lua_tolstring(L, -1, &length);
            entries.emplace_back(text, length);
        }
        lua_pop(L, 1);
    }
    return build_env_block(entries);
}

std::vector<HANDLE> request_jobs(lua_State* L, const SpawnRequest& request)
{
    std::vector<HANDLE> jobs;
    if (request.jobs_index == 0)
        return jobs;
    jobs.reserve(request.jobs_length);
    for (std::size_t i = 1; i <= request.jobs_length; ++i) {
        lua_rawgeti(L, request.jobs_index, static_cast<int>(i));
        jobs.push_back(to_handle(lua_tointeger(L, -1)));  // the checked copy
        lua_pop(L, 1);
    }
    return jobs;
}

}  // namespace luamods::win32
