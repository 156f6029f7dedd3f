// Accounts: who may call the service, with which role.
//
// An account has a login (the text the engine stores as a check-out
// holder), a display name, a role, an Argon2id password hash (empty: no
// sign-in by password, tokens only), a disabled flag, and its creation and
// last sign-in times. Every change is audited in its own transaction, under
// the current caller (or "local" outside any).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/roles.h"

namespace tsa::accounts {

struct Account {
  std::string login;
  std::string name;
  std::string role;
  bool disabled = false;
  bool hasPassword = false;
  std::string created;
  std::string lastSignIn;  // "" when never
};

// Logins: 1 to 64 of A-Z a-z 0-9 . _ @ -, and not the service account's.
// Raises 1200 naming the argument.
void ValidateLogin(std::string_view login, std::string_view what = "login");
// Passwords: 8 to 1024 bytes. Raises 1200.
void ValidatePassword(std::string_view password);

// The login that audit rows and account changes are made under.
std::string ActorLogin();

int64_t CountAccounts();
std::optional<Account> FindAccount(const std::string& login);
// The account of a login; raises 1306 when there is none.
Account RequireAccount(const std::string& login);
std::vector<Account> ListAccounts();

// Raises 1305 when the login is taken.
void CreateAccount(const std::string& login, const std::string& name, Role role, const std::string& password);
// Creates the first administrator, only while no account exists (1308 otherwise).
void CreateFirstAdmin(const std::string& login, const std::string& name, const std::string& password);
// Each raises 1306 for an unknown login.
void SetPassword(const std::string& login, const std::string& password);
void SetRole(const std::string& login, Role role);
void SetDisabled(const std::string& login, bool disabled);

// Sign-in by password: the account when the login exists, is enabled and
// the password matches; else nothing, in about the same time either way.
// `known`, when given, tells whether the login names an account.
std::optional<Account> CheckPassword(const std::string& login, const std::string& password, bool* known = nullptr);
// Notes a successful sign-in.
void RecordSignIn(const std::string& login);

}  // namespace tsa::accounts
