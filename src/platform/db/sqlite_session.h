// The SQLite backend: URI "sqlite:" followed by the path of the database
// file (absolute, or relative to the working folder).
#pragma once

#include <memory>
#include <string>

#include "platform/db/session.h"

namespace tsa::db {

// Opens the database file, creating it and its folder when missing; error
// -2147467259 when it cannot be opened.
std::unique_ptr<Session> OpenSqliteSession(const std::string& uri);


}  // namespace tsa::db
