// Base64 (RFC 4648 alphabet, "=" padding, no line breaks), used for the Basic
// authorisation of HTTP, proxy and tunnel requests.
#pragma once

#include <string>
#include <string_view>

namespace qv::net {

std::string Base64Encode(std::string_view value);

}  // namespace qv::net
