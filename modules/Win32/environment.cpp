// The process environment (with the C runtime's copy), the command line, the
// executable's path and directories.

#include "Win32/environment.hpp"

#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "Win32/frame.hpp"
#include "Win32/functions.hpp"
#include "Win32/messages.hpp"
#include "Win32/sys.hpp"
#include "Win32/text.hpp"

namespace luamods::win32 {
namespace {

INIT_ONCE g_crt_once = INIT_ONCE_STATIC_INIT;
CrtPutenv g_crt_putenv = nullptr;

BOOL CALLBACK bind_crt_putenv(PINIT_ONCE, PVOID, PVOID*)
{
    HMODULE crt = sys::system_library(L"ucrtbase.dll");
    if (crt)
        g_crt_putenv =
            reinterpret_cast<CrtPutenv>(reinterpret_cast<void*>(GetProcAddress(crt, "_wputenv_s")));
    return TRUE;
}

enum class Lookup { not_set, value, failure };

// One variable's value, as the reply; retried while it keeps growing between the
// size query and the copy.  The last error is cleared before each call:
// a successful call leaves it alone, and a stale code would turn an empty
// value into a failure.
Lookup lookup_variable(const WideString& name, Reply& reply, DWORD& code)
{
    const auto judge = [&code, &reply](DWORD error) {
        if (error == ERROR_ENVVAR_NOT_FOUND || error == ERROR_FILE_NOT_FOUND)
            return Lookup::not_set;
        if (error == 0) {
            reply.push_bytes("", 0);  // set to the empty value
            return Lookup::value;
        }
        code = error;
        return Lookup::failure;
    };
    for (int attempt = 0; attempt < 4; ++attempt) {
        SetLastError(0);
        const DWORD size = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
        if (size == 0)
            return judge(GetLastError());
        std::wstring buffer(static_cast<std::size_t>(size) + 1, L'\0');
        SetLastError(0);
        const DWORD copied = GetEnvironmentVariableW(name.c_str(), buffer.data(), size + 1);
        if (copied == 0)
            return judge(GetLastError());
        if (copied > size)
            continue;  // grew in between
        const std::string value = wide_to_utf8(buffer.data(), copied);
        reply.push_bytes(value.data(), value.size());
        return Lookup::value;
    }
    code = ERROR_INSUFFICIENT_BUFFER;
    return Lookup::failure;
}

}  // namespace

CrtPutenv crt_putenv() noexcept
{
    InitOnceExecuteOnce(&g_crt_once, bind_crt_putenv, nullptr, nullptr);
    return g_crt_putenv;
}

namespace {

// The environment block's entries, converted at once: the zero units between
// the entries come out as zero bytes that separate them.
struct Entries {
    std::string all;
    std::size_t count = 0;
};

void push_entries(lua_State* L, const void* data)
{
    const auto& e = *static_cast<const Entries*>(data);
    lua_createtable(L, static_cast<int>(e.count), 0);
    std::size_t pos = 0;
    for (std::size_t i = 1; i <= e.count; ++i) {
        std::size_t stop = e.all.find('\0', pos);
        if (stop == std::string::npos)
            stop = e.all.size();
        lua_pushlstring(L, e.all.data() + pos, stop - pos);
        lua_rawseti(L, -2, static_cast<int>(i));
        pos = stop + 1 < e.all.size() ? stop + 1 : e.all.size();
    }
}

// The shape of getenv and is_directory: one name argument (check_name_arg),
// given to work(reply, wide) in UTF-16.  A name whose conversion comes out
// empty (the system's conversion failed) is refused as the empty name is.
template <class Work>
int respond_with_name(lua_State* L, const char* empty, const char* function, const char* what,
                      Work work)
{
    std::size_t length = 0;
    const char* name = check_name_arg(L, 1, length, empty, function, what);
    return respond(L, kWin32, [&](Reply& reply) {
        const WideString wide = utf8_to_wide(name, length);
        if (wide.empty())
            return reply.raise("%s", empty);
        work(reply, wide);
    });
}

}  // namespace

int l_environ(lua_State* L)
{
    return respond(L, kWin32, [&](Reply& reply) {
        wchar_t* block = GetEnvironmentStringsW();
        if (!block)
            return fail_with_windows_error(reply, GetLastError());
        Entries entries;
        const wchar_t* end = block;
        for (; *end; end += std::wcslen(end) + 1)
            ++entries.count;
        try {
            entries.all = wide_to_utf8(block, end - block);
        } catch (...) {
            FreeEnvironmentStringsW(block);
            throw;
        }
        FreeEnvironmentStringsW(block);
        reply.push_with(&push_entries, &entries);
    });
}

int l_getenv(lua_State* L)
{
    const auto lookup = [](Reply& reply, const WideString& wide_name) {
        DWORD code = 0;
        switch (lookup_variable(wide_name, reply, code)) {
        case Lookup::not_set: reply.push_nil(); break;
        case Lookup::failure: fail_with_windows_error(reply, code); break;
        case Lookup::value: break;
        }
    };
    return respond_with_name(L, kGetenvName, "getenv", "name", lookup);
}

int l_setenv(lua_State* L)
{
    std::size_t name_length = 0;
    const char* name = check_name_arg(L, 1, name_length, kSetenvName, "setenv", "name");
    const bool remove = !is_present(L, 2);
    std::size_t value_length = 0;
    const char* value = remove ? nullptr : luaL_checklstring(L, 2, &value_length);
    if (!remove)
        check_no_zero_byte(L, "setenv", "value", value, value_length);
    return respond(L, kWin32, [&](Reply& reply) {
        const WideString wide_name = utf8_to_wide(name, name_length);
        if (wide_name.empty())
            return reply.raise("%s", kSetenvName);
        const WideString wide_value = remove ? WideString() : utf8_to_wide(value, value_length);
        const CrtPutenv putenv = crt_putenv();
        bool system_ok = false;
        bool crt_ok = false;
        DWORD code = 0;
        // The runtime writes the process environment too, and for it the
        // empty value means "remove".  So a value goes to the runtime first
        // and to the process last, which leaves exactly what was asked for
        // there, an empty value included; a removal goes to the process
        // first, while the variable still exists (removing a missing
        // variable fails on Windows), then to the runtime's copy.
        auto set_system = [&] {
            system_ok = SetEnvironmentVariableW(wide_name.c_str(),
                                                remove ? nullptr : wide_value.c_str()) != 0;
            if (!system_ok)
                code = GetLastError();
        };
        if (remove)
            set_system();
        if (putenv)
            crt_ok = putenv(wide_name.c_str(), remove ? L"" : wide_value.c_str()) == 0;
        if (!remove)
            set_system();
        reply.push_boolean(system_ok);
        reply.push_boolean(crt_ok);
        reply.push_integer(static_cast<lua_Integer>(code));
    });
}

int l_command_line(lua_State* L)
{
    std::size_t length = 0;
    const char* kind = luaL_checklstring(L, 1, &length);
    const bool wide = length == 1 && kind[0] == 'W';
    if (!wide && !(length == 1 && kind[0] == 'A'))
        return luaL_error(L, "%s", kCommandLineKind);
    return respond(L, kWin32, [&](Reply& reply) {
        if (!wide) {
            // The ANSI form as the system keeps it, no conversion.
            const char* line = GetCommandLineA();
            return reply.push_string(line ? line : "");
        }
        const wchar_t* line = GetCommandLineW();
        const std::string text =
            line ? wide_to_utf8(line, static_cast<std::ptrdiff_t>(std::wcslen(line)))
                 : std::string();
        reply.push_bytes(text.data(), text.size());
    });
}

int l_module_path(lua_State* L)
{
    return respond(L, kWin32, [&](Reply& reply) {
        // 260 units, doubled up to 33280 (8 attempts).
        std::vector<wchar_t> buffer(260);
        for (int attempt = 1;; ++attempt) {
            const auto size = static_cast<DWORD>(buffer.size());
            const DWORD n = sys::get_module_file_name(nullptr, buffer.data(), size);
            if (n == 0)
                return fail_with_windows_error(reply, GetLastError());
            if (n < size) {
                const std::string path = wide_to_utf8(buffer.data(), n);
                reply.push_bytes(path.data(), path.size());
                return;
            }
            if (attempt == 8)
                return fail_with_windows_error(reply, ERROR_INSUFFICIENT_BUFFER);
            buffer.assign(buffer.size() * 2, L'\0');
        }
    });
}

int l_is_directory(lua_State* L)
{
    const auto check = [](Reply& reply, const WideString& wide_path) {
        const DWORD attributes = GetFileAttributesW(wide_path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return fail_with_windows_error(reply, GetLastError());
        reply.push_boolean((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    };
    return respond_with_name(L, kDirectoryPath, "is_directory", "path", check);
}

}  // namespace luamods::win32
