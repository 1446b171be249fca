#include "tools/common/command_line.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

namespace tagport_tools {

namespace {
const char* program_name = "tagport";
}  // namespace

void SetProgramName(const char* name) { program_name = name; }

void UsageError(const std::string& message) {
  fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program_name, message.c_str(),
          program_name);
  exit(kUsageError);
}

void ShowUsageIfAsked(const std::string& word, const char* usage) {
  if (word != "--help" && word != "-h") return;
  fputs(usage, stdout);
  exit(0);
}

long long ParseNumber(const std::string& option, const std::string& text,
                      long long low, long long high) {
  char* end = nullptr;
  errno = 0;
  const long long value = strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low ||
      value > high) {
    UsageError(option + ": '" + text + "' is not a number from " +
               std::to_string(low) + " to " + std::to_string(high));
  }
  return value;
}

void ApplyValueOption(int argc, char** argv, int* k,
                      const std::vector<ValueOption>& options) {
  const std::string name = argv[*k];
  for (const ValueOption& option : options) {
    if (name != option.name) continue;
    if (*k + 1 >= argc) UsageError(name + " needs a value");
    option.apply(argv[++*k]);
    return;
  }
  UsageError("unknown option '" + name + "'");
}

}  // namespace tagport_tools
