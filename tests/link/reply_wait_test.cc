#include <gtest/gtest.h>
#include <limits.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <thread>

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

const char kOpenRequest[] = "1E 00 09 05 00 FF 40 01 6C";

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
