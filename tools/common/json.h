// JSON as the tools print it for other programs: compact objects and arrays
// built member by member, every string escaped.
#ifndef TAGPORT_TOOLS_COMMON_JSON_H_
#define TAGPORT_TOOLS_COMMON_JSON_H_

#include <stdint.h>

#include <string>

namespace tagport_tools {

// `text` as a JSON string, quotes included. Control characters, quotes and
// backslashes are escaped; bytes from 0x80 up are written as \u0080..\u00FF
// so that any byte string gives valid JSON (text that is not ASCII reads
// as Latin-1).
std::string JsonString(const std::string& text);

class JsonArray;

// An object; members stay in the order added.
class JsonObject {
 public:
  JsonObject& AddString(const std::string& key, const std::string& value);
  JsonObject& AddNumber(const std::string& key, int64_t value);
  JsonObject& AddBool(const std::string& key, bool value);
  JsonObject& AddObject(const std::string& key, const JsonObject& value);
  JsonObject& AddArray(const std::string& key, const JsonArray& value);
  bool empty() const { return members_.empty(); }
  // "{...}"
  std::string Text() const;

 private:
  JsonObject& AddRaw(const std::string& key, const std::string& json);
  std::string members_;
};

class JsonArray {
 public:
  JsonArray& AddString(const std::string& value);
  JsonArray& AddNumber(int64_t value);
  JsonArray& AddObject(const JsonObject& value);
  // "[...]"
  std::string Text() const;

 private:
  JsonArray& AddRaw(const std::string& json);
  std::string elements_;
};

}  // namespace tagport_tools

#endif  // TAGPORT_TOOLS_COMMON_JSON_H_
