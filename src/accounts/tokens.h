// Personal API tokens: "tsa_<id>_<secret>", sent as "Authorization: Bearer".
//
// The secret is 256 random bits, shown once when the token is made; the
// database keeps the identifier and the hash of the whole token, which is
// compared in constant time. A revoked token, or one of a disabled account,
// stops working with the next request.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/accounts.h"

namespace tsa::accounts {

struct TokenInfo {
  std::string id;
  std::string login;
  std::string label;
  std::string created;
  std::string revoked;  // "" while valid
};

struct NewToken {
  std::string id;
  std::string token;  // the only time it is seen
};

// Raises 1306 for an unknown login.
NewToken CreateToken(const std::string& login, const std::string& label);
std::vector<TokenInfo> ListTokens(const std::string& login);
// Raises 1307 for an unknown or already revoked identifier.
void RevokeToken(const std::string& id);
// The enabled account a token belongs to, or nothing.
std::optional<Account> AccountForToken(std::string_view token);

}  // namespace tsa::accounts
