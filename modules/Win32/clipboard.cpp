// The clipboard's Unicode text (CF_UNICODETEXT), through the user32 binding.
// The clipboard is open only inside one call and closed on every path.

#include <cstring>
#include <string>
#include <utility>

#include "Win32/frame.hpp"
#include "Win32/functions.hpp"
#include "Win32/messages.hpp"
#include "Win32/sys.hpp"
#include "Win32/text.hpp"
#include "Win32/user32.hpp"

namespace luamods::win32 {
namespace {

// Closes the clipboard when the call leaves the scope that opened it.
class OpenClipboardScope {
public:
    explicit OpenClipboardScope(const User32Bindings& user) : user_(user) {}
    OpenClipboardScope(const OpenClipboardScope&) = delete;
    OpenClipboardScope& operator=(const OpenClipboardScope&) = delete;
    ~OpenClipboardScope() { user_.close_clipboard(); }

private:
    const User32Bindings& user_;
};

enum class Outcome { ok, failure, unavailable };

// Runs work(user) with the clipboard open, and closes it on every path:
// unavailable where user32 offers no clipboard, a failure (with its code)
// where the clipboard cannot be opened, else what the work returns.
template <class Work>
Outcome with_open_clipboard(DWORD& code, Work&& work)
{
    const User32Bindings& user = user32();
    if (!user.clipboard_available)
        return Outcome::unavailable;
    if (!open_clipboard_retrying()) {
        code = GetLastError();
        return Outcome::failure;
    }
    OpenClipboardScope open(user);
    return work(user);
}

// Replies with the clipboard's text ("" when it holds none).
Outcome read_clipboard(Reply& reply, DWORD& code)
{
    return with_open_clipboard(code, [&](const User32Bindings& user) {
        // Cleared first: GetClipboardData may leave the code untouched when the
        // clipboard simply holds no text, and a stale code would be misreported.
        SetLastError(0);
        HANDLE data = sys::get_clipboard_data(user, CF_UNICODETEXT);
        if (!data) {
            code = GetLastError();
            if (code != 0)
                return Outcome::failure;
            reply.push_bytes("", 0);  // no text
            return Outcome::ok;
        }
        const auto* text = static_cast<const wchar_t*>(sys::global_lock(data));
        if (!text) {
            code = GetLastError();
            return Outcome::failure;
        }
        // Up to the first zero unit, but never past the block: another program
        // may have put text there without one.
        const SIZE_T units = GlobalSize(data) / sizeof(wchar_t);
        SIZE_T length = 0;
        while (length < units && text[length] != L'\0')
            ++length;
        std::string utf8;
        try {
            utf8 = wide_to_utf8(text, static_cast<std::ptrdiff_t>(length));
        } catch (...) {
            GlobalUnlock(data);
            throw;
        }
        GlobalUnlock(data);
        reply.push_bytes(utf8.data(), utf8.size());
        return Outcome::ok;
    });
}

Outcome write_clipboard(const char* bytes, std::size_t length, DWORD& code)
{
    const WideString text = utf8_to_wide(bytes, length);
    return with_open_clipboard(code, [&](const User32Bindings& user) {
        if (!sys::empty_clipboard(user)) {
            code = GetLastError();
            return Outcome::failure;
        }
        const SIZE_T size = (text.size() + 1) * sizeof(wchar_t);
        HGLOBAL block = sys::global_alloc(GMEM_MOVEABLE, size);
        if (!block) {
            code = GetLastError();
            return Outcome::failure;
        }
        void* memory = sys::global_lock(block);
        if (!memory) {
            code = GetLastError();
            GlobalFree(block);
            return Outcome::failure;
        }
        std::memcpy(memory, text.c_str(), size);  // the text and its zero unit
        GlobalUnlock(block);
        if (!sys::set_clipboard_data(user, CF_UNICODETEXT, block)) {
            code = GetLastError();
            GlobalFree(block);
            return Outcome::failure;
        }
        return Outcome::ok;  // the block belongs to the system now
    });
}

}  // namespace

int l_clipboard_get(lua_State* L)
{
    return respond(L, kWin32, [&](Reply& reply) {
        DWORD code = 0;
        const Outcome outcome = read_clipboard(reply, code);
        if (outcome == Outcome::unavailable)
            reply.raise("%s", kClipboardGetUnavailable);
        else if (outcome == Outcome::failure)
            fail_with_windows_error(reply, code);
    });
}

int l_clipboard_set(lua_State* L)
{
    std::size_t length = 0;
    const char* text = luaL_checklstring(L, 1, &length);
    DWORD code = 0;
    const Outcome outcome = write_clipboard(text, length, code);
    if (outcome == Outcome::unavailable)
        return luaL_error(L, "%s", kClipboardSetUnavailable);
    if (outcome == Outcome::failure)
        return push_windows_error(L, code);
    lua_pushboolean(L, 1);
    return 1;
}

}  // namespace luamods::win32
