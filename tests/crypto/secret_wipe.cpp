// The secret buffer types wipe what they held when they go: each is built in
// storage this test owns, filled, destroyed, and the storage must read zeros
// over everything the buffer held (for OutputBytes, the bytes of its stack
// path, which the AEAD functions write their outputs to).  Nothing else
// checks it: a buffer that forgot to wipe would still give every right
// answer.
#include <cstdio>
#include <cstring>
#include <new>

#include "Crypto/secret.hpp"

using namespace luamods::crypto;

namespace {

int failures = 0;

// Builds a T in storage of its own, lets fill() write through it, destroys it
// and checks that the first `held` bytes of the storage are zero.
template <class T, class Fill>
void check(const char* what, std::size_t held, Fill fill)
{
    alignas(T) unsigned char storage[sizeof(T)];
    // Read through volatile: once the object is gone, the compiler may take
    // its bytes for undefined and fold plain reads of them.
    const volatile unsigned char* bytes = storage;
    T* t = new (storage) T;
    fill(*t);
    bool filled = false;
    for (std::size_t i = 0; i < held; ++i)
        filled = filled || bytes[i] != 0;
    t->~T();
    bool zero = true;
    for (std::size_t i = 0; i < held; ++i)
        zero = zero && bytes[i] == 0;
    if (!filled || !zero) {
        std::printf("FAIL %s: %s\n", what, filled ? "not wiped" : "the fill wrote nothing");
        ++failures;
    }
}

struct Key {
    unsigned char bytes[48];
};

}  // namespace

int main()
{
    check<SecretBytes<64>>("SecretBytes", 64,
                           [](SecretBytes<64>& s) { std::memset(s.data(), 0xA5, s.size()); });
    check<Secret<Key>>("Secret", sizeof(Key),
                       [](Secret<Key>& s) { std::memset(s->bytes, 0x5A, sizeof s->bytes); });
    // The stack path of an output buffer, as the AEAD functions use it.
    check<OutputBytes<256>>("OutputBytes (stack)", 200, [](OutputBytes<256>& o) {
        if (o.allocate(200))
            std::memset(o.data(), 0xC3, 200);
    });
    std::printf("%s\n", failures == 0 ? "ok   secret buffers are wiped when they go" : "failed");
    return failures == 0 ? 0 : 1;
}
