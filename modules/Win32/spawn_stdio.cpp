// spawn's child streams: a pipe (the script keeps the other end), the null
// device or a file opened for appending, one per stream, and the attribute
// list that lets the child inherit exactly those ends.

#include "Win32/frame.hpp"
#include "Win32/spawn.hpp"
#include "Win32/sys.hpp"

namespace luamods::win32 {
namespace {

// Created non-inheritable; only the child's end is then made inheritable, so
// the caller's end is never inheritable at any moment, not even for a process
// some other thread starts without a handle list.
bool open_pipe(bool is_input, CloseList& closes, StdioEnds& ends, DWORD& code)
{
    SECURITY_ATTRIBUTES private_sa{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!sys::create_pipe(&read_end, &write_end, &private_sa, 0)) {
        code = GetLastError();
        return false;
    }
    closes.add(read_end);
    closes.add(write_end);
    ends.child_end = is_input ? read_end : write_end;
    ends.parent_end = is_input ? write_end : read_end;
    ends.has_parent_end = true;
    if (!sys::set_handle_information(ends.child_end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        code = GetLastError();
        return false;
    }
    return true;
}

// The null device, or with a path a file opened with FILE_APPEND_DATA alone:
// every write lands at the end, and the file is created when missing and
// never truncated.  Either is opened inheritable; only the child uses it.
bool open_file(const StdioRequest& request, CloseList& closes, StdioEnds& ends, DWORD& code)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE h = INVALID_HANDLE_VALUE;
    if (request.kind == StdioKind::append_file) {
        const WideString path = utf8_to_wide(request.path, request.path_length);
        h = sys::create_file(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inheritable, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    } else {
        h = sys::create_file(L"NUL", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                             nullptr);
    }
    if (!valid_handle(h)) {
        code = GetLastError();
        return false;
    }
    closes.add(h);
    ends.child_end = h;
    return true;
}

bool open_stream(const StdioRequest& request, bool is_input, CloseList& closes, StdioEnds& ends,
                 DWORD& code)
{
    if (request.kind == StdioKind::pipe)
        return open_pipe(is_input, closes, ends, code);
    return open_file(request, closes, ends, code);
}

}  // namespace

bool open_child_stdio(const SpawnRequest& request, CloseList& closes, ChildStdio& stdio,
                      DWORD& code)
{
    if (!open_stream(request.in, true, closes, stdio.in, code))
        return false;
    if (!open_stream(request.out, false, closes, stdio.out, code))
        return false;
    if (request.err_shares_out) {
        stdio.err = stdio.out;
        stdio.err.shared_with_stdout = true;
        return true;
    }
    return open_stream(request.err, false, closes, stdio.err, code);
}

bool inherit_only_stdio(ChildStdio& stdio, AttributeList& attributes, DWORD& code)
{
    stdio.inherited_count = 0;
    for (HANDLE h : {stdio.in.child_end, stdio.out.child_end, stdio.err.child_end}) {
        bool listed = h == nullptr;
        for (std::size_t i = 0; i < stdio.inherited_count; ++i)
            listed = listed || stdio.inherited[i] == h;
        if (!listed)
            stdio.inherited[stdio.inherited_count++] = h;
    }

    SIZE_T size = 0;
    sys::initialize_attribute_list(nullptr, 1, 0, &size);
    if (size == 0) {
        code = ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    attributes.allocate(size);
    if (!sys::initialize_attribute_list(attributes.get(), 1, 0, &size)) {
        code = GetLastError();
        return false;
    }
    attributes.mark_initialised();
    if (!sys::update_attribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                               stdio.inherited, stdio.inherited_count * sizeof(HANDLE), nullptr,
                               nullptr)) {
        code = GetLastError();
        return false;
    }
    return true;
}

}  // namespace luamods::win32
