// Bytes as the tools show and take them: "1E 00 09 ...".
#ifndef TAGPORT_TOOLS_COMMON_HEX_H_
#define TAGPORT_TOOLS_COMMON_HEX_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace tagport_tools {

using Bytes = std::vector<uint8_t>;

// Upper-case hex pairs separated by single blanks; "" for no bytes.
std::string Hex(const uint8_t* data, size_t n);
std::string Hex(const Bytes& bytes);

// Reads hex pairs, accepting blanks, tabs, colons and dashes between bytes
// and nothing else. False, with `out` untouched, on anything malformed.
bool ParseHex(const std::string& text, Bytes* out);

}  // namespace tagport_tools

#endif  // TAGPORT_TOOLS_COMMON_HEX_H_
