#include <gtest/gtest.h>
#include <limits.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/line_fixture.h"
#include "tools/redirect/node_redirect.h"

namespace tagport_test {
namespace {

using tagport_sim::BuildFrame;
using tagport_sim::Fault;
using tagport_sim::Reply;

const int32_t kLineRate = 115200;
// Enough polls for any reply the test has already written to arrive; the
// waits that use it end at the reply, not at the last poll.
const int kAmplePolls = 1000;

class ReplyWaitTest : public LineTest {
 protected:
  void SetUp() override {
    LineTest::SetUp();
    ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
    tagport_redirect_reset();
  }
};

Bytes Received() { return Copy(MsgBuf, MsgLen); }

// The module's answer to a 0x41 request: 20 bytes with 8 bytes of card data.
Bytes SeekReply() {
  tagport_sim::ReaderModule module;
  return module.BuildReply(HexBytes("1E 00 0B 05 00 FF 41 04 00 00 72"),
                           Reply());
}

// Runs `action` on another thread once the wait has slept `sleeps` times,
// i.e. has found the line idle (or after a few seconds, so that a broken
// wait cannot hang the test).
std::thread OnceLibraryHasSlept(long sleeps, std::function<void()> action) {
  return std::thread([sleeps, action] {
    KeepTimeOnThisThread();
    const auto give_up =
        std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (tagport_redirect_sleep_calls() < sleeps &&
           std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    action();
  });
}

struct IdleCase {
  int polls;
  long polls_run;
};

void PrintTo(const IdleCase& idle, std::ostream* out) { *out << idle.polls; }

class IdleLineTest : public ReplyWaitTest,
                     public ::testing::WithParamInterface<IdleCase> {};

TEST_P(IdleLineTest, ReadsAndSleepsOncePerPoll) {
  EXPECT_EQ(IsSuccessRecv(GetParam().polls), -2);
  EXPECT_EQ(tagport_redirect_read_calls(), GetParam().polls_run);
  EXPECT_EQ(tagport_redirect_sleep_calls(), GetParam().polls_run);
  EXPECT_EQ(tagport_redirect_slept_us(), GetParam().polls_run * 1000);
  EXPECT_EQ(MsgLen, 0);
  EXPECT_EQ(PacketLen, 0);
}

INSTANTIATE_TEST_SUITE_P(PollCounts, IdleLineTest,
                         ::testing::Values(IdleCase{0, 1}, IdleCase{-5, 1},
                                           IdleCase{INT_MIN, 1}, IdleCase{1, 1},
                                           IdleCase{7, 7}, IdleCase{40, 40}));

// Api_ReadSerial answers 0 itself when no port is open, so the wait sleeps
// through its polls without a single read.
TEST_F(ReplyWaitTest, WithoutPortSleepsThroughEveryPoll) {
  Api_CloseSerial();
  EXPECT_EQ(IsSuccessRecv(5), -2);
  EXPECT_EQ(tagport_redirect_sleep_calls(), 5);
  EXPECT_EQ(tagport_redirect_read_calls(), 0);
}

struct StatusCase {
  const char* what;
  uint8_t target;
  uint8_t status;
  uint8_t command;
  int result;
};

TEST_F(ReplyWaitTest, OnlyTheStatusByteDecidesTheResult) {
  const StatusCase kCases[] = {
      {"success", 5, 1, 0x40, 0},      {"failure", 5, 2, 0x40, -1},
      {"status 0", 5, 0, 0x40, -1},    {"status FF", 5, 0xFF, 0x40, -1},
      {"other target", 6, 1, 0x40, 0}, {"other command", 5, 1, 0x7E, 0},
  };
  for (const StatusCase& test_case : kCases) {
    SCOPED_TRACE(test_case.what);
    ClearPacket();
    tagport_redirect_reset();
    const Bytes frame = BuildFrame(test_case.target, test_case.status,
                                   test_case.command, {0x00});
    WriteLine(frame);
    EXPECT_EQ(IsSuccessRecv(kAmplePolls), test_case.result);
    EXPECT_EQ(Received(), frame);
    EXPECT_EQ(PacketLen, static_cast<int>(frame.size()));
    EXPECT_LT(tagport_redirect_sleep_calls(), kAmplePolls);
  }
}

// Each poll reads up to 1024 bytes, and the bytes behind the frame in the
// read that completes it are dropped.
TEST_F(ReplyWaitTest, BytesBehindTheFrameInTheSameReadAreDropped) {
  const Bytes trailing =
      HexBytes("1E 00 09 05 00 01 40 00 6D 00 11 22 33 44 55 66");
  const struct {
    const char* what;
    Bytes frame;
    long reads;
    size_t left_on_line;
  } kCases[] = {
      {"a seek reply", SeekReply(), 1, 0},
      // The second read of 1024 bytes ends with the frame.
      {"a frame of 2048 bytes", BuildFrame(5, 1, 0x41, Bytes(2040, 0xA7)), 2,
       trailing.size()},
  };
  for (const auto& test_case : kCases) {
    SCOPED_TRACE(test_case.what);
    ClearPacket();
    const Bytes& frame = test_case.frame;
    Bytes line = frame;
    line.insert(line.end(), trailing.begin(), trailing.end());
    WriteLine(line);
    ASSERT_TRUE(WaitForInput(FD_COM, line.size()));
    tagport_redirect_reset();

    EXPECT_EQ(IsSuccessRecv(10), 0);
    EXPECT_EQ(tagport_redirect_read_calls(), test_case.reads);
    // No frame completed in the reads before the last.
    EXPECT_EQ(tagport_redirect_sleep_calls(), test_case.reads - 1);
    EXPECT_EQ(Received(), frame);
    EXPECT_EQ(PacketLen, static_cast<int>(frame.size()));
    if (frame.size() < sizeof MsgBuf) {
      EXPECT_EQ(MsgBuf[frame.size()], 0) << "a trailing byte was fed";
    }
    unsigned char rest[64];
    const int left = Api_ReadSerial(rest, sizeof rest);
    EXPECT_EQ(left, static_cast<int>(test_case.left_on_line));
    if (left > 0) {
      EXPECT_EQ(Copy(rest, left), Bytes(trailing.end() - left, trailing.end()));
    }
  }
}

TEST_F(ReplyWaitTest, TimeoutResetsCountersButLeavesTheBytes) {
  const Bytes partial = HexBytes("1E 00 09 05 00");
  WriteLine(partial);
  ASSERT_TRUE(WaitForInput(FD_COM, partial.size()));
  EXPECT_EQ(IsSuccessRecv(5), -2);
  EXPECT_EQ(MsgLen, 0);
  EXPECT_EQ(PacketLen, 0);
  EXPECT_EQ(Copy(MsgBuf, 5), partial);

  // The abandoned frame is not resumed: its tail is noise now.
  WriteLine(HexBytes("01 40 00 6D"));
  EXPECT_EQ(IsSuccessRecv(20), -2);
}

// The wait takes up a frame begun before it, wherever the frame was cut.
TEST_F(ReplyWaitTest, ContinuesAFrameBegunBeforeTheWait) {
  const Bytes reply = SeekReply();
  for (size_t cut = 0; cut < reply.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    ClearPacket();
    for (size_t i = 0; i < cut; ++i) ASSERT_EQ(RxDecode(reply[i]), 0);
    WriteLine(Bytes(reply.begin() + static_cast<long>(cut), reply.end()));
    EXPECT_EQ(IsSuccessRecv(kAmplePolls), 0);
    EXPECT_EQ(Received(), reply);
  }
}

// The second part arrives only after the wait has found the line idle.
TEST_F(ReplyWaitTest, JoinsAReplySplitAcrossReads) {
  const Bytes reply = SeekReply();
  for (size_t cut = 1; cut < reply.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    ClearPacket();
    tagport_redirect_reset();
    WriteLine(Bytes(reply.begin(), reply.begin() + static_cast<long>(cut)));
    ASSERT_TRUE(WaitForInput(FD_COM, cut));
    std::thread module_side = OnceLibraryHasSlept(1, [&] {
      WriteLine(Bytes(reply.begin() + static_cast<long>(cut), reply.end()));
    });
    const int result = IsSuccessRecv(kAmplePolls);
    module_side.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Received(), reply);
    EXPECT_GE(tagport_redirect_sleep_calls(), 1);
  }
}

TEST_F(ReplyWaitTest, HangUpMidFrameTimesOut) {
  const Bytes reply = SeekReply();
  const Bytes half(reply.begin(), reply.begin() + 10);
  WriteLine(half);
  ASSERT_TRUE(WaitForInput(FD_COM, half.size()));
  std::thread module_side = OnceLibraryHasSlept(1, [&] { reader_.HangUp(); });
  const int result = IsSuccessRecv(50);
  module_side.join();
  EXPECT_EQ(result, -2);
  EXPECT_EQ(tagport_redirect_sleep_calls(), 50);
  EXPECT_EQ(tagport_redirect_read_calls(), 50);
  EXPECT_EQ(MsgLen, 0);
  EXPECT_EQ(Copy(MsgBuf, 10), half);
}

const char kOpenRequest[] = "1E 00 09 05 00 FF 40 01 6C";

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A request's polls, and the longest they may last on any thread: 1000
// polls of 1.25 ms and a quarter second more.
const int kRequestPolls = 1000;
const milliseconds kRequestWaitLimit(1500);
// The timer slack Android gives a background thread, and the most the wait
// is built for.
const long kBackgroundSlackNs = 40000000;
const long kLargestSlackNs = 50000000;
// What a loaded machine may add to a time the test measures from outside.
const milliseconds kLoadMargin(1000);

long long Ms(Clock::duration duration) {
  return std::chrono::duration_cast<milliseconds>(duration).count();
}

// How the calling thread's timers run while it waits.
struct ThreadCase {
  const char* name;
  long slack_ns;     // 0: the thread's own
  bool slack_fixed;  // the library's prctl calls fail
  bool signals;      // a signal every 200 us
  bool prompt;       // a reply is taken within a few polls
};

void PrintTo(const ThreadCase& thread, std::ostream* out) {
  *out << thread.name;
}

class OnAnyThreadTest : public ReplyWaitTest,
                        public ::testing::WithParamInterface<ThreadCase> {
 protected:
  void SetUp() override {
    ReplyWaitTest::SetUp();
    if (GetParam().slack_ns != 0) slack_.emplace(GetParam().slack_ns);
    if (GetParam().slack_fixed) {
      tagport_redirect_fail_every(TAGPORT_REDIRECT_PRCTL, EPERM);
    }
    if (GetParam().signals) storm_.emplace(200);
    slack_before_ = ThreadTimerSlack();
  }
  void TearDown() override {
    storm_.reset();
    slack_.reset();
    ReplyWaitTest::TearDown();
  }

  long slack_before_ = 0;

 private:
  std::optional<ScopedTimerSlack> slack_;
  std::optional<SignalStorm> storm_;
};

// No poll ends early, however often a signal cuts its sleep short, and the
// polls end within their limit, however coarse the thread's timer.
TEST_P(OnAnyThreadTest, AnIdleWaitLastsItsSecondAndNoMore) {
  const auto start = Clock::now();
  EXPECT_EQ(IsSuccessRecv(kRequestPolls), -2);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, milliseconds(kRequestPolls)) << Ms(elapsed) << " ms";
  // The limit, the slack of the sleep that crosses it, and the load.
  EXPECT_LT(elapsed, kRequestWaitLimit + milliseconds(50) + kLoadMargin)
      << Ms(elapsed) << " ms";
  EXPECT_EQ(ThreadTimerSlack(), slack_before_);
  EXPECT_EQ(MsgLen, 0);
  EXPECT_EQ(PacketLen, 0);
}

// A reply that came during a sleep is taken when the sleep ends, a
// millisecond later (where the thread's slack can be lowered), and a reply
// that comes 300 ms into the wait is taken too. The replies come through a
// pipe, so that they reach the port when sent.
TEST_P(OnAnyThreadTest, AReplyIsTakenAtThePollAfterItCame) {
  Api_CloseSerial();
  PipeLine line;
  ASSERT_TRUE(line.ok());
  const Bytes reply = SeekReply();
  std::vector<Clock::duration> prompt;
  for (int round = 0; round < 5; ++round) {
    ClearPacket();
    tagport_redirect_reset();
    if (GetParam().slack_fixed) {
      tagport_redirect_fail_every(TAGPORT_REDIRECT_PRCTL, EPERM);
    }
    std::thread module_side =
        OnceLibraryHasSlept(1, [&] { line.Write(reply); });
    const auto start = Clock::now();
    const int result = IsSuccessRecv(kRequestPolls);
    prompt.push_back(Clock::now() - start);
    module_side.join();
    ASSERT_EQ(result, 0);
    EXPECT_EQ(Received(), reply);
  }
  std::sort(prompt.begin(), prompt.end());
  if (GetParam().prompt) {
    // A slack the wait kept would make it 40 ms or more.
    EXPECT_LT(prompt[prompt.size() / 2], milliseconds(20))
        << "median " << Ms(prompt[prompt.size() / 2]) << " ms";
  }

  ClearPacket();
  std::thread late_module([&] {
    KeepTimeOnThisThread();
    std::this_thread::sleep_for(milliseconds(300));
    line.Write(reply);
  });
  EXPECT_EQ(IsSuccessRecv(kRequestPolls), 0);
  late_module.join();
  EXPECT_EQ(Received(), reply);
  EXPECT_EQ(ThreadTimerSlack(), slack_before_);
}

INSTANTIATE_TEST_SUITE_P(
    Threads, OnAnyThreadTest,
    ::testing::Values(
        ThreadCase{"Foreground", 0, false, false, true},
        ThreadCase{"Background", kBackgroundSlackNs, false, false, true},
        // The slack cannot be lowered: the deadline alone bounds the wait.
        ThreadCase{"SlackFixed", kBackgroundSlackNs, true, false, false},
        ThreadCase{"SignalStorm", 0, false, true, true},
        ThreadCase{"SignalStormInTheBackground", kBackgroundSlackNs, false,
                   true, true}),
    [](const ::testing::TestParamInfo<ThreadCase>& thread) {
      return std::string(thread.param.name);
    });

// The thread's slack as it was, whether the wait lowered it or not: below
// the wait's own, a real-time thread's 0 aside, it stays untouched.
TEST_F(ReplyWaitTest, TheThreadsTimerSlackIsAsItWas) {
  for (const long slack_ns : {1000L, 50000L, 50001L, kLargestSlackNs}) {
    SCOPED_TRACE(slack_ns);
    ScopedTimerSlack slack(slack_ns);
    EXPECT_EQ(IsSuccessRecv(3), -2);
    EXPECT_EQ(ThreadTimerSlack(), slack_ns);
    WriteLine(BuildFrame(5, 2, 0x40, {0x00}));
    EXPECT_EQ(IsSuccessRecv(kAmplePolls), -1);
    EXPECT_EQ(ThreadTimerSlack(), slack_ns);
    ClearPacket();
  }
}

// While a module serves, the library's sleeps wait for it to have dealt with
// what the library wrote: a machine that is slow to pass the request on
// stretches the wait instead of using up its polls (here, five polls and a
// module that answers half a second late).
TEST_F(ReplyWaitTest, TheLibrarysSleepsWaitForAServingModuleToTakeTheRequest) {
  const Bytes request = HexBytes(kOpenRequest);
  tagport_redirect_module_serving(reader_.slave_path().c_str());
  ClearPacket();
  const unsigned char payload[] = {0x01};
  ASSERT_EQ(SentPacket(5, 0x40, payload, 1), 9);
  std::thread late_module([&] {
    KeepTimeOnThisThread();
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_EQ(ReadLine(request.size()), request);
    WriteLine(BuildFrame(5, 1, 0x40, {0x00}));
    tagport_redirect_module_took(static_cast<long>(request.size()));
  });
  const auto start = Clock::now();
  const int result = IsSuccessRecv(5);
  const auto elapsed = Clock::now() - start;
  late_module.join();
  tagport_redirect_module_serving(nullptr);
  EXPECT_EQ(result, 0);
  EXPECT_GE(elapsed, milliseconds(500));
}

// One whole exchange against the simulated module, answering as told.
struct ExchangeCase {
  const char* name;
  Reply reply;
  int result;
};

Reply Answer(Fault fault) {
  Reply reply;
  reply.fault = fault;
  return reply;
}

Reply InPieces(size_t pieces) {
  Reply reply;
  reply.pieces = pieces;
  return reply;
}

Reply WithNoise(const char* before, const char* after) {
  Reply reply;
  reply.noise_before = HexBytes(before);
  reply.noise_after = HexBytes(after);
  return reply;
}

Reply Delayed(int delay_ms) {
  Reply reply;
  reply.delay_ms = delay_ms;
  return reply;
}

void PrintTo(const ExchangeCase& exchange, std::ostream* out) {
  *out << exchange.name;
}

class ExchangeTest : public LineTest,
                     public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(ExchangeTest, ClearSendWait) {
  const Reply& how = GetParam().reply;
  reader_.module().Script(how);
  reader_.Start();
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  const Bytes request = HexBytes(kOpenRequest);
  const Bytes reply = reader_.module().BuildReply(request, how);

  ClearPacket();
  const unsigned char payload[] = {0x01};
  ASSERT_EQ(SentPacket(5, 0x40, payload, 1), 9);
  tagport_redirect_reset();
  EXPECT_EQ(IsSuccessRecv(kAmplePolls), GetParam().result);
  EXPECT_EQ(reader_.module().Requests(), std::vector<Bytes>{request});

  if (GetParam().result != -2) {
    EXPECT_EQ(Received(), reply);
    return;
  }
  EXPECT_EQ(tagport_redirect_sleep_calls(), kAmplePolls);
  EXPECT_EQ(MsgLen, 0);
  EXPECT_EQ(PacketLen, 0);
  // A refused reply was gathered in full before the checksum failed it. (At
  // a hang-up the pseudo-terminal may discard what was still queued.)
  if (how.fault == Fault::kBadChecksum) {
    EXPECT_EQ(Copy(MsgBuf, static_cast<int>(reply.size())), reply);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ExchangeTest,
    ::testing::Values(
        ExchangeCase{"Normal", Reply(), 0},
        ExchangeCase{"InFourPieces", InPieces(4), 0},
        ExchangeCase{"ByteByByte", InPieces(9), 0},
        ExchangeCase{"NoiseAround", WithNoise("00 55 AA 1E 00 02", "1E 00 09"),
                     0},
        ExchangeCase{"Delayed", Delayed(30), 0},
        ExchangeCase{"WrongStatus", Answer(Fault::kWrongStatus), -1},
        ExchangeCase{"WrongTarget", Answer(Fault::kWrongTarget), 0},
        ExchangeCase{"WrongCommand", Answer(Fault::kWrongCommand), 0},
        ExchangeCase{"BadChecksum", Answer(Fault::kBadChecksum), -2},
        ExchangeCase{"HangUpMidFrame", Answer(Fault::kHangUp), -2},
        ExchangeCase{"Silent", Answer(Fault::kSilent), -2}),
    [](const ::testing::TestParamInfo<ExchangeCase>& exchange) {
      return std::string(exchange.param.name);
    });

}  // namespace
}  // namespace tagport_test
