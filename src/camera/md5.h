#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace Web {

// MD5 (RFC 1321) of data: the 16-byte digest, and the same as 32 lower-case hex digits, which is
// how HTTP Digest authentication uses it.
std::array<std::uint8_t, 16> Md5(std::string_view data);
std::string Md5Hex(std::string_view data);

}  // namespace Web
