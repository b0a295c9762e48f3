// SHA-1, for the one thing the client needs it for: the name under which a
// Redis server caches a script (EVALSHA).
#pragma once

#include <string>
#include <string_view>

namespace qc::redis {

// The digest as 40 lower-case hexadecimal digits.
std::string Sha1Hex(std::string_view data);

}  // namespace qc::redis
