// The child the win32 tests start, so that they check what really reached a
// process.  Each argument is one step, run in order:
//
//   out:TEXT  err:TEXT     write TEXT to standard output / error
//   outx:HEX  errx:HEX     write the bytes given in hex
//   outn:N                 write N bytes to standard output (byte i is i % 251)
//   echo                   copy standard input to standard output until its end
//   count                  read standard input to its end, then write
//                          "<bytes> <fnv1a-32 hex>"
//   env                    write every environment entry and "\n" (UTF-8)
//   cwd                    write the current directory and "\n" (UTF-8)
//   sleep:MS               sleep
//   wait                   read standard input to its end, discarding it: the
//                          test decides when the next step runs
//   exit:N                 exit now with code N (unsigned 32-bit)
//   clipboard:MS           open the clipboard, write "held" (or "busy:<code>"
//                          when it cannot), keep it open for MS ms (with
//                          "clipboard:wait", until standard input ends), close it
//   args                   write every argument after it, as its runtime parsed
//                          it, in UTF-8 as hex, one line each; ends the steps
//
// The arguments arrive through wmain, in UTF-16, and are taken in UTF-8.
// Output goes through WriteFile, byte for byte.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool write_all(HANDLE h, const char* data, std::size_t size)
{
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size);
        if (!WriteFile(h, data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

std::string from_hex(const char* hex)
{
    std::string out;
    for (std::size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
        char pair[3] = {hex[i], hex[i + 1], 0};
        out.push_back(static_cast<char>(std::strtoul(pair, nullptr, 16)));
    }
    return out;
}

std::string utf8(const wchar_t* w, int units)
{
    if (units <= 0)
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, units, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w, units, s.data(), n, nullptr, nullptr);
    return s;
}

bool starts(const char* arg, const char* prefix, const char*& rest)
{
    const std::size_t n = std::strlen(prefix);
    if (std::strncmp(arg, prefix, n) != 0)
        return false;
    rest = arg + n;
    return true;
}

// Reads standard input to its end.
void wait_input(HANDLE in)
{
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
}

}  // namespace

int wmain(int argc, wchar_t** wargv)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(utf8(wargv[i], static_cast<int>(wcslen(wargv[i]))));
    for (int i = 1; i < argc; ++i) {
        const char* arg = args[i].c_str();
        const char* rest = nullptr;
        if (std::strcmp(arg, "args") == 0) {
            std::string text;
            for (int k = i + 1; k < argc; ++k) {
                for (unsigned char c : args[k]) {
                    char pair[3];
                    std::snprintf(pair, sizeof pair, "%02x", c);
                    text += pair;
                }
                text += '\n';
            }
            write_all(out, text.data(), text.size());
            return 0;
        } else if (starts(arg, "out:", rest)) {
            write_all(out, rest, std::strlen(rest));
        } else if (starts(arg, "err:", rest)) {
            write_all(err, rest, std::strlen(rest));
        } else if (starts(arg, "outx:", rest)) {
            const std::string bytes = from_hex(rest);
            write_all(out, bytes.data(), bytes.size());
        } else if (starts(arg, "errx:", rest)) {
            const std::string bytes = from_hex(rest);
            write_all(err, bytes.data(), bytes.size());
        } else if (starts(arg, "outn:", rest)) {
            unsigned long long n = std::strtoull(rest, nullptr, 10);
            std::string block(65536, '\0');
            unsigned long long pos = 0;
            while (pos < n) {
                const std::size_t chunk =
                    n - pos < block.size() ? static_cast<std::size_t>(n - pos) : block.size();
                for (std::size_t k = 0; k < chunk; ++k)
                    block[k] = static_cast<char>((pos + k) % 251);
                if (!write_all(out, block.data(), chunk))
                    break;
                pos += chunk;
            }
        } else if (std::strcmp(arg, "echo") == 0 || std::strcmp(arg, "count") == 0) {
            const bool echo = arg[0] == 'e';
            char buffer[65536];
            unsigned long long total = 0;
            unsigned hash = 2166136261u;
            for (;;) {
                DWORD got = 0;
                if (!ReadFile(in, buffer, sizeof buffer, &got, nullptr) || got == 0)
                    break;
                total += got;
                if (echo) {
                    if (!write_all(out, buffer, got))
                        break;
                } else {
                    for (DWORD k = 0; k < got; ++k)
                        hash = (hash ^ static_cast<unsigned char>(buffer[k])) * 16777619u;
                }
            }
            if (!echo) {
                char line[64];
                const int n = std::snprintf(line, sizeof line, "%llu %08x", total, hash);
                write_all(out, line, static_cast<std::size_t>(n));
            }
        } else if (std::strcmp(arg, "env") == 0) {
            wchar_t* block = GetEnvironmentStringsW();
            std::string text;
            for (const wchar_t* p = block; p && *p; p += wcslen(p) + 1) {
                text += utf8(p, static_cast<int>(wcslen(p)));
                text += '\n';
            }
            if (block)
                FreeEnvironmentStringsW(block);
            write_all(out, text.data(), text.size());
        } else if (std::strcmp(arg, "cwd") == 0) {
            wchar_t dir[4096];
            const DWORD n = GetCurrentDirectoryW(4096, dir);
            std::string text = utf8(dir, static_cast<int>(n)) + "\n";
            write_all(out, text.data(), text.size());
        } else if (starts(arg, "sleep:", rest)) {
            Sleep(static_cast<DWORD>(std::strtoul(rest, nullptr, 10)));
        } else if (std::strcmp(arg, "wait") == 0) {
            wait_input(in);
        } else if (starts(arg, "clipboard:", rest)) {
            // Opened for a window: an owner of its own is what makes other
            // openers wait (Wine lets two window-less openers share it).
            HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                          nullptr, nullptr);
            if (OpenClipboard(window)) {
                write_all(out, "held", 4);
                if (std::strcmp(rest, "wait") == 0)
                    wait_input(in);
                else
                    Sleep(static_cast<DWORD>(std::strtoul(rest, nullptr, 10)));
                CloseClipboard();
                if (window)
                    DestroyWindow(window);
            } else {
                const std::string text = "busy:" + std::to_string(GetLastError());
                write_all(out, text.data(), text.size());
            }
        } else if (starts(arg, "exit:", rest)) {
            ExitProcess(static_cast<UINT>(std::strtoull(rest, nullptr, 10)));
        } else {
            const std::string text = std::string("child: unknown step ") + arg + "\n";
            write_all(err, text.data(), text.size());
            return 2;
        }
    }
    return 0;
}
