// tsauthor user ...: accounts and personal tokens, without a running service.
// Changes are made as the local operator ("local:<OS user>") and audited.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "accounts/call_guard.h"
#include "accounts/roles.h"
#include "accounts/tokens.h"
#include "cli/commands.h"
#include "runtime/caller.h"
#include "runtime/error.h"

namespace tsa::cli {

const char* const kUserUsage = R"(  user add LOGIN --role ROLE [--name TEXT] [--password-stdin]
              create an account (roles: reader, author, publisher, admin);
              the password is read from the terminal without echo, or as one
              line from standard input with --password-stdin
  user passwd LOGIN [--password-stdin]    set a new password
  user role LOGIN ROLE                     change the role
  user disable LOGIN | user enable LOGIN   stop or allow sign-in and tokens
  user list                                the accounts
  user token LOGIN [--label TEXT]          make a personal API token (printed once)
  user tokens LOGIN                        the tokens of an account
  user revoke TOKEN-ID                     revoke a token at once
)";

namespace {

int Usage(const std::string& why) {
  std::fprintf(stderr, "tsauthor: %s\nusage:\n%s", why.c_str(), kUserUsage);
  return 2;
}

struct Parsed {
  std::vector<std::string> positional;
  std::optional<std::string> role, name, label;
  bool passwordStdin = false;
  std::string error;
};

Parsed Parse(const std::vector<std::string>& args) {
  Parsed p;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::optional<std::string>& into) {
      if (i + 1 >= args.size()) {
        p.error = "option " + a + " needs a value";
      } else {
        into = args[++i];
      }
    };
    if (a == "--role") {
      value(p.role);
    } else if (a == "--name") {
      value(p.name);
    } else if (a == "--label") {
      value(p.label);
    } else if (a == "--password-stdin") {
      p.passwordStdin = true;
    } else if (a.rfind("--", 0) == 0) {
      p.error = "unknown option " + a;
    } else {
      p.positional.push_back(a);
    }
    if (!p.error.empty()) break;
  }
  return p;
}

// Reads a line from the terminal without echo.
std::optional<std::string> ReadHidden(const char* prompt) {
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  termios old{};
  const bool tty = ::tcgetattr(STDIN_FILENO, &old) == 0;
  if (tty) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  const bool got = static_cast<bool>(std::getline(std::cin, line));
  if (tty) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
  std::fputs("\n", stderr);
  if (!got) return std::nullopt;
  return line;
}

// The new password, or nothing after printing why (usage).
std::optional<std::string> ReadPassword(bool fromStdin, const std::string& login) {
  if (fromStdin) {
    std::string line;
    if (!std::getline(std::cin, line)) {
      Usage("--password-stdin: standard input holds no line");
      return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  if (!::isatty(STDIN_FILENO)) {
    Usage("no terminal to read the password from: give it on standard input with --password-stdin");
    return std::nullopt;
  }
  auto first = ReadHidden(("Password for " + login + ": ").c_str());
  auto second = first ? ReadHidden("Again: ") : std::nullopt;
  if (!first || !second || *first != *second) {
    Usage("the two passwords differ");
    return std::nullopt;
  }
  return first;
}

}  // namespace

int CmdUser(const std::vector<std::string>& args, const std::function<void()>& open) {
  if (args.empty()) return Usage("user needs a subcommand");
  const std::string& sub = args[0];
  Parsed p = Parse(args);
  if (!p.error.empty()) return Usage(p.error);
  auto want = [&](size_t n) { return p.positional.size() == n; };
  static const std::vector<std::string> kKnown = {"add", "passwd", "role", "disable", "enable",
                                                  "list", "token", "tokens", "revoke"};
  if (std::find(kKnown.begin(), kKnown.end(), sub) == kKnown.end()) {
    return Usage("unknown user subcommand '" + sub + "'");
  }
  // Each subcommand checks its arguments, then opens the databases.
  std::optional<CallerScope> operatorScope;
  auto ready = [&] {
    open();
    operatorScope.emplace(accounts::InProcessCaller(""));
  };

  if (sub == "add") {
    if (!want(1) || !p.role) return Usage("user add takes LOGIN and --role ROLE");
    if (!accounts::ParseRole(*p.role)) return Usage("roles are reader, author, publisher and admin");
    ready();
    const accounts::Role role = accounts::RequireRole(*p.role);
    accounts::ValidateLogin(p.positional[0]);
    auto password = ReadPassword(p.passwordStdin, p.positional[0]);
    if (!password) return 2;
    accounts::CreateAccount(p.positional[0], p.name.value_or(std::string()), role, *password);
    std::printf("account %s created with the role %s\n", p.positional[0].c_str(), accounts::RoleName(role));
    return 0;
  }
  if (sub == "passwd") {
    if (!want(1)) return Usage("user passwd takes LOGIN");
    ready();
    accounts::RequireAccount(p.positional[0]);
    auto password = ReadPassword(p.passwordStdin, p.positional[0]);
    if (!password) return 2;
    accounts::SetPassword(p.positional[0], *password);
    std::printf("password of %s changed; its browser sessions have ended\n", p.positional[0].c_str());
    return 0;
  }
  if (sub == "role") {
    if (!want(2)) return Usage("user role takes LOGIN and ROLE");
    ready();
    const accounts::Role role = accounts::RequireRole(p.positional[1]);
    accounts::SetRole(p.positional[0], role);
    std::printf("%s now has the role %s\n", p.positional[0].c_str(), accounts::RoleName(role));
    return 0;
  }
  if (sub == "disable" || sub == "enable") {
    if (!want(1)) return Usage("user " + sub + " takes LOGIN");
    ready();
    accounts::SetDisabled(p.positional[0], sub == "disable");
    std::printf("%s %s\n", p.positional[0].c_str(), sub == "disable" ? "disabled" : "enabled");
    return 0;
  }
  if (sub == "list") {
    if (!want(0)) return Usage("user list takes no arguments");
    ready();
    std::printf("%-24s %-10s %-9s %-28s %s\n", "LOGIN", "ROLE", "STATE", "LAST SIGN-IN", "NAME");
    for (const accounts::Account& a : accounts::ListAccounts()) {
      std::printf("%-24s %-10s %-9s %-28s %s\n", a.login.c_str(), a.role.c_str(), a.disabled ? "disabled" : "enabled",
                  a.lastSignIn.empty() ? "-" : a.lastSignIn.c_str(), a.name.c_str());
    }
    return 0;
  }
  if (sub == "token") {
    if (!want(1)) return Usage("user token takes LOGIN");
    ready();
    const accounts::NewToken t = accounts::CreateToken(p.positional[0], p.label.value_or(std::string()));
    std::fprintf(stderr, "token %s for %s; it is shown only now: keep it like a password\n", t.id.c_str(),
                 p.positional[0].c_str());
    std::printf("%s\n", t.token.c_str());
    return 0;
  }
  if (sub == "tokens") {
    if (!want(1)) return Usage("user tokens takes LOGIN");
    ready();
    accounts::RequireAccount(p.positional[0]);
    std::printf("%-16s %-28s %-28s %s\n", "TOKEN-ID", "CREATED", "REVOKED", "LABEL");
    for (const accounts::TokenInfo& t : accounts::ListTokens(p.positional[0])) {
      std::printf("%-16s %-28s %-28s %s\n", t.id.c_str(), t.created.c_str(), t.revoked.empty() ? "-" : t.revoked.c_str(),
                  t.label.c_str());
    }
    return 0;
  }
  if (sub == "revoke") {
    if (!want(1)) return Usage("user revoke takes TOKEN-ID");
    ready();
    accounts::RevokeToken(p.positional[0]);
    std::printf("token %s revoked\n", p.positional[0].c_str());
    return 0;
  }
  return Usage("unknown user subcommand '" + sub + "'");
}

}  // namespace tsa::cli
