// The vector registers after library code.  Some of libcrypto's vector code
// (its AVX-512 ChaCha20-Poly1305, seen natively) returns with the upper halves
// of the vector registers still in use.  Until something executes vzeroupper,
// every legacy-SSE instruction that follows pays for that state: LuaJIT's
// number code ran three times slower after one 1 MiB seal, the module's own
// SHA-256 on the SHA extensions 0.6 times as fast.  So every call of the
// module that ran library code (libcrypto, libsodium, the system generator)
// leaves the state clean before it returns: its work runs inside a
// CleanVectorState scope.  The module's own code (SHA-256, HMAC- and
// HKDF-SHA-256, equal) is compiled for baseline x86-64 and uses no AVX, so it
// cannot leave the state dirty and goes without.
#pragma once

namespace luamods::crypto {

// True where vzeroupper may be executed: the CPU has AVX and the system has
// enabled the AVX state (XCR0); elsewhere the instruction faults.  Decided
// once, on first use.
bool vzeroupper_allowed_now() noexcept;

inline bool vzeroupper_allowed() noexcept
{
    static const bool allowed = vzeroupper_allowed_now();
    return allowed;
}

// Clears the upper halves of the vector registers; nothing where there are none.
inline void clear_upper_vector_state() noexcept
{
#if defined(__x86_64__)
    if (vzeroupper_allowed())
        __asm__ volatile("vzeroupper" ::: "memory");
#endif
}

// The scope of a call's library work: the upper vector state is clear when
// it ends, on every path.  A call opens it where its work starts and lets it
// end before anything can raise a Lua error.
class CleanVectorState {
public:
    CleanVectorState() noexcept = default;
    CleanVectorState(const CleanVectorState&) = delete;
    CleanVectorState& operator=(const CleanVectorState&) = delete;
    ~CleanVectorState() { clear_upper_vector_state(); }
};

// Runs library work that cannot fail (or reports failure in its result) in
// a CleanVectorState scope and returns its result: the noexcept operation of
// a function that holds nothing itself and so pushes without respond().
template <class Work>
inline auto clean_after(Work&& work) noexcept
{
    const CleanVectorState clean;
    return work();
}

}  // namespace luamods::crypto
