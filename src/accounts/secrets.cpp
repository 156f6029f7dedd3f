#include "accounts/secrets.h"

#include <sodium.h>

#include <mutex>
#include <vector>

#include "accounts/errors.h"
#include "runtime/error.h"
#include "runtime/settings.h"

namespace tsa::accounts {

namespace {

struct Cost {
  unsigned long long ops;
  size_t mem;
};

Cost ConfiguredCost() {
  const std::string& name = CurrentSettings().auth.passwordHashCost;
  if (name == "interactive") return {crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
  if (name == "moderate") return {crypto_pwhash_OPSLIMIT_MODERATE, crypto_pwhash_MEMLIMIT_MODERATE};
  if (name == "sensitive") return {crypto_pwhash_OPSLIMIT_SENSITIVE, crypto_pwhash_MEMLIMIT_SENSITIVE};
  // Cheap hashes keep a test suite that creates many accounts fast. Never a default.
  if (name == "test-minimum") return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
  RaiseInvalidArgument("auth.password_hash_cost",
                       "expected interactive, moderate or sensitive, got '" + name.substr(0, 40) + "'");
}

}  // namespace

void EnsureSodium() {
  static const int status = sodium_init();  // 0 first time, 1 when already done
  if (status < 0) Raise(err::CryptoUnavailable, kSource, "The cryptography library could not be initialised");
}

std::string RandomSecret(size_t bytes) {
  EnsureSodium();
  std::vector<unsigned char> raw(bytes);
  randombytes_buf(raw.data(), raw.size());
  std::string text(sodium_base64_ENCODED_LEN(bytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
  sodium_bin2base64(text.data(), text.size(), raw.data(), raw.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  text.resize(std::char_traits<char>::length(text.c_str()));
  sodium_memzero(raw.data(), raw.size());
  return text;
}

std::string RandomHex(size_t bytes) {
  EnsureSodium();
  std::vector<unsigned char> raw(bytes);
  randombytes_buf(raw.data(), raw.size());
  std::string text(bytes * 2 + 1, '\0');
  sodium_bin2hex(text.data(), text.size(), raw.data(), raw.size());
  text.pop_back();
  return text;
}

std::string HashSecret(std::string_view secret) {
  EnsureSodium();
  unsigned char digest[crypto_generichash_BYTES];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(secret.data()), secret.size(),
                     nullptr, 0);
  std::string text(sizeof digest * 2 + 1, '\0');
  sodium_bin2hex(text.data(), text.size(), digest, sizeof digest);
  text.pop_back();
  return text;
}

bool SecretsEqual(std::string_view a, std::string_view b) {
  EnsureSodium();
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string HashPassword(std::string_view password) {
  EnsureSodium();
  const Cost cost = ConfiguredCost();
  char hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(hash, password.data(), password.size(), cost.ops, cost.mem) != 0) {
    Raise(err::CryptoUnavailable, kSource, "The password could not be hashed (out of memory)");
  }
  return hash;
}

bool VerifyPassword(std::string_view password, const std::string& hash) {
  EnsureSodium();
  if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return false;
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

bool PasswordNeedsRehash(const std::string& hash) {
  EnsureSodium();
  const Cost cost = ConfiguredCost();
  return crypto_pwhash_str_needs_rehash(hash.c_str(), cost.ops, cost.mem) != 0;
}

}  // namespace tsa::accounts
