-- Published test vectors: FIPS 180-4 examples, RFC 4231, RFC 5869, RFC 7693,
-- RFC 8439, the XChaCha20-Poly1305 draft, RFC 7748 and RFC 8032.
local T = require("testlib")
-- The optional argument names a test build of the module (tests/crypto/CMakeLists.txt).
local c = T.load(arg[1] or "crypto", "luaopen_crypto")
local H, X = T.hex, T.unhex

T.case("SHA-256 and SHA-512 examples, including one million 'a'", function()
  local long448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"
  local long896 = "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"
  local cases = {
    { "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
      "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e" },
    { "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
      "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f" },
    { long448, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
      "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea57789ca031ad85c7a71dd70354ec631238ca3445" },
    { long896, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1",
      "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909" },
    { string.rep("a", 1000000), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
      "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b" },
  }
  for i, v in ipairs(cases) do
    T.eq(H(c.sha256(v[1])), v[2], "sha256 #" .. i)
    T.eq(H(c.sha512(v[1])), v[3], "sha512 #" .. i)
  end
end)

T.case("HMAC-SHA-256 and HMAC-SHA-512: RFC 4231 cases 1 to 7", function()
  local big = string.rep("\170", 131)
  local cases = {
    { string.rep("\11", 20), "Hi There",
      "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
      "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854" },
    { "Jefe", "what do ya want for nothing?",
      "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
      "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737" },
    { string.rep("\170", 20), string.rep("\221", 50),
      "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe",
      "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39bf3e848279a722c806b485a47e67c807b946a337bee8942674278859e13292fb" },
    { X("0102030405060708090a0b0c0d0e0f10111213141516171819"), string.rep("\205", 50),
      "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b",
      "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3dba91ca5c11aa25eb4d679275cc5788063a5f19741120c4f2de2adebeb10a298dd" },
    -- Case 5 publishes the first 128 bits only.
    { string.rep("\12", 20), "Test With Truncation",
      "a3b6167473100ee06e0c796c2955552b", "415fad6271580a531d4179bc891d87a6" },
    { big, "Test Using Larger Than Block-Size Key - Hash Key First",
      "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54",
      "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598" },
    { big, "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be hashed before being used by the HMAC algorithm.",
      "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2",
      "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944b6022cac3c4982b10d5eeb55c3e4de15134676fb6de0446065c97440fa8c6a58" },
  }
  for i, v in ipairs(cases) do
    T.eq(H(c.hmac_sha256(v[1], v[2])):sub(1, #v[3]), v[3], "hmac_sha256 case " .. i)
    T.eq(H(c.hmac_sha512(v[1], v[2])):sub(1, #v[4]), v[4], "hmac_sha512 case " .. i)
  end
end)

T.case("HKDF-SHA-256: RFC 5869 cases 1 to 3", function()
  local range = function(a, b)
    local t = {}
    for i = a, b do t[#t + 1] = string.char(i) end
    return table.concat(t)
  end
  T.eq(H(c.hkdf_sha256(string.rep("\11", 22), range(0, 12), range(0xf0, 0xf9), 42)),
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865", "case 1")
  T.eq(H(c.hkdf_sha256(range(0, 0x4f), range(0x60, 0xaf), range(0xb0, 0xff), 82)),
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87", "case 2")
  T.eq(H(c.hkdf_sha256(string.rep("\11", 22), "", "", 42)),
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8", "case 3")
end)

T.case("BLAKE2b-512 of abc: RFC 7693", function()
  local expected = "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d17d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923"
  T.eq(H(c.blake2b("abc")), expected)
  T.eq(H(c.blake2b("abc", 64)), expected)
  T.eq(H(c.blake2b_keyed("", "abc")), expected)
end)

local sunscreen = "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, sunscreen would be it."
local aead_key = X("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f")
local aead_ad = X("50515253c0c1c2c3c4c5c6c7")

T.case("ChaCha20-Poly1305: RFC 8439 section 2.8.2", function()
  local nonce = X("070000004041424344454647")
  local sealed = X([[
    d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b
    1a71de0a9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc
    3ff4def08e4b7a9de576d26586cec64b6116 1ae10b594f09e26a7e902ecbd0600691]])
  T.eq(c.chacha20poly1305_encrypt(aead_key, nonce, aead_ad, sunscreen), sealed)
  T.eq(c.chacha20poly1305_decrypt(aead_key, nonce, aead_ad, sealed), sunscreen)
end)

T.case("XChaCha20-Poly1305: the draft's AEAD example", function()
  local nonce = X("404142434445464748494a4b4c4d4e4f5051525354555657")
  local sealed = X([[
    bd6d179d3e83d43b9576579493c0e939572a1700252bfaccbed2902c21396cbb731c7f1b0b4aa6440bf3a82f4eda7e39
    ae64c6708c54c216cb96b72e1213b4522f8c9ba40db5d945b11b69b982c1bb9e3f3fac2bc369488f76b2383565d3fff9
    21f9664c97637da9768812f615c68b13b52e c0875924c1c7987947deafd8780acf49]])
  T.eq(c.xchacha20poly1305_encrypt(aead_key, nonce, aead_ad, sunscreen), sealed)
  T.eq(c.xchacha20poly1305_decrypt(aead_key, nonce, aead_ad, sealed), sunscreen)
end)

T.case("X25519: RFC 7748 section 6.1", function()
  local a_sk = X("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a")
  local a_pk = X("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a")
  local b_sk = X("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb")
  local b_pk = X("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f")
  local shared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"
  T.eq(c.x25519_public_key(a_sk), a_pk)
  T.eq(c.x25519_public_key(b_sk), b_pk)
  local sk, pk = c.x25519_keypair(a_sk)
  T.eq(sk, a_sk)
  T.eq(pk, a_pk)
  T.eq(H(c.x25519(a_sk, b_pk)), shared)
  T.eq(H(c.x25519(b_sk, a_pk)), shared)
end)

-- RFC 8032 section 7.1: seed, public key, message, signature.
local rfc8032 = {
  { "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
    "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b" },
  { "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
    "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
    "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00" },
  { "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
    "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
    "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a" },
  { "f5e5767cf153319517630f226876b86c8160cc583bc013744c6bf255f5cc0ee5",
    "278117fc144c72340f67d0f2316e8386ceffbf2b2428c9c51fef7c597f1d426e", [[
    08b8b2b733424243760fe426a4b54908632110a66c2f6591eabd3345e3e4eb98fa6e264bf09efe12ee50f8f54e9f77b1
    e355f6c50544e23fb1433ddf73be84d879de7c0046dc4996d9e773f4bc9efe5738829adb26c81b37c93a1b270b20329d
    658675fc6ea534e0810a4432826bf58c941efb65d57a338bbd2e26640f89ffbc1a858efcb8550ee3a5e1998bd177e93a
    7363c344fe6b199ee5d02e82d522c4feba15452f80288a821a579116ec6dad2b3b310da903401aa62100ab5d1a36553e
    06203b33890cc9b832f79ef80560ccb9a39ce767967ed628c6ad573cb116dbefefd75499da96bd68a8a97b928a8bbc10
    3b6621fcde2beca1231d206be6cd9ec7aff6f6c94fcd7204ed3455c68c83f4a41da4af2b74ef5c53f1d8ac70bdcb7ed1
    85ce81bd84359d44254d95629e9855a94a7c1958d1f8ada5d0532ed8a5aa3fb2d17ba70eb6248e594e1a2297acbbb39d
    502f1a8c6eb6f1ce22b3de1a1f40cc24554119a831a9aad6079cad88425de6bde1a9187ebb6092cf67bf2b13fd65f270
    88d78b7e883c8759d2c4f5c65adb7553878ad575f9fad878e80a0c9ba63bcbcc2732e69485bbc9c90bfbd62481d9089b
    eccf80cfe2df16a2cf65bd92dd597b0707e0917af48bbb75fed413d238f5555a7a569d80c3414a8d0859dc65a46128ba
    b27af87a71314f318c782b23ebfe808b82b0ce26401d2e22f04d83d1255dc51addd3b75a2b1ae0784504df543af8969b
    e3ea7082ff7fc9888c144da2af58429ec96031dbcad3dad9af0dcbaaaf268cb8fcffead94f3c7ca495e056a9b47acdb7
    51fb73e666c6c655ade8297297d07ad1ba5e43f1bca32301651339e22904cc8c42f58c30c04aafdb038dda0847dd988d
    cda6f3bfd15c4b4c4525004aa06eeff8ca61783aacec57fb3d1f92b0fe2fd1a85f6724517b65e614ad6808d6f6ee34df
    f7310fdc82aebfd904b01e1dc54b2927094b2db68d6f903b68401adebf5a7e08d78ff4ef5d63653a65040cf9bfd4aca7
    984a74d37145986780fc0b16ac451649de6188a7dbdf191f64b5fc5e2ab47b57f7f7276cd419c17a3ca8e1b939ae49e4
    88acba6b965610b5480109c8b17b80e1b7b750dfc7598d5d5011fd2dcc5600a32ef5b52a1ecc820e308aa342721aac09
    43bf6686b64b2579376504ccc493d97e6aed3fb0f9cd71a43dd497f01f17c0e2cb3797aa2a2f256656168e6c496afc5f
    b93246f6b1116398a346f1a641f3b041e989f7914f90cc2c7fff357876e506b50d334ba77c225bc307ba537152f3f161
    0e4eafe595f6d9d90d11faa933a15ef1369546868a7f3a45a96768d40fd9d03412c091c6315cf4fde7cb68606937380d
    b2eaaa707b4c4185c32eddcdd306705e4dc1ffc872eeee475a64dfac86aba41c0618983f8741c5ef68d3a101e8a3b8ca
    c60c905c15fc910840b94c00a0b9d0]],
    "0aab4c900501b3e24d7cdf4663326a3a87df5e4843b2cbdb67cbf6e460fec350aa5371b1508f9f4528ecea23c436d94b5e8fcd4f681e30a6ac00a9704a188a03" },
  { "833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
    "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
    "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
    "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431e0303dca179c138ac17ad9bef1177331a704" },
}

T.case("Ed25519: RFC 8032 section 7.1, the 1023-byte message included", function()
  T.eq(#X(rfc8032[4][3]), 1023, "length of the TEST 1024 message")
  for i, v in ipairs(rfc8032) do
    local seed, pk, msg, sig = X(v[1]), X(v[2]), X(v[3]), X(v[4])
    local sk, got_pk = c.ed25519_keypair(seed)
    T.eq(sk, seed .. pk, "secret key " .. i)
    T.eq(got_pk, pk, "public key " .. i)
    T.eq(c.ed25519_public_key(sk), pk)
    T.eq(c.ed25519_sign(sk, msg), sig, "signature " .. i)
    T.eq(c.ed25519_verify(pk, msg, sig), true, "verify " .. i)
    T.eq(c.ed25519_verify(pk, msg .. "x", sig), false, "verify of another message " .. i)
  end
end)

return T.finish()
