// Marks the luaopen_* entry points, the only symbols a module library exports.
#pragma once

#ifdef _WIN32
#define LUAMODS_EXPORT extern "C" __declspec(dllexport)
#else
#define LUAMODS_EXPORT extern "C" __attribute__((visibility("default")))
#endif
