// The reference of the methods callable by name, rendered as Markdown from
// the classes' dispatch tables.
#pragma once

#include <string>

#include "server/methods.h"

namespace tsa::server {

// Every method reachable for `audience`, class by class: its arguments with
// their types and directions, its result and its summary. A class that is
// not registered in this process is listed as not available.
std::string RenderApiReference(Audience audience = Audience::Network);

}  // namespace tsa::server
