#pragma once

#include <QStringView>

#include <array>
#include <span>

namespace umbrafold {

constexpr unsigned kPasswordIterations = 600000;
using PasswordSalt = std::array<unsigned char, 16>;
using PasswordKey = std::array<unsigned char, 32>;

// The key derivation behind SessionPassword: PBKDF2-HMAC-SHA-256 with
// kPasswordIterations iterations and a 32-byte key, over the UTF-8 bytes (no
// terminating NUL) of the NFC form of `password`, with the whole `salt`.
// Canonically equivalent texts give the same key. Every temporary copy of the
// password's bytes is wiped before it is freed, and the derivation leaves
// nothing of them behind (see pbkdf2HmacSha256); the caller owns the returned
// key and should wipe it once done. Any thread; takes about a tenth of a
// second.
PasswordKey deriveKey(QStringView password, std::span<const unsigned char, 16> salt);

// PBKDF2-HMAC-SHA-256 (RFC 8018) of the raw bytes `password` with `salt` and
// `rounds` iterations, filling the whole of `key` (any length; each further
// 32 bytes cost another run of the rounds). REQUIRES: rounds >= 1. Leaves
// nothing of the password in memory it used, the calling thread's stack
// below the caller's frame included: no copy of its bytes, of the HMAC key
// blocks (the key XOR the inner and outer pads) or of the SHA-256 states
// after absorbing those blocks. Any thread.
void pbkdf2HmacSha256(std::span<const unsigned char> password, std::span<const unsigned char> salt,
                      unsigned rounds, std::span<unsigned char> key);

}  // namespace umbrafold
