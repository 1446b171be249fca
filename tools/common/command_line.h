// Option handling shared by the command-line tools: one way to refuse bad
// options (a message on stderr, exit status 2) and to read numbers.
#ifndef TAGPORT_TOOLS_COMMON_COMMAND_LINE_H_
#define TAGPORT_TOOLS_COMMON_COMMAND_LINE_H_

#include <functional>
#include <string>
#include <vector>

// A macro's value as a string literal, for usage texts built from the
// definitions they describe.
#define TAGPORT_TEXT(macro) TAGPORT_TEXT_OF(macro)
#define TAGPORT_TEXT_OF(value) #value

namespace tagport_tools {

constexpr int kUsageError = 2;

// The program name used in messages; set once in main.
void SetProgramName(const char* name);

// "<program>: <message>" and a pointer to --help on stderr; exits with 2.
[[noreturn]] void UsageError(const std::string& message);

// When `word` asks for help (--help, -h): prints `usage` and exits with 0.
void ShowUsageIfAsked(const std::string& word, const char* usage);

// `text` as a whole decimal number from `low` to `high`, or a UsageError
// that names `option`.
long long ParseNumber(const std::string& option, const std::string& text,
                      long long low, long long high);

// An option that takes a value, and what to do with the value.
struct ValueOption {
  const char* name;
  std::function<void(const std::string& value)> apply;
};

// Applies the option argv[*k] to the argument after it and moves *k onto
// that value. A UsageError when the option is none of `options` (checked
// first, so an unknown option is named as such) or no value follows.
void ApplyValueOption(int argc, char** argv, int* k,
                      const std::vector<ValueOption>& options);

}  // namespace tagport_tools

#endif  // TAGPORT_TOOLS_COMMON_COMMAND_LINE_H_
