#include "tools/common/hex.h"

#include <stdio.h>

#include <cctype>

namespace tagport_tools {

std::string Hex(const uint8_t* data, size_t n) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
    text += byte;
  }
  return text;
}

std::string Hex(const Bytes& bytes) { return Hex(bytes.data(), bytes.size()); }

bool ParseHex(const std::string& text, Bytes* out) {
  Bytes bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-' || c == '\t') {
      if (high >= 0) return false;  // a lone digit
      continue;
    }
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
    const int digit = isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  if (high >= 0) return false;
  *out = bytes;
  return true;
}

}  // namespace tagport_tools
