#pragma once

#include <QStringView>

#include <array>
#include <optional>
#include <span>

namespace umbrafold {

constexpr int kPasswordIterations = 600000;
using PasswordSalt = std::array<unsigned char, 16>;
using PasswordKey = std::array<unsigned char, 32>;

// The key derivation behind SessionPassword: PBKDF2-HMAC-SHA-256 with
// kPasswordIterations iterations and a 32-byte key, over the UTF-8 bytes (no
// terminating NUL) of the NFC form of `password`, with the whole `salt`.
// Canonically equivalent texts give the same key. Returns nothing when the
// derivation fails. Every temporary copy of the password's bytes is wiped
// before it is freed; the caller owns the returned key and should wipe it
// once done. Any thread; takes about a fifth of a second.
std::optional<PasswordKey> deriveKey(QStringView password, std::span<const unsigned char, 16> salt);

}  // namespace umbrafold
