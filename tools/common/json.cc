#include "tools/common/json.h"

#include <stdio.h>

namespace tagport_tools {

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (c == '\n') {
      json += "\\n";
    } else if (c == '\t') {
      json += "\\t";
    } else if (byte < 0x20 || byte >= 0x7F) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04X", byte);
      json += escaped;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

JsonObject& JsonObject::AddRaw(const std::string& key,
                               const std::string& json) {
  if (!members_.empty()) members_ += ',';
  members_ += JsonString(key) + ':' + json;
  return *this;
}

JsonObject& JsonObject::AddString(const std::string& key,
                                  const std::string& value) {
  return AddRaw(key, JsonString(value));
}

JsonObject& JsonObject::AddNumber(const std::string& key, int64_t value) {
  return AddRaw(key, std::to_string(value));
}

JsonObject& JsonObject::AddBool(const std::string& key, bool value) {
  return AddRaw(key, value ? "true" : "false");
}

JsonObject& JsonObject::AddObject(const std::string& key,
                                  const JsonObject& value) {
  return AddRaw(key, value.Text());
}

JsonObject& JsonObject::AddArray(const std::string& key,
                                 const JsonArray& value) {
  return AddRaw(key, value.Text());
}

std::string JsonObject::Text() const { return "{" + members_ + "}"; }

JsonArray& JsonArray::AddRaw(const std::string& json) {
  if (!elements_.empty()) elements_ += ',';
  elements_ += json;
  return *this;
}

JsonArray& JsonArray::AddString(const std::string& value) {
  return AddRaw(JsonString(value));
}

JsonArray& JsonArray::AddNumber(int64_t value) {
  return AddRaw(std::to_string(value));
}

JsonArray& JsonArray::AddObject(const JsonObject& value) {
  return AddRaw(value.Text());
}

std::string JsonArray::Text() const { return "[" + elements_ + "]"; }

}  // namespace tagport_tools
