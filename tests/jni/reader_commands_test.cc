// The reader commands called from native code. open and move do not use
// their JNI environment, so they run here without a JVM, where the node
// redirect's records of the library's calls can be read.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>
#include <tagport/tagport_jni.h>
#include <termios.h>

#include "tests/support/line_fixture.h"

namespace tagport_test {
namespace {

using tagport_sim::BuildFrame;

using ReaderCommandsTest = LineTest;

// open takes "/dev/ttyMT3" at 115200 bit/s, and sends its request only on
// a line that took those settings; the port stays open either way.
TEST_F(ReaderCommandsTest, OpenConfiguresTheReaderPortBeforeItsRequest) {
  const CallSummary kConfigure = {
      {TAGPORT_REDIRECT_OPEN, O_RDWR | O_NOCTTY | O_NONBLOCK | O_EXCL},
      {TAGPORT_REDIRECT_IOCTL, TIOCEXCL},
      {TAGPORT_REDIRECT_TCFLUSH, TCIFLUSH},
      {TAGPORT_REDIRECT_TCSETATTR, TCSANOW}};
  CallSummary configure_and_send = kConfigure;
  configure_and_send.push_back({TAGPORT_REDIRECT_TCFLUSH, TCIFLUSH});
  configure_and_send.push_back({TAGPORT_REDIRECT_WRITE, 9});
  const struct {
    const char* what;
    bool refuse_settings;
    int result;
    CallSummary calls;
    size_t requests;
  } kCases[] = {
      {"line configured", false, 0, configure_and_send, 1},
      {"settings refused", true, -1, kConfigure, 0},
  };
  reader_.Start();
  for (const auto& test_case : kCases) {
    SCOPED_TRACE(test_case.what);
    Api_CloseSerial();
    tagport_redirect_reset();
    if (test_case.refuse_settings) {
      tagport_redirect_fail_next(TAGPORT_REDIRECT_TCSETATTR, EIO);
    }
    const size_t requests_before = reader_.module().Requests().size();
    EXPECT_EQ(Java_android_kq_Ctagport_open(nullptr, nullptr),
              test_case.result);
    const std::vector<tagport_redirect_call> calls = LibraryCalls();
    EXPECT_EQ(LibraryCallSummary(), test_case.calls);
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(cfgetispeed(&calls[3].attributes), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&calls[3].attributes), static_cast<speed_t>(B115200));
    EXPECT_NE(FD_COM, -1);
    EXPECT_EQ(reader_.module().Requests().size() - requests_before,
              test_case.requests);
  }
}

const CallSummary kFlushThenMoveRequest = {{TAGPORT_REDIRECT_TCFLUSH, TCIFLUSH},
                                           {TAGPORT_REDIRECT_WRITE, 9}};

// A reply that arrived after its request had timed out waits on the line;
// the next command must not judge it as its own reply.
TEST_F(ReaderCommandsTest, InputWaitingBeforeTheRequestIsDiscarded) {
  const struct {
    const char* what;
    Bytes stale;
  } kStale[] = {
      {"a late open reply", BuildFrame(5, 1, 0x40, {0x00})},
      {"a late move reply, refused", BuildFrame(5, 2, 0x50, {0x00})},
      {"a late seek reply", BuildFrame(5, 1, 0x41, Bytes(12, 0x41))},
      {"half a frame", Bytes{0x1E, 0x00, 0x09, 0x05}},
  };
  reader_.Start();
  ASSERT_EQ(Java_android_kq_Ctagport_open(nullptr, nullptr), 0);
  for (const auto& stale : kStale) {
    SCOPED_TRACE(stale.what);
    WriteLine(stale.stale);
    ASSERT_TRUE(WaitForInput(FD_COM, stale.stale.size()));
    tagport_redirect_reset();
    EXPECT_EQ(Java_android_kq_Ctagport_move(nullptr, nullptr), 0);
    EXPECT_EQ(LibraryCallSummary(), kFlushThenMoveRequest);
  }
  EXPECT_EQ(reader_.module().Requests().size(), 1 + std::size(kStale));
}

// Nothing to flush: the command goes on as before, silently.
TEST_F(ReaderCommandsTest, WithoutPortMoveFailsAndCallsNothing) {
  tagport_redirect_reset();
  int result = 0;
  EXPECT_EQ(StdoutOf([&] {
              result = Java_android_kq_Ctagport_move(nullptr, nullptr);
            }),
            "");
  EXPECT_EQ(result, -1);
  EXPECT_EQ(LibraryCallSummary(), CallSummary{});
}

}  // namespace
}  // namespace tagport_test
