// Secrets through libsodium: random secrets, their hashes, comparison in
// constant time, and Argon2id password hashes.
//
// A secret handed to a person (a token, a session cookie, the setup link)
// is 256 random bits; only its hash is stored. Password hashes are
// crypto_pwhash_str texts, which carry their own parameters, so a change of
// cost applies to new hashes and old ones still verify.
#pragma once

#include <string>
#include <string_view>

namespace tsa::accounts {

// Initialises libsodium once; raises 1310 when it cannot.
void EnsureSodium();

// `bytes` random bytes as unpadded base64url text.
std::string RandomSecret(size_t bytes = 32);
// `bytes` random bytes as lower-case hexadecimal.
std::string RandomHex(size_t bytes);
// The BLAKE2b hash of a secret as hexadecimal (what is stored).
std::string HashSecret(std::string_view secret);
// Equal texts, compared in time that depends on their length only.
bool SecretsEqual(std::string_view a, std::string_view b);

// An Argon2id hash of a password at the configured cost
// (Settings::auth.passwordHashCost). Raises 1200 for an unknown cost name.
std::string HashPassword(std::string_view password);
// Whether the password matches the stored hash; false for an empty or
// malformed hash.
bool VerifyPassword(std::string_view password, const std::string& hash);
// Whether a stored hash was made at another cost than the configured one.
bool PasswordNeedsRehash(const std::string& hash);

}  // namespace tsa::accounts
