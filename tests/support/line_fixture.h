// Shared test fixture: a simulated reader module on a pseudo-terminal that
// "/dev/ttyMT3" leads to, and a clean library state for every test.
#ifndef TAGPORT_TESTS_SUPPORT_LINE_FIXTURE_H_
#define TAGPORT_TESTS_SUPPORT_LINE_FIXTURE_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/sim/reader_module.h"

namespace tagport_test {

using tagport_sim::Bytes;

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

// Descriptors this process has open.
int OpenDescriptorCount();

// Bytes as the library's globals hold them.
Bytes Copy(const unsigned char* data, int n);

class LineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Reads what the library wrote to the line, waiting up to `timeout_ms` for
  // `count` bytes (when the module is not serving).
  Bytes ReadLine(size_t count, int timeout_ms = 1000);

  tagport_sim::SimulatedReader reader_;
};

}  // namespace tagport_test

#endif  // TAGPORT_TESTS_SUPPORT_LINE_FIXTURE_H_
