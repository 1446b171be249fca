// The reader commands called from native code, without a JVM, where the
// node redirect's records of the library's calls can be read (and under
// qemu for the ARM targets). open and move do not use their JNI
// environment; seek gets the tools' fake byte array.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>
#include <tagport/tagport_jni.h>
#include <termios.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>

#include "tests/support/line_fixture.h"
#include "tools/fake_jni/fake_byte_array.h"

namespace tagport_test {
namespace {

using tagport_sim::BuildFrame;
using tagport_sim::Fault;
using tagport_sim::Reply;
using tagport_tools::FakeByteArray;
using tagport_tools::FakeJniEnv;

using ReaderCommandsTest = LineTest;

// What a Java array holds before seek: no card byte has this value.
constexpr uint8_t kArrayFill = 0x5C;

// open takes "/dev/ttyMT3" at 115200 bit/s, and sends its request only on
// a line that took those settings; the port stays open either way.
TEST_F(ReaderCommandsTest, OpenConfiguresTheReaderPortBeforeItsRequest) {
  const struct {
    const char* what;
    bool refuse_settings;
    int result;
    size_t requests;
  } kCases[] = {
      {"line configured", false, 0, 1},
      {"settings refused", true, -1, 0},
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
    EXPECT_EQ(OnlyCall(calls, TAGPORT_REDIRECT_OPEN).value,
              O_RDWR | O_NOCTTY | O_NONBLOCK | O_EXCL);
    const tagport_redirect_call settings =
        OnlyCall(calls, TAGPORT_REDIRECT_TCSETATTR);
    EXPECT_EQ(settings.value, TCSANOW);
    EXPECT_EQ(cfgetispeed(&settings.attributes), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&settings.attributes), static_cast<speed_t>(B115200));
    EXPECT_NE(FD_COM, -1);
    EXPECT_EQ(reader_.module().Requests().size() - requests_before,
              test_case.requests);
  }
}

// Here the order is the promise: the input is discarded before the request
// goes out, never after, when the reply may already be on its way.
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
TEST_F(ReaderCommandsTest, WithoutPortMoveAndSeekFailAndCallNothing) {
  FakeByteArray array;
  const struct {
    const char* what;
    std::function<jint()> command;
  } kCommands[] = {
      {"move", [] { return Java_android_kq_Ctagport_move(nullptr, nullptr); }},
      {"seek",
       [&array] {
         return Java_android_kq_Ctagport_seek(FakeJniEnv(), nullptr,
                                              array.handle());
       }},
  };
  for (const auto& command : kCommands) {
    SCOPED_TRACE(command.what);
    array.Reset(16, kArrayFill);
    tagport_redirect_reset();
    jint result = 0;
    EXPECT_EQ(StdoutOf([&] { result = command.command(); }), "");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(LibraryCallSummary(), CallSummary{});
  }
  EXPECT_EQ(array.releases(), 1);
  EXPECT_EQ(array.release_mode(), 0);
  EXPECT_EQ(Copy(array.bytes(), 16), Bytes(16, kArrayFill));
}

const char kSeekRequest[] = "1E 00 0B 05 00 FF 41 04 00 00 72";

// Card data none of whose bytes is kArrayFill.
Bytes Card(size_t count) {
  Bytes card(count);
  for (size_t k = 0; k < count; ++k) {
    card[k] = static_cast<uint8_t>(0x80 | (k & 0x7F));
  }
  return card;
}

Bytes SeekReply(uint8_t status, uint8_t command, uint8_t card_flag,
                const Bytes& card) {
  Bytes payload(4 + card.size(), 0x00);
  payload[0] = card_flag;
  std::copy(card.begin(), card.end(), payload.begin() + 4);
  return BuildFrame(5, status, command, payload);
}

Bytes SeekReply(const Bytes& card) { return SeekReply(1, 0x41, 1, card); }

// No array shorter than the smallest card (8 bytes) can take one, so seek
// refuses it without a request, as it does a null array and elements it
// could not obtain; nothing reaches the line or standard output.
TEST_F(ReaderCommandsTest, SeekRefusesWhatCannotTakeACardWithoutSending) {
  FakeByteArray array;
  const struct {
    const char* what;
    bool null_array;
    jsize length;
    bool fail_elements;
    int gets;
  } kCases[] = {
      {"a null array", true, 16, false, 0},
      {"an empty array", false, 0, false, 0},
      {"7 bytes", false, 7, false, 0},
      {"elements not obtained", false, 16, true, 1},
  };
  reader_.Start();
  ASSERT_EQ(Java_android_kq_Ctagport_open(nullptr, nullptr), 0);
  for (const auto& test_case : kCases) {
    SCOPED_TRACE(test_case.what);
    array.Reset(test_case.length, kArrayFill);
    if (test_case.fail_elements) array.FailElements();
    tagport_redirect_reset();
    jint result = 0;
    EXPECT_EQ(StdoutOf([&] {
                result = Java_android_kq_Ctagport_seek(
                    FakeJniEnv(), nullptr,
                    test_case.null_array ? nullptr : array.handle());
              }),
              "");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(LibraryCallSummary(), CallSummary{});
    EXPECT_EQ(array.gets(), test_case.gets);
    EXPECT_EQ(array.releases(), 0);
    EXPECT_EQ(Copy(array.bytes(), test_case.length),
              Bytes(static_cast<size_t>(test_case.length), kArrayFill));
  }
  EXPECT_EQ(reader_.module().Requests().size(), 1u) << "only open's request";
}

// Every array that can take a card gets the exchange; the first reply frame
// decides, only its data is copied, and the elements go back once, in mode
// 0, whatever the outcome.
TEST_F(ReaderCommandsTest, SeekSendsItsRequestAndDeliversOnlyTheData) {
  const struct {
    const char* what;
    jsize length;
    std::optional<Bytes> reply;  // none: silence
    jint result;
  } kCases[] = {
      {"8 data bytes into 8", 8, SeekReply(Card(8)), 8},
      {"9 data bytes into 32", 32, SeekReply(Card(9)), 9},
      {"2036 data bytes into 2048", 2048, SeekReply(Card(2036)), 2036},
      {"more data than the array", 8, SeekReply(Card(9)), -1},
      {"19-byte frame", 32, SeekReply(Card(7)), -1},
      {"card flag 0", 32, SeekReply(1, 0x41, 0, Card(8)), -1},
      {"failure status", 32, SeekReply(2, 0x41, 1, Card(8)), -1},
      {"move's command", 32, SeekReply(1, 0x50, 1, Card(8)), -1},
      {"no reply", 32, std::nullopt, -2},
  };
  FakeByteArray array;
  reader_.Start();
  ASSERT_EQ(Java_android_kq_Ctagport_open(nullptr, nullptr), 0);
  for (const auto& test_case : kCases) {
    SCOPED_TRACE(test_case.what);
    Reply how;
    how.raw = test_case.reply;
    if (!test_case.reply) how.fault = Fault::kSilent;
    reader_.module().Script(how);
    array.Reset(test_case.length, kArrayFill);
    tagport_redirect_reset();
    const jint result =
        Java_android_kq_Ctagport_seek(FakeJniEnv(), nullptr, array.handle());
    EXPECT_EQ(result, test_case.result);
    EXPECT_EQ(reader_.module().Requests().back(), HexBytes(kSeekRequest));
    EXPECT_EQ(array.gets(), 1);
    EXPECT_EQ(array.releases(), 1);
    EXPECT_EQ(array.release_mode(), 0);
    EXPECT_TRUE(array.released_what_was_got());
    const size_t copied = result > 0 ? static_cast<size_t>(result) : 0;
    const size_t length = static_cast<size_t>(test_case.length);
    EXPECT_EQ(Copy(array.bytes(), static_cast<int>(copied)), Card(copied));
    EXPECT_EQ(Bytes(array.bytes() + copied, array.bytes() + length),
              Bytes(length - copied, kArrayFill));
    EXPECT_EQ(array.SpoiledGuard(), -1);
  }
  EXPECT_EQ(reader_.module().Requests().size(), 1 + std::size(kCases));
}

// On a background thread (40 ms of timer slack, as Android gives it) a
// request the reader leaves unanswered still ends within its limit, 1000
// polls of 1.25 ms and a quarter second more, and the thread's slack is as
// it was.
TEST_F(ReaderCommandsTest, AnUnansweredRequestEndsInTimeInTheBackground) {
  FakeByteArray array;
  const struct {
    const char* what;
    std::function<jint()> command;
  } kCommands[] = {
      {"open",
       [] {
         Api_CloseSerial();
         return Java_android_kq_Ctagport_open(nullptr, nullptr);
       }},
      {"seek",
       [&array] {
         return Java_android_kq_Ctagport_seek(FakeJniEnv(), nullptr,
                                              array.handle());
       }},
      {"move", [] { return Java_android_kq_Ctagport_move(nullptr, nullptr); }},
  };
  reader_.Start();
  ASSERT_EQ(Java_android_kq_Ctagport_open(nullptr, nullptr), 0);
  const long kBackgroundSlackNs = 40000000;
  ScopedTimerSlack slack(kBackgroundSlackNs);
  for (const auto& command : kCommands) {
    SCOPED_TRACE(command.what);
    array.Reset(16, kArrayFill);
    Reply silent;
    silent.fault = Fault::kSilent;
    reader_.module().Script(silent);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(command.command(), -2);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // The limit, and a second for a loaded machine.
    EXPECT_LT(elapsed, std::chrono::milliseconds(1500 + 1000))
        << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed)
               .count()
        << " ms";
    EXPECT_EQ(ThreadTimerSlack(), kBackgroundSlackNs);
  }
}

}  // namespace
}  // namespace tagport_test
