#include "common/values.hpp"

#include <cmath>
#include <cstring>
#include <unordered_map>

namespace luamods {

namespace {

constexpr int kLuaTypeCdata = 10;  // LuaJIT's type number for cdata

bool crosses_plain(int type) noexcept
{
    switch (type) {
    case LUA_TNIL:
    case LUA_TBOOLEAN:
    case LUA_TNUMBER:
    case LUA_TSTRING:
    case LUA_TLIGHTUSERDATA: return true;
    default: return false;
    }
}

// A cdata's first 8 bytes: a pointer's address.
Cdata cdata_bits(lua_State* L, int index) noexcept
{
    Cdata c{0};
    std::memcpy(&c.bits, lua_topointer(L, index), sizeof c.bits);
    return c;
}

bool is_key_type(int type) noexcept
{
    return type == LUA_TBOOLEAN || type == LUA_TNUMBER || type == LUA_TSTRING;
}

// A value of a type that crosses_plain accepts.  A string's bytes are
// copied once, into the returned value, which is then only moved.
Value plain_value(lua_State* L, int index)
{
    switch (lua_type(L, index)) {
    case LUA_TBOOLEAN: return Value(lua_toboolean(L, index) != 0);
    case LUA_TNUMBER: return Value(lua_tonumber(L, index));
    case LUA_TSTRING: {
        // A string value: lua_tolstring neither converts nor allocates.
        size_t n = 0;
        const char* s = lua_tolstring(L, index, &n);
        return Value(std::in_place_type<std::string>, s, n);
    }
    case LUA_TLIGHTUSERDATA: return Value(Address{lua_touserdata(L, index)});
    default: return Value();
    }
}

// Whether a key lands in the array part of a table of `count` fields.
bool is_array_key(lua_State* L, int index, std::size_t count) noexcept
{
    if (lua_type(L, index) != LUA_TNUMBER)
        return false;
    const lua_Number k = lua_tonumber(L, index);
    return k >= 1 && k <= static_cast<lua_Number>(count) && k == std::floor(k);
}

// One copy: the tables met so far (by identity) and where a refusal goes.
class Copier {
public:
    Copier(lua_State* L, Values& out, Refusal& refusal) : L_(L), out_(out), refusal_(refusal) {}

    // Copies the table in `slot` (an argument or result, item `item`) as
    // `result`.  Walks it depth first with one table and one key on the Lua
    // stack per level, so the C stack does not grow with the nesting.
    bool copy_table(int slot, std::uint32_t item, Value& result)
    {
        const void* id = lua_topointer(L_, slot);
        if (const auto it = seen_.find(id); it != seen_.end()) {
            result = TableRef{it->second};
            return true;
        }
        if (has_metatable(slot))
            return refuse(slot, Refusal::metatable, LUA_TTABLE, 0, 0);
        std::uint32_t frames[kMaxTableDepth];  // the table being filled at each level
        frames[0] = new_table(id, kNoTable, item);
        result = TableRef{frames[0]};
        const int base = lua_gettop(L_);
        lua_pushvalue(L_, slot);
        lua_pushnil(L_);
        int level = 0;  // frames[level]: its table in base + 1 + 2 * level, its key above
        for (;;) {
            const int table = base + 1 + 2 * level, key = table + 1, value = table + 2;
            if (lua_next(L_, table) == 0) {
                lua_pop(L_, 1);  // the table; its parent's key is on top again
                if (level-- == 0)
                    return true;
                continue;
            }
            const int key_type = lua_type(L_, key);
            if (!is_key_type(key_type))
                return refuse(slot, Refusal::key, key_type, base + 2, level);
            const std::uint32_t parent = frames[level];
            Table& into = out_.tables[parent];
            if (is_array_key(L_, key, into.fields.size() + 1))
                ++into.array_size;
            const int value_type = lua_type(L_, value);
            if (value_type == LUA_TTABLE) {
                id = lua_topointer(L_, value);
                std::uint32_t child;
                if (const auto it = seen_.find(id); it != seen_.end()) {
                    child = it->second;
                    lua_pop(L_, 1);
                } else {
                    if (level + 2 > kMaxTableDepth)
                        return refuse(slot, Refusal::depth, LUA_TTABLE, base + 2, level + 1);
                    if (has_metatable(value))
                        return refuse(slot, Refusal::metatable, LUA_TTABLE, base + 2, level + 1);
                    child = new_table(id, parent, static_cast<std::uint32_t>(into.fields.size()));
                    frames[++level] = child;
                    lua_pushnil(L_);  // the child's table stays in `value`: walk it next
                }
                // By index: new_table may have moved the tables.
                out_.tables[parent].fields.emplace_back(plain_value(L_, key), TableRef{child});
                continue;
            }
            if (value_type == kLuaTypeCdata) {
                // Whether it is a pointer is known only to Lua: resolve_cdata.
                out_.cdata.push_back(
                    CdataSpot{parent, static_cast<std::uint32_t>(into.fields.size())});
                into.fields.emplace_back(plain_value(L_, key), cdata_bits(L_, value));
                lua_pop(L_, 1);
                continue;
            }
            if (!crosses_plain(value_type))
                return refuse(slot, Refusal::value, value_type, base + 2, level + 1);
            into.fields.emplace_back(plain_value(L_, key), plain_value(L_, value));
            lua_pop(L_, 1);
        }
    }

    bool refuse(int slot, Refusal::Reason reason, int type, int key_base, int keys) noexcept
    {
        refusal_.slot = slot;
        refusal_.reason = reason;
        refusal_.type = type;
        refusal_.key_base = key_base;
        refusal_.keys = keys;
        return false;
    }

private:
    bool has_metatable(int index) noexcept
    {
        if (!lua_getmetatable(L_, index))
            return false;
        lua_pop(L_, 1);
        return true;
    }

    std::uint32_t new_table(const void* id, std::uint32_t parent, std::uint32_t at)
    {
        const auto index = static_cast<std::uint32_t>(out_.tables.size());
        Table& t = out_.tables.emplace_back();
        t.parent = parent;
        t.at = at;
        seen_.emplace(id, index);
        return index;
    }

    lua_State* L_;
    Values& out_;
    Refusal& refusal_;
    std::unordered_map<const void*, std::uint32_t> seen_;
};

// The subject of a refusal's reason: "a function".
const char* subject(int type, bool key) noexcept
{
    switch (type) {
    case kLuaTypeCdata: return key ? "a cdata" : "a cdata that is not a pointer";
    case LUA_TFUNCTION: return "a function";
    case LUA_TTHREAD: return "a coroutine";
    case LUA_TUSERDATA: return "a full userdata";
    case LUA_TLIGHTUSERDATA: return "a light userdata";
    case LUA_TTABLE: return "a table";
    default: return "a value of this type";
    }
}

bool is_identifier(const char* s, size_t n) noexcept
{
    if (n == 0 || (s[0] >= '0' && s[0] <= '9'))
        return false;
    for (size_t i = 0; i < n; ++i) {
        const char c = s[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_'))
            return false;
    }
    return true;
}

// One key of a path: .name, ["other text"], [3], [1.5], [true].  Long
// strings are cut, so that a path stays readable.
void push_path_key(lua_State* L, int slot)
{
    constexpr size_t kShown = 40;
    switch (lua_type(L, slot)) {
    case LUA_TSTRING: {
        size_t n = 0;
        const char* s = lua_tolstring(L, slot, &n);
        if (n <= kShown && is_identifier(s, n)) {
            lua_pushliteral(L, ".");
            lua_pushvalue(L, slot);
            lua_concat(L, 2);
        } else {
            lua_pushliteral(L, "[\"");
            lua_pushlstring(L, s, n <= kShown ? n : kShown);
            lua_pushstring(L, n <= kShown ? "\"]" : "...\"]");
            lua_concat(L, 3);
        }
        break;
    }
    case LUA_TNUMBER: lua_pushfstring(L, "[%f]", lua_tonumber(L, slot)); break;
    default: lua_pushstring(L, lua_toboolean(L, slot) ? "[true]" : "[false]"); break;
    }
}

}  // namespace

bool can_cross(lua_State* L, int index) noexcept
{
    const int type = lua_type(L, index);
    return crosses_plain(type) || type == LUA_TTABLE;
}

bool copy_values(lua_State* L, int first, int last, Values& out, Refusal& refusal)
{
    refusal = Refusal{};
    out.clear();
    Copier copier(L, out, refusal);
    out.items.reserve(static_cast<std::size_t>(last >= first ? last - first + 1 : 0));
    for (int i = first; i <= last; ++i) {
        const int type = lua_type(L, i);
        const auto item = static_cast<std::uint32_t>(i - first);
        if (type == LUA_TTABLE) {
            Value table;
            if (!copier.copy_table(i, item, table))
                return false;
            out.items.push_back(table);
        } else if (type == kLuaTypeCdata) {
            out.cdata.push_back(CdataSpot{kNoTable, item});
            out.items.push_back(cdata_bits(L, i));
        } else if (crosses_plain(type)) {
            out.items.push_back(plain_value(L, i));
        } else {
            return copier.refuse(i, Refusal::value, type, 0, 0);
        }
    }
    return true;
}

namespace {

// Registry key (this object's address) of the state's cdata classifier.
char g_classifier_key;

// Made once per state, with the ffi table the state has loaded: whether a
// cdata's type is a pointer, read from LuaJIT's name of it ("ctype<T>"): T
// ends in "*" and qualifiers ("char *", "int *const"), or its declarator
// opens with "(*" ("int (*)(int)", "int (*)[4]"), which an array of
// pointers ("int *[4]") and a function ("int *(int)") do not.
const char kClassifier[] = R"lua(
local ffi = ...
if type(ffi) ~= "table" or not ffi.typeof then return false end
local typeof, tostring, find, sub = ffi.typeof, tostring, string.find, string.sub
return function(v)
  local t = sub(tostring(typeof(v)), 7, -2)
  return find(t, "%*[%w_%s]*$") ~= nil or find(t, "^[^(]*%(%*[%*%w_%s]*%)") ~= nil
end
)lua";

void push_value(lua_State* L, const Value& v, int tables);

}  // namespace

bool is_pointer_cdata(lua_State* L, int index)
{
    if (lua_type(L, index) != kLuaTypeCdata)
        return false;
    if (index < 0 && index > LUA_REGISTRYINDEX)
        index = lua_gettop(L) + index + 1;
    luaL_checkstack(L, 4, "not enough stack");
    lua_pushlightuserdata(L, &g_classifier_key);
    lua_rawget(L, LUA_REGISTRYINDEX);
    if (!lua_isfunction(L, -1)) {
        lua_pop(L, 1);
        if (luaL_loadbuffer(L, kClassifier, sizeof kClassifier - 1, "=cdata classifier") != 0)
            lua_error(L);
        lua_getfield(L, LUA_REGISTRYINDEX, "_LOADED");
        lua_getfield(L, -1, "ffi");
        lua_remove(L, -2);
        lua_call(L, 1, 1);
        if (!lua_isfunction(L, -1)) {
            lua_pop(L, 1);
            return false;  // no ffi loaded: no cdata can be made here
        }
        lua_pushlightuserdata(L, &g_classifier_key);
        lua_pushvalue(L, -2);
        lua_rawset(L, LUA_REGISTRYINDEX);
    }
    lua_pushvalue(L, index);
    lua_call(L, 1, 1);
    const bool pointer = lua_toboolean(L, -1) != 0;
    lua_pop(L, 1);
    return pointer;
}

bool resolve_cdata(lua_State* L, int first, Values& values, Refusal& refusal)
{
    const int top = lua_gettop(L);
    for (const CdataSpot spot : values.cdata) {
        // The way from the argument down to the cdata, innermost first.
        CdataSpot way[kMaxTableDepth];
        int n = 0;
        std::uint32_t item = spot.at;
        for (std::uint32_t t = spot.table, at = spot.at; t != kNoTable; ++n) {
            way[n] = CdataSpot{t, at};
            const Table& table = values.tables[t];
            t = table.parent;
            at = item = table.at;
        }
        // The argument, then each key and the value under it, as
        // copy_values leaves a path: the cdata ends up on top.
        const int slot = first + static_cast<int>(item);
        luaL_checkstack(L, 2 * n + 2, "not enough stack");
        lua_pushvalue(L, slot);
        for (int k = n - 1; k >= 0; --k) {
            push_value(L, values.tables[way[k].table].fields[way[k].at].first, 0);
            lua_pushvalue(L, -1);
            lua_rawget(L, -3);
        }
        if (!is_pointer_cdata(L, -1)) {
            refusal.slot = slot;
            refusal.reason = Refusal::value;
            refusal.type = kLuaTypeCdata;
            refusal.key_base = top + 2;
            refusal.keys = n;
            return false;
        }
        Value& v = spot.table == kNoTable ? values.items[spot.at]
                                          : values.tables[spot.table].fields[spot.at].second;
        if (const Cdata* c = std::get_if<Cdata>(&v))
            v = Address{reinterpret_cast<void*>(static_cast<std::uintptr_t>(c->bits))};
        lua_settop(L, top);
    }
    values.cdata.clear();
    return true;
}

void push_refusal(lua_State* L, const Refusal& refusal)
{
    luaL_checkstack(L, 6, "not enough stack for a message");
    lua_pushliteral(L, "");
    for (int i = 0; i < refusal.keys; ++i) {
        push_path_key(L, refusal.key_base + 2 * i);
        lua_concat(L, 2);
    }
    switch (refusal.reason) {
    case Refusal::key:
        lua_pushfstring(L, ": %s key cannot cross to another state", subject(refusal.type, true));
        break;
    case Refusal::metatable:
        lua_pushliteral(L, ": a table with a metatable cannot cross to another state");
        break;
    case Refusal::depth:
        lua_pushfstring(L,
                        ": a table nested more than %d levels deep cannot cross to another state",
                        kMaxTableDepth);
        break;
    default:
        lua_pushfstring(L, ": %s cannot cross to another state", subject(refusal.type, false));
        break;
    }
    lua_concat(L, 2);
}

namespace {

void push_value(lua_State* L, const Value& v, int tables)
{
    switch (v.index()) {
    case 1: lua_pushboolean(L, std::get<bool>(v)); break;
    case 2: lua_pushnumber(L, std::get<lua_Number>(v)); break;
    case 3: {
        const std::string& s = std::get<std::string>(v);
        lua_pushlstring(L, s.data(), s.size());
        break;
    }
    case 4: lua_pushlightuserdata(L, std::get<Address>(v).p); break;
    case 5: lua_rawgeti(L, tables, static_cast<int>(std::get<TableRef>(v).index) + 1); break;
    default: lua_pushnil(L); break;
    }
}

}  // namespace

void push_values(lua_State* L, const Values& values)
{
    // Every table is made first and kept in one array, so that references
    // (shared tables, cycles) find theirs; then the tables are filled and
    // the values pushed.  No recursion, whatever the nesting.
    int tables = 0;
    if (!values.tables.empty()) {
        const int count = static_cast<int>(values.tables.size());
        lua_createtable(L, count, 0);
        tables = lua_gettop(L);
        for (int i = 0; i < count; ++i) {
            const Table& t = values.tables[static_cast<std::size_t>(i)];
            lua_createtable(L, t.array_size, static_cast<int>(t.fields.size()) - t.array_size);
            lua_rawseti(L, tables, i + 1);
        }
        for (int i = 0; i < count; ++i) {
            lua_rawgeti(L, tables, i + 1);
            for (const auto& [key, value] : values.tables[static_cast<std::size_t>(i)].fields) {
                push_value(L, key, tables);
                push_value(L, value, tables);
                lua_rawset(L, -3);
            }
            lua_pop(L, 1);
        }
    }
    for (const Value& v : values.items)
        push_value(L, v, tables);
    if (tables)
        lua_remove(L, tables);
}

}  // namespace luamods
