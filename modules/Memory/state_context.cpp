#include "Memory/state_context.hpp"

#include "Memory/registry.hpp"

namespace luamods::memory {

namespace {
constexpr const char* kRegistryKey = "luamods.memory.context";

int give_back_context(lua_State* L)
{
    auto* slot = static_cast<HazardContext**>(lua_touserdata(L, 1));
    if (HazardContext* ctx = *slot) {
        *slot = nullptr;
        block_registry().flush(ctx);
        Hazards::instance().give_back(ctx);
    }
    return 0;
}
}  // namespace

void push_state_context(lua_State* L)
{
    Hazards::instance().init();
    lua_getfield(L, LUA_REGISTRYINDEX, kRegistryKey);
    if (!lua_isnil(L, -1))
        return;
    lua_pop(L, 1);
    auto* slot = static_cast<HazardContext**>(lua_newuserdata(L, sizeof(HazardContext*)));
    *slot = nullptr;
    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, give_back_context);
    lua_setfield(L, -2, "__gc");
    lua_setmetatable(L, -2);
    lua_pushvalue(L, -1);
    lua_setfield(L, LUA_REGISTRYINDEX, kRegistryKey);
    // Claimed after the last call that can raise, so that none can strand it.
    // Without one (no memory left) every call borrows a context.
    *slot = Hazards::instance().claim();
}

void push_context_functions(lua_State* L, const luaL_Reg* functions, std::size_t n)
{
    push_state_context(L);
    const int context = lua_gettop(L);
    lua_newtable(L);
    for (std::size_t i = 0; i < n; ++i) {
        lua_pushvalue(L, context);
        lua_pushcclosure(L, functions[i].func, 1);
        lua_setfield(L, -2, functions[i].name);
    }
    lua_remove(L, context);
}

}  // namespace luamods::memory
