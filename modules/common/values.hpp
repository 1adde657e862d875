// The values that cross from one Lua state to another: nil, booleans,
// numbers, strings, light userdata (addresses) and tables of them.  They are
// copied out of one state into plain C++ values and pushed into the other,
// so the two states never share a Lua object and are never used at once.
// Used by the threads module and by the host program, which start states on
// threads of their own.
//
// Tables are copied deeply, without recursion: every table becomes one
// `Table` in `Values::tables`, and a table value is its index there.  A
// table met twice (shared, or a cycle) is copied once and referenced twice,
// so the copy has the same shape.  Keys are booleans, numbers and strings.
#pragma once

#include <lua.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace luamods {

struct Address {
    void* p;
};
struct TableRef {
    std::uint32_t index;  // into Values::tables
};
// A LuaJIT cdata as copied: its first 8 bytes.  resolve_cdata turns it into
// an Address when it is a pointer; nothing else of it crosses.
struct Cdata {
    std::uint64_t bits;
};
using Value = std::variant<std::monostate, bool, lua_Number, std::string, Address, TableRef, Cdata>;

inline constexpr std::uint32_t kNoTable = 0xffffffff;

struct Table {
    std::vector<std::pair<Value, Value>> fields;  // key, value
    int array_size = 0;                           // keys 1..n, a size hint for the target
    // Where the copy met it first: field `at` of table `parent`, or item
    // `at` when parent is kNoTable.  The way back to a cdata inside it.
    std::uint32_t parent = kNoTable;
    std::uint32_t at = 0;
};

// Where a Cdata value sits: as above.
struct CdataSpot {
    std::uint32_t table;
    std::uint32_t at;
};

struct Values {
    std::vector<Value> items;
    std::vector<Table> tables;
    std::vector<CdataSpot> cdata;  // until resolve_cdata

    std::size_t size() const noexcept { return items.size(); }
    void clear() noexcept
    {
        items.clear();
        tables.clear();
        cdata.clear();
    }
};

// The types that cross as plain values, as the errors about a value outside
// a table name them.
inline constexpr const char* kCrossingTypes =
    "nil, boolean, number, string, light userdata or table";

// How deep tables may nest: a table given directly is level 1.  A deeper
// table is refused (the copy itself does not recurse; the limit keeps the
// copy's Lua stack and the error's path bounded).
inline constexpr int kMaxTableDepth = 100;

// Lua stack slots copy_values uses above the top: call lua_checkstack for
// them before the C++ work that copies (it may raise for lack of memory).
inline constexpr int kCopyStackSlots = 2 * kMaxTableDepth + 4;

// Why a value did not cross.  Plain data: it outlives the C++ work and the
// message is made from it afterwards, with the refused value's path read
// from the keys the copy left on the Lua stack.
struct Refusal {
    enum Reason : unsigned char { none, value, key, metatable, depth };
    int slot = 0;          // the stack slot of the argument or result; 0: all crossed
    Reason reason = none;  //
    int type = LUA_TNONE;  // the Lua type of the refused value or key
    int key_base = 0;      // the path: keys in slots key_base, key_base + 2, ...
    int keys = 0;          //   (how many)

    // Whether the refused thing is a table or lies inside one.  Otherwise
    // it is a plain value of another type, which callers describe with
    // kCrossingTypes.
    bool in_table() const noexcept { return reason != value || keys > 0; }
};

// Whether the value at `index` can cross on its own or is a table (whose
// contents copy_values checks).  Never raises.  A cdata is left to
// is_pointer_cdata, which calls Lua.
bool can_cross(lua_State* L, int index) noexcept;

// Whether the cdata at `index` is a pointer (of any type, function pointers
// included), which crosses as its address.  Calls Lua (LuaJIT's ffi, as this
// state has loaded it): may raise.
bool is_pointer_cdata(lua_State* L, int index);

// Appends copies of stack slots first..last to `out.items`.  Returns true, or
// false with `refusal` filled when a value cannot cross: the copy stops
// there, and the keys of its path stay on the stack above the old top for
// push_refusal (the caller drops them).  On success the stack is as before.
// Never raises (the caller has reserved kCopyStackSlots); may throw
// std::bad_alloc, with the stack left above the old top.
bool copy_values(lua_State* L, int first, int last, Values& out, Refusal& refusal);

// After a copy_values of slots first..: turns every cdata the copy met into
// its address when it is a pointer; otherwise fills `refusal` (its path's
// keys pushed, as copy_values leaves them) and returns false.  Calls Lua, so
// it may raise: `values` must belong to an object that a Lua error does not
// skip (one a userdata or a caller outside the raise owns), and no C++
// object may live in between.
bool resolve_cdata(lua_State* L, int first, Values& values, Refusal& refusal);

// Pushes "PATH: REASON" for a refusal, PATH being the keys after the
// argument's own name (".config.handler", "[3]", or nothing), REASON as
// "a function cannot cross to another state".  Raises only for lack of
// memory: call it once the C++ work has ended.
void push_refusal(lua_State* L, const Refusal& refusal);

// Pushes the values; the caller has made room for values.size() + 4 slots.
// Raises only for lack of memory: call it where no C++ object is alive in
// between.
void push_values(lua_State* L, const Values& values);

}  // namespace luamods
