// The tables of accounts, personal tokens, browser sessions, sign-in
// failure counts and the audit trail (src/accounts/ works on them). They belong to the service database
// and are created with its other tables by `tsauthor init`.
//
// Times are UTC texts "YYYY-MM-DDThh:mm:ss.uuuuuuZ" (they sort as they read);
// session times are seconds since the epoch. Secrets are never stored: a
// token or a session is kept as the hash of its secret only.
#pragma once

#include <string>
#include <vector>

#include "platform/db/dialect.h"

namespace tsa::storage {

std::vector<std::string> AccountsSchema(const db::Dialect& dialect);

}  // namespace tsa::storage
