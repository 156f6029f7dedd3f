// Compact text for stored documents and rows: zlib-deflated, then base64, so
// that it travels through any database's TEXT column and bound parameters.
#pragma once

#include <string>
#include <string_view>

namespace tsa::versions {

std::string Pack(std::string_view text);
// The text Pack made; error 1402 when `packed` is not such a text.
std::string Unpack(std::string_view packed);

}  // namespace tsa::versions
