// Reading the server port from the command line.
#pragma once

#include <cstdint>

namespace varnick {

// Reads `text` the way wcstol reads a base-10 number on Windows (32-bit
// long): leading white space, an optional sign, then digits up to the first
// non-digit. No digits gives 0; a value beyond the 32-bit range gives the
// nearest limit. Whatever follows the digits is ignored.
std::int32_t parsePort(const wchar_t* text);

// True for the ports that server mode accepts: 1 to 65535.
bool isValidPort(std::int32_t port);

}  // namespace varnick
