// The values that cross from one Lua state to another: nil, booleans,
// numbers, strings and light userdata (addresses).  They are copied out of
// one state into plain C++ values and pushed into the other, so the two
// states never share a Lua object.  Used by the threads module and by the
// host program, which start states on threads of their own.
#pragma once

#include <lua.hpp>

#include <string>
#include <variant>
#include <vector>

namespace luamods {

struct Address {
    void* p;
};
using Value = std::variant<std::monostate, bool, lua_Number, std::string, Address>;
using Values = std::vector<Value>;

// The types that cross, as the argument errors name them.
inline constexpr const char* kCrossingTypes = "nil, boolean, number, string or light userdata";

// Whether the value at `index` can cross.  Never raises.
bool can_cross(lua_State* L, int index) noexcept;

// Appends copies of stack slots first..last to `out`.  Returns 0, or the
// first slot whose value cannot cross (nothing after it is copied).  Never
// raises; may throw std::bad_alloc.
int copy_values(lua_State* L, int first, int last, Values& out);

// Pushes the values; the caller has made room for them on the stack.  Raises
// only for lack of memory: call it where no C++ object is alive in between.
void push_values(lua_State* L, const Values& values);

}  // namespace luamods
