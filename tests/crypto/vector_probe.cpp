// A probe of the x86-64 upper vector state for the crypto tests, loaded as
// luaopen_crypto_vector_probe:
//
//   probe.supported        true where the state can be set and read: the CPU
//                          has AVX, the system enabled it, XGETBV reports the
//                          components in use (XINUSE), and a self-check saw
//                          the upper state set and then cleared
//   probe.call(dirty, f, ...) -> clean, results of f...
//                          with `dirty` true, sets the upper halves of the
//                          vector registers first; calls f(...); reads the
//                          state the moment f has returned, before any other
//                          code (Lua's string functions run vzeroupper) can
//                          change it
//
// Reading the state is exact: no timing is involved.
#include <lua.hpp>

#include <cstdint>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include "luamods_export.hpp"

namespace {

#if defined(__x86_64__)

// XINUSE bits of the upper halves: YMM_Hi128 (bits 128..255 of registers
// 0..15) and ZMM_Hi256 (bits 256..511 of registers 0..15).  vzeroupper clears
// both; legacy-SSE code pays while either is set.
constexpr std::uint64_t kUpperInUse = (1u << 2) | (1u << 6);

std::uint64_t xinuse()
{
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(1));
    return (std::uint64_t{hi} << 32) | lo;
}

void set_upper() { __asm__ volatile("vpcmpeqd %%ymm0, %%ymm0, %%ymm0" ::: "xmm0"); }

void clear_upper() { __asm__ volatile("vzeroupper" ::: "memory"); }

bool readable()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 27)) || !(c & (1u << 28)))
        return false;
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    if ((lo & 6u) != 6u)
        return false;
    // CPUID leaf 13, sub-leaf 1, EAX bit 2: XGETBV with ECX = 1.
    if (!__get_cpuid_count(13, 1, &a, &b, &c, &d) || !(a & (1u << 2)))
        return false;
    set_upper();
    const bool seen_set = (xinuse() & kUpperInUse) != 0;
    clear_upper();
    const bool seen_clear = (xinuse() & kUpperInUse) == 0;
    return seen_set && seen_clear;
}

#else

constexpr std::uint64_t kUpperInUse = 0;
std::uint64_t xinuse() { return 0; }
void set_upper() {}
bool readable() { return false; }

#endif

bool g_supported = false;

int l_call(lua_State* L)
{
    const bool dirty = lua_toboolean(L, 1) != 0;
    luaL_checktype(L, 2, LUA_TFUNCTION);
    const int args = lua_gettop(L) - 2;
    if (dirty && g_supported)
        set_upper();
    lua_call(L, args, LUA_MULTRET);
    const bool clean = !g_supported || (xinuse() & kUpperInUse) == 0;
    lua_pushboolean(L, clean);
    lua_replace(L, 1);
    return lua_gettop(L);
}

}  // namespace

LUAMODS_EXPORT int luaopen_crypto_vector_probe(lua_State* L)
{
    g_supported = readable();
    lua_createtable(L, 0, 2);
    lua_pushboolean(L, g_supported);
    lua_setfield(L, -2, "supported");
    lua_pushcfunction(L, l_call);
    lua_setfield(L, -2, "call");
    return 1;
}
