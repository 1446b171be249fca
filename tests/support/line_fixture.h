// Shared test fixture: a simulated reader module on a pseudo-terminal that
// "/dev/ttyMT3" leads to, and a clean library state for every test.
#ifndef TAGPORT_TESTS_SUPPORT_LINE_FIXTURE_H_
#define TAGPORT_TESTS_SUPPORT_LINE_FIXTURE_H_

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/hex.h"
#include "tools/redirect/node_redirect.h"
#include "tools/sim/simulated_reader.h"

namespace tagport_test {

using tagport_tools::Bytes;

// The calls libtagport.so made since the last reset, as the node redirect
// recorded them.
std::vector<tagport_redirect_call> LibraryCalls();

// The same calls as (kind, value) pairs, for comparing whole sequences.
using CallSummary = std::vector<std::pair<int, long long>>;
CallSummary LibraryCallSummary();

// Points "/dev/ttyMT<index>" at `path` (nullptr: the real node).
void RedirectNode(int index, const char* path);

// Captures what the process writes to standard output.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  // Everything written since construction (the capture goes on).
  std::string Text();

 private:
  int saved_fd_ = -1;
  int file_fd_ = -1;
};

// What `action` writes to standard output. Test failures inside `action`
// would be captured too, so keep assertions outside it.
std::string StdoutOf(const std::function<void()>& action);

// Descriptors this process has open.
int OpenDescriptorCount();

// Bytes as the library's globals hold them.
Bytes Copy(const unsigned char* data, int n);

// "1E 00 09 ..." as bytes; a malformed text fails the calling test.
Bytes HexBytes(const std::string& text);

// Waits up to `timeout_ms` until `count` bytes wait to be read on the
// terminal `fd`. False on timeout.
bool WaitForInput(int fd, size_t count, int timeout_ms = 1000);

class LineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Reads what the library wrote to the line, waiting up to `timeout_ms` for
  // `count` bytes (when the module is not serving).
  Bytes ReadLine(size_t count, int timeout_ms = 1000);

  // Writes `bytes` from the module's end of the line (when the module is not
  // serving).
  void WriteLine(const Bytes& bytes);

  tagport_sim::SimulatedReader reader_;
};

}  // namespace tagport_test

#endif  // TAGPORT_TESTS_SUPPORT_LINE_FIXTURE_H_
