// The streaming hashes and MACs: sha256_init, sha512_init, blake2b_init,
// blake2b_keyed_init, hmac_sha256_init and hmac_sha512_init each return a
// state object; state:update(data) absorbs bytes and returns the object,
// state:final() returns the digest or tag.  The work is done by the same
// streaming code as the one-shot functions of hashes.cpp (Sha256, Sha512,
// Hmac, Blake2b), so the two forms give the same bytes.
//
// A state object is a full userdata that holds its context inline.  Every
// context is plain data (for SHA-512 libcrypto's SHA512_CTX, not an EVP
// context), so a state owns no other memory: there is nothing to free, a
// failed allocation of the userdata leaves nothing behind, and no Lua error
// can skip a destructor.  The context holds key-derived pads and buffered
// input: final wipes every byte after the header, and so does __gc for a
// state that was never finished.
//
// final also gives the object a second metatable, the same but without
// __gc: a finished state has nothing left to wipe, and the collector frees
// an object without a finalizer at once instead of calling into it first.
//
// A state belongs to the Lua state that made it, coroutines included: its
// header records that state's registry table and every method compares it, so
// an object's bytes that reach another Lua state (copied by C code or through
// the FFI) are refused instead of being worked on from two threads.
#include <cstdint>
#include <cstring>
#include <new>

#include "Crypto/args.hpp"
#include "Crypto/blake2b.hpp"
#include "Crypto/functions.hpp"
#include "Crypto/hmac.hpp"
#include "Crypto/messages.hpp"
#include "Crypto/secret.hpp"
#include "Crypto/sha256.hpp"
#include "Crypto/sha512.hpp"
#include "Crypto/vector_state.hpp"
#include "common/reply.hpp"

namespace luamods::crypto {

namespace {

enum class Kind : std::uint8_t { sha256, sha512, hmac_sha256, hmac_sha512, blake2b, blake2b_keyed };

using HmacSha256 = Hmac<Sha256>;
using HmacSha512 = Hmac<Sha512>;

constexpr std::uint32_t kMagic = 0x6c6d6873;  // marks the userdata of a state object

// The start of every state object; its context follows at context_offset.
struct Header {
    std::uint32_t magic;
    std::uint32_t size;  // of the whole userdata
    const void* owner;   // registry table of the Lua state that made it
    Kind kind;
    std::uint8_t digest_size;
    std::uint8_t open;            // 1 from init until final or __gc
    std::uint8_t context_offset;  // aligned for the context
    std::uint32_t unused;
};
static_assert(sizeof(Header) == 24);

constexpr std::size_t kMaxDigest = 64;

// Address of the Lua state's registry table: the same for all its coroutines,
// different in every other Lua state.
const void* lua_state_identity(lua_State* L) { return lua_topointer(L, LUA_REGISTRYINDEX); }

template <class Ctx>
Ctx& context(Header* h)
{
    return *std::launder(
        reinterpret_cast<Ctx*>(reinterpret_cast<unsigned char*>(h) + h->context_offset));
}

// A new state object of `kind` on the stack, zero-filled, with the metatable
// (upvalue 1) and a context of type Ctx not yet initialised; not open.  May
// raise (memory) before anything is held.
template <class Ctx>
Header* new_state(lua_State* L, Kind kind, std::size_t digest_size)
{
    constexpr std::size_t slack = alignof(Ctx) > alignof(Header) ? alignof(Ctx) - 1 : 0;
    constexpr std::size_t size = sizeof(Header) + slack + sizeof(Ctx);
    static_assert(size <= UINT32_MAX && sizeof(Header) + slack < 256);
    void* p = lua_newuserdata(L, size);
    std::memset(p, 0, size);
    const auto base = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t at = (base + sizeof(Header) + alignof(Ctx) - 1) & ~(alignof(Ctx) - 1);
    auto* h = new (p) Header{kMagic,
                             static_cast<std::uint32_t>(size),
                             lua_state_identity(L),
                             kind,
                             static_cast<std::uint8_t>(digest_size),
                             0,
                             static_cast<std::uint8_t>(at - base),
                             0};
    new (reinterpret_cast<void*>(at)) Ctx;
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_setmetatable(L, -2);
    return h;
}

// The state object at `index`, open or finished, or null when that is
// anything else (a userdata of another kind, one given one of the
// metatables through the debug library, a light userdata).  The methods
// have both metatables as upvalues 1 (open) and 2 (finished).
Header* to_state(lua_State* L, int index)
{
    if (lua_type(L, index) != LUA_TUSERDATA || !lua_getmetatable(L, index))
        return nullptr;
    const bool ours = lua_rawequal(L, -1, lua_upvalueindex(1)) != 0 ||
                      lua_rawequal(L, -1, lua_upvalueindex(2)) != 0;
    lua_pop(L, 1);
    if (!ours)
        return nullptr;
    auto* h = static_cast<Header*>(lua_touserdata(L, index));
    const std::size_t size = lua_objlen(L, index);
    if (size < sizeof(Header) || h->magic != kMagic || h->size != size)
        return nullptr;
    return h;
}

// Argument 1 of a method: an open state object of this Lua state, or raises.
Header* check_state(lua_State* L, const char* method)
{
    Header* h = to_state(L, 1);
    if (h == nullptr)
        luaL_typerror(L, 1, msg::kStateType);
    if (h->owner != lua_state_identity(L))
        luaL_error(L, msg::kStateForeign, method);
    if (!h->open)
        luaL_error(L, msg::kStateFinalized, method);
    return h;
}

// Wipes everything after the header and closes the state.
void close_state(Header* h) noexcept
{
    wipe(reinterpret_cast<unsigned char*>(h) + sizeof(Header), h->size - sizeof(Header));
    h->open = 0;
}

void absorb(Header* h, const void* data, std::size_t n) noexcept
{
    switch (h->kind) {
    case Kind::sha256: Sha256::update(context<Sha256::Ctx>(h), data, n); break;
    case Kind::hmac_sha256: HmacSha256::update(context<HmacSha256::Ctx>(h), data, n); break;
    case Kind::sha512:
        clean_after([&] { Sha512::update(context<Sha512::Ctx>(h), data, n); });
        break;
    case Kind::hmac_sha512:
        clean_after([&] { HmacSha512::update(context<HmacSha512::Ctx>(h), data, n); });
        break;
    case Kind::blake2b:
    case Kind::blake2b_keyed:
        clean_after([&] { Blake2b::update(context<Blake2b::Ctx>(h), data, n); });
        break;
    }
}

// Writes the digest (digest_size bytes) and closes the state.
void finish(Header* h, unsigned char* out) noexcept
{
    switch (h->kind) {
    case Kind::sha256: Sha256::final(context<Sha256::Ctx>(h), out); break;
    case Kind::hmac_sha256: HmacSha256::final(context<HmacSha256::Ctx>(h), out); break;
    case Kind::sha512: clean_after([&] { Sha512::final(context<Sha512::Ctx>(h), out); }); break;
    case Kind::hmac_sha512:
        clean_after([&] { HmacSha512::final(context<HmacSha512::Ctx>(h), out); });
        break;
    case Kind::blake2b:
    case Kind::blake2b_keyed:
        clean_after([&] { Blake2b::final(context<Blake2b::Ctx>(h), out, h->digest_size); });
        break;
    }
    close_state(h);
}

// A MAC or a keyed digest is a secret; a plain digest is not.
bool secret_result(Kind kind)
{
    return kind == Kind::hmac_sha256 || kind == Kind::hmac_sha512 || kind == Kind::blake2b_keyed;
}

int state_update(lua_State* L)
{
    Header* h = check_state(L, "update");
    const Bytes data = check_bytes(L, 2);
    absorb(h, data.data, data.size);
    lua_settop(L, 1);
    return 1;
}

// A plain digest holds nothing and is pushed directly.
int final_digest(lua_State* L, Header* h)
{
    const std::size_t n = h->digest_size;
    unsigned char digest[kMaxDigest];
    finish(h, digest);
    lua_pushlstring(L, reinterpret_cast<const char*>(digest), n);
    return 1;
}

// A MAC or keyed digest is wiped once it has been pushed.
int final_secret(lua_State* L, Header* h)
{
    const std::size_t n = h->digest_size;
    return respond(L, kCrypto, [&](Reply& reply) {
        SecretBytes<kMaxDigest> tag;
        finish(h, tag.data());
        reply.push_bytes(tag.data(), n);
    });
}

int state_final(lua_State* L)
{
    Header* h = check_state(L, "final");
    lua_pushvalue(L, lua_upvalueindex(2));
    lua_setmetatable(L, 1);
    return secret_result(h->kind) ? final_secret(L, h) : final_digest(L, h);
}

// Called by the collector, and by anyone who reaches the metatable: it wipes
// a state that is still open and does nothing to anything else.
int state_gc(lua_State* L)
{
    Header* h = to_state(L, 1);
    if (h != nullptr && h->open)
        close_state(h);
    return 0;
}

char g_metatable_key;

// Pushes a C closure of f over the two metatables at -2 (open) and -1
// (finished).
void push_method(lua_State* L, lua_CFunction f)
{
    lua_pushvalue(L, -2);
    lua_pushvalue(L, -2);
    lua_pushcclosure(L, f, 2);
}

}  // namespace

// The metatable of open state objects of this Lua state, made once (with
// the finished objects' one), on the stack.
void push_state_metatable(lua_State* L)
{
    lua_pushlightuserdata(L, &g_metatable_key);
    lua_rawget(L, LUA_REGISTRYINDEX);
    if (lua_type(L, -1) == LUA_TTABLE)
        return;
    lua_pop(L, 1);
    lua_createtable(L, 0, 2);  // open
    lua_createtable(L, 0, 1);  // finished
    lua_createtable(L, 0, 2);  // the methods
    lua_insert(L, -3);
    push_method(L, state_update);
    lua_setfield(L, -4, "update");
    push_method(L, state_final);
    lua_setfield(L, -4, "final");
    push_method(L, state_gc);
    lua_setfield(L, -3, "__gc");
    lua_pushvalue(L, -3);
    lua_setfield(L, -2, "__index");
    lua_pushvalue(L, -3);
    lua_setfield(L, -3, "__index");
    lua_pop(L, 1);
    lua_remove(L, -2);
    lua_pushlightuserdata(L, &g_metatable_key);
    lua_pushvalue(L, -2);
    lua_rawset(L, LUA_REGISTRYINDEX);
}

// The functions that make state objects (upvalue 1: the metatable).  Each
// reads and checks its arguments as its one-shot function does, makes the
// object (which may raise: nothing is held yet) and then sets its context up
// in a scope that cannot raise.

int l_sha256_init(lua_State* L)
{
    Header* h = new_state<Sha256::Ctx>(L, Kind::sha256, kSha256Size);
    Sha256::init(context<Sha256::Ctx>(h));
    h->open = 1;
    return 1;
}

int l_sha512_init(lua_State* L)
{
    Header* h = new_state<Sha512::Ctx>(L, Kind::sha512, kSha512Size);
    clean_after([&] { Sha512::init(context<Sha512::Ctx>(h)); });
    h->open = 1;
    return 1;
}

int l_hmac_sha256_init(lua_State* L)
{
    const Bytes key = check_bytes(L, 1);
    Header* h = new_state<HmacSha256::Ctx>(L, Kind::hmac_sha256, kSha256Size);
    HmacSha256::init(context<HmacSha256::Ctx>(h), key.data, key.size);
    h->open = 1;
    return 1;
}

int l_hmac_sha512_init(lua_State* L)
{
    const Bytes key = check_bytes(L, 1);
    Header* h = new_state<HmacSha512::Ctx>(L, Kind::hmac_sha512, kSha512Size);
    clean_after([&] { HmacSha512::init(context<HmacSha512::Ctx>(h), key.data, key.size); });
    h->open = 1;
    return 1;
}

int l_blake2b_init(lua_State* L)
{
    const std::size_t size = check_blake2b_length(L, 1, msg::kBlake2bLength);
    Header* h = new_state<Blake2b::Ctx>(L, Kind::blake2b, size);
    clean_after([&] { Blake2b::init(context<Blake2b::Ctx>(h), nullptr, 0, size); });
    h->open = 1;
    return 1;
}

int l_blake2b_keyed_init(lua_State* L)
{
    const Bytes key = check_bytes(L, 1);
    const std::size_t size = check_blake2b_keyed(L, key, 2);
    Header* h = new_state<Blake2b::Ctx>(L, Kind::blake2b_keyed, size);
    clean_after([&] { Blake2b::init(context<Blake2b::Ctx>(h), key.data, key.size, size); });
    h->open = 1;
    return 1;
}

}  // namespace luamods::crypto
