// Every message of crypto, in one place.  The messages carry no module name:
// a function's own checks name the function, the shared ones name the
// argument.  Raised ones go through luaL_error; the soft failures are the
// second result after nil.
#pragma once

namespace luamods::crypto::msg {

// Raised.
inline constexpr char kWrongSize[] = "%s must be %d bytes (got %d)";  // label, size, length
inline constexpr char kOutOfMemory[] = "out of memory";
inline constexpr char kInputTooLarge[] = "input too large (max 64 MiB)";
inline constexpr char kRandomSize[] = "random: size out of range";
inline constexpr char kRandomFailed[] = "random: the OS CSPRNG failed";
inline constexpr char kX25519RandomFailed[] = "x25519_keypair: the OS CSPRNG failed";
inline constexpr char kEd25519RandomFailed[] = "ed25519_keypair: the OS CSPRNG failed";
inline constexpr char kHkdfLength[] = "hkdf: output length out of range";
inline constexpr char kBlake2bLength[] = "blake2b: length must be 1..64";
inline constexpr char kBlake2bKeyedLength[] = "blake2b_keyed: length must be 1..64";
inline constexpr char kBlake2bKeyedKey[] = "blake2b_keyed: key must be at most 64 bytes";
// The methods of the hash and MAC state objects; %s is the method's name.
inline constexpr char kStateFinalized[] = "%s: state used after final";
inline constexpr char kStateForeign[] = "%s: state belongs to another Lua state";
// The expected type in the argument error of a method called on anything else.
inline constexpr char kStateType[] = "hash state";

// Returned after nil.
inline constexpr char kCiphertextTooShort[] = "ciphertext too short";
inline constexpr char kAuthenticationFailed[] = "authentication failed";
inline constexpr char kLowOrderPoint[] = "low-order point";

// The labels of the fixed-size arguments in kWrongSize.
inline constexpr char kSecretKey[] = "secret key";
inline constexpr char kPublicKey[] = "public key";
inline constexpr char kSeed[] = "seed";
inline constexpr char kKey[] = "key";
inline constexpr char kNonce[] = "nonce";

}  // namespace luamods::crypto::msg
