// The system calls that tests make fail on purpose, and the loading of the
// DLLs the module binds at run time.  The module makes these calls through
// this header only.  In the module itself they are the Windows functions,
// inlined away; the test build of the module (PellorFaults, with
// LUAMODS_WIN32_FAULTS defined) gets their definitions from the test tree
// (tests/win32/faults/), which can fail a chosen call with a chosen code or
// throw std::bad_alloc from it, and counts the DLL bindings.
#pragma once

#include <windows.h>

#include "Win32/user32.hpp"

namespace luamods::win32::sys {

// The DLL already loaded, or loaded now and never freed.
inline HMODULE loaded_or_load(const wchar_t* name)
{
    HMODULE module = GetModuleHandleW(name);
    return module ? module : LoadLibraryW(name);
}

#ifdef LUAMODS_WIN32_FAULTS

HMODULE system_library(const wchar_t* name);

BOOL create_pipe(PHANDLE read, PHANDLE write, LPSECURITY_ATTRIBUTES sa, DWORD size);
HANDLE create_file(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                   DWORD disposition, DWORD flags, HANDLE templ);
BOOL set_handle_information(HANDLE h, DWORD mask, DWORD flags);
BOOL initialize_attribute_list(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count, DWORD flags,
                               PSIZE_T size);
BOOL update_attribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                      PVOID value, SIZE_T size, PVOID previous, PSIZE_T returned);
BOOL create_process(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_sa,
                    LPSECURITY_ATTRIBUTES thread_sa, BOOL inherit, DWORD flags, LPVOID env,
                    LPCWSTR cwd, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info);
BOOL assign_process_to_job(HANDLE job, HANDLE process);
DWORD resume_thread(HANDLE thread);
BOOL empty_clipboard(const User32Bindings& user);
HANDLE get_clipboard_data(const User32Bindings& user, UINT format);
HANDLE set_clipboard_data(const User32Bindings& user, UINT format, HANDLE data);
HGLOBAL global_alloc(UINT flags, SIZE_T bytes);
LPVOID global_lock(HGLOBAL block);
DWORD get_module_file_name(HMODULE module, LPWSTR buffer, DWORD size);

#else

// A DLL the module binds functions from on first use (user32, ucrtbase).
inline HMODULE system_library(const wchar_t* name) { return loaded_or_load(name); }
inline BOOL create_pipe(PHANDLE read, PHANDLE write, LPSECURITY_ATTRIBUTES sa, DWORD size)
{
    return CreatePipe(read, write, sa, size);
}
inline HANDLE create_file(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE templ)
{
    return CreateFileW(name, access, share, sa, disposition, flags, templ);
}
inline BOOL set_handle_information(HANDLE h, DWORD mask, DWORD flags)
{
    return SetHandleInformation(h, mask, flags);
}
inline BOOL initialize_attribute_list(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count, DWORD flags,
                                      PSIZE_T size)
{
    return InitializeProcThreadAttributeList(list, count, flags, size);
}
inline BOOL update_attribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                             PVOID value, SIZE_T size, PVOID previous, PSIZE_T returned)
{
    return UpdateProcThreadAttribute(list, flags, attribute, value, size, previous, returned);
}
inline BOOL create_process(LPCWSTR application, LPWSTR command_line,
                           LPSECURITY_ATTRIBUTES process_sa, LPSECURITY_ATTRIBUTES thread_sa,
                           BOOL inherit, DWORD flags, LPVOID env, LPCWSTR cwd,
                           LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info)
{
    return CreateProcessW(application, command_line, process_sa, thread_sa, inherit, flags, env,
                          cwd, startup, info);
}
inline BOOL assign_process_to_job(HANDLE job, HANDLE process)
{
    return AssignProcessToJobObject(job, process);
}
inline DWORD resume_thread(HANDLE thread) { return ResumeThread(thread); }
inline BOOL empty_clipboard(const User32Bindings& user) { return user.empty_clipboard(); }
inline HANDLE get_clipboard_data(const User32Bindings& user, UINT format)
{
    return user.get_clipboard_data(format);
}
inline HANDLE set_clipboard_data(const User32Bindings& user, UINT format, HANDLE data)
{
    return user.set_clipboard_data(format, data);
}
inline HGLOBAL global_alloc(UINT flags, SIZE_T bytes) { return GlobalAlloc(flags, bytes); }
inline LPVOID global_lock(HGLOBAL block) { return GlobalLock(block); }
inline DWORD get_module_file_name(HMODULE module, LPWSTR buffer, DWORD size)
{
    return GetModuleFileNameW(module, buffer, size);
}

#endif

}  // namespace luamods::win32::sys
