#include <gtest/gtest.h>
#include <limits.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>

#include <string>
#include <vector>

#include "tests/support/line_fixture.h"

namespace tagport_test {
namespace {

const int kNever = -1;
const int kCapacity = 2048;

// A byte string fed to a cleared decoder: which byte (if any) completes a
// frame, and the counters afterwards.
struct DecodeCase {
  const char* bytes;
  int completes_at;
  int msg_len;
  int packet_len;
};

class DecoderTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearPacket(); }
  void TearDown() override { ClearPacket(); }

  // The index of every byte for which RxDecode returned 1.
  static std::vector<int> Feed(const Bytes& bytes) {
    std::vector<int> completions;
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (RxDecode(bytes[i]) == 1) completions.push_back(static_cast<int>(i));
    }
    return completions;
  }

  static void Run(const std::vector<DecodeCase>& cases) {
    for (const DecodeCase& test_case : cases) {
      SCOPED_TRACE(test_case.bytes);
      ClearPacket();
      const std::vector<int> completions = Feed(HexBytes(test_case.bytes));
      const std::vector<int> expected =
          test_case.completes_at == kNever
              ? std::vector<int>{}
              : std::vector<int>{test_case.completes_at};
      EXPECT_EQ(completions, expected);
      EXPECT_EQ(MsgLen, test_case.msg_len);
      EXPECT_EQ(PacketLen, test_case.packet_len);
    }
  }
};

// 1E 00 09 05 00 01 40 00 6D, the smallest reply to 0x40.
const char kReply[] = "1E 00 09 05 00 01 40 00 6D";

TEST_F(DecoderTest, SkipsBytesUntilAStartByte) {
  Run({
      {"00", kNever, 0, 0},
      {"00 55 AA FF 1D 1F", kNever, 0, 0},
      {"00 55 1E", kNever, 1, 0},
      {"00 55 AA 1E 00 09 05 00 01 40 00 6D", 11, 9, 9},
      {"1E 00", kNever, 2, 0},
  });
}

TEST_F(DecoderTest, DropsDeclaredLengthsBelowEight) {
  Run({
      {"1E 00 00", kNever, 0, 0},
      {"1E 00 05", kNever, 0, 0},
      {"1E 00 07", kNever, 0, 0},
      {"1E 00 05 09", kNever, 0, 0},  // hunting again: 09 is no start byte
      {"1E 00 05 1E", kNever, 1, 0},
      // A stale declared length of 2 would complete "1E 1E" at its second
      // byte.
      {"1E 00 02 1E 1E", kNever, 2, 0},
      {"1E 00 02 1E 00 09 05 00 01 40 00 6D", 11, 9, 9},
      {"1E 00 08 05 00 01 40 6C", 7, 8, 8},  // the smallest frame
  });
}

TEST_F(DecoderTest, ChecksumDecidesTheLastByte) {
  Run({
      {kReply, 8, 9, 9},
      {"1E 00 09 05 00 01 40 00 6E", kNever, 0, 0},
      {"1E 00 09 05 00 01 40 00 6C", kNever, 0, 0},
      {"1E 00 09 05 00 01 40 00 6E 1E 00 09 05 00 01 40 00 6D", 17, 9, 9},
      // The dropped frame's 1E 00 08 would start a valid 8-byte frame with
      // the bytes that follow, were it looked at again.
      {"1E 00 0B 05 00 01 40 1E 00 08 05 00 01 40 6C", kNever, 0, 0},
      // A frame inside a frame's body is body.
      {"1E 00 10 1E 00 08 05 00 01 40 6C 00 00 00 00 06", 15, 16, 16},
  });
}

TEST_F(DecoderTest, DropsDeclaredLengthsBeyondTheBuffer) {
  Run({
      {"1E 08 01", kNever, 0, 0},
      {"1E FF FF", kNever, 0, 0},
      {"1E 08 01 00 00 00", kNever, 0, 0},
      {"1E 08 01 1E 00 09 05 00 01 40 00 6D", 11, 9, 9},
  });
}

TEST_F(DecoderTest, BytesAfterACompleteFrameNeverCompleteAnother) {
  Run({
      {"1E 00 09 05 00 01 40 00 6D 1E 00 09 05 00 01 40 00 6D", 8, 18, 9},
      {"1E 00 09 05 00 01 40 00 6D 00", 8, 10, 9},
  });
  ClearPacket();
  Feed(HexBytes("1E 00 09 05 00 01 40 00 6D AA BB"));
  EXPECT_EQ(Copy(MsgBuf, MsgLen), HexBytes("1E 00 09 05 00 01 40 00 6D AA BB"));
}

Bytes LargestFrame() {
  Bytes payload(kCapacity - 8);
  for (size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<uint8_t>(i * 13 + 1);
  }
  return tagport_sim::BuildFrame(5, 1, 0x41, payload);
}

TEST_F(DecoderTest, AcceptsAFrameThatFillsTheBuffer) {
  const Bytes frame = LargestFrame();
  ASSERT_EQ(frame.size(), 2048u);
  EXPECT_EQ(Feed(frame), std::vector<int>{kCapacity - 1});
  EXPECT_EQ(MsgLen, kCapacity);
  EXPECT_EQ(PacketLen, kCapacity);
  EXPECT_EQ(Copy(MsgBuf, MsgLen), frame);
}

// Everything the decoder may not spill into, as a native caller sees it.
struct Neighbours {
  Bytes sent_buf = Copy(SentBuf, sizeof SentBuf);
  int32_t sent_len = SentLen;
  int32_t port = FD_COM;
};

void ExpectNeighboursIntact(const Neighbours& before) {
  EXPECT_EQ(Copy(SentBuf, sizeof SentBuf), before.sent_buf);
  EXPECT_EQ(SentLen, before.sent_len);
  EXPECT_EQ(FD_COM, before.port);
}

void MarkSentBuf() {
  // No port is open: the frame is only built.
  const Bytes payload(kCapacity - 8, 0xC3);
  SentPacket(5, 0x41, payload.data(), static_cast<int>(payload.size()));
}

// The smallest frame (no payload) and a reply, each followed by more bytes
// than the buffer has left behind it.
TEST_F(DecoderTest, StopsStoringOnceTheBufferIsFull) {
  MarkSentBuf();
  const Neighbours before;
  for (const char* text : {kReply, "1E 00 08 05 00 01 40 6C"}) {
    SCOPED_TRACE(text);
    ClearPacket();
    const Bytes frame = HexBytes(text);
    const int size = static_cast<int>(frame.size());
    ASSERT_EQ(Feed(frame), std::vector<int>{size - 1});
    const Bytes trailing(3 * kCapacity, 0x1E);
    EXPECT_EQ(Feed(trailing), std::vector<int>{});
    EXPECT_EQ(MsgLen, kCapacity);
    EXPECT_EQ(PacketLen, size);
    EXPECT_EQ(Copy(MsgBuf, size), frame);
    EXPECT_EQ(MsgBuf[kCapacity - 1], 0x1E);
  }
  ExpectNeighboursIntact(before);
}

TEST_F(DecoderTest, FullFrameStaysIntactUnderTrailingBytes) {
  MarkSentBuf();
  const Neighbours before;
  const Bytes frame = LargestFrame();
  ASSERT_EQ(Feed(frame).size(), 1u);
  EXPECT_EQ(Feed(Bytes(100, 0x00)), std::vector<int>{});
  EXPECT_EQ(MsgLen, kCapacity);
  EXPECT_EQ(PacketLen, kCapacity);
  EXPECT_EQ(Copy(MsgBuf, MsgLen), frame);
  ExpectNeighboursIntact(before);
}

// The counters are exported and writable; whatever a native caller leaves
// in them, the decoder keeps to MsgBuf and recovers.
TEST_F(DecoderTest, TamperedCountersNeverIndexOutsideMsgBuf) {
  struct Tamper {
    int32_t msg_len;
    int32_t packet_len;
  };
  const Tamper kTampered[] = {
      {-1, 0},
      {-5, 9},
      {INT_MIN, 0},
      {INT_MAX, 0},
      {kCapacity, 0},
      {kCapacity + 1, 9},
      {5000, 5000},
      {kCapacity - 1, 70000},
      {3, -1},
      {3, INT_MIN},
      {100, 50},
      {kCapacity, kCapacity},
      {kCapacity - 1, 9},
  };
  MarkSentBuf();
  const Neighbours before;
  const Bytes frame = HexBytes(kReply);
  for (const Tamper& tamper : kTampered) {
    SCOPED_TRACE(std::to_string(tamper.msg_len) + "/" +
                 std::to_string(tamper.packet_len));
    ClearPacket();
    MsgLen = tamper.msg_len;
    PacketLen = tamper.packet_len;
    for (int round = 0; round < 3 * kCapacity; ++round) {
      RxDecode(0x1E);
      ASSERT_GE(MsgLen, 0);
      ASSERT_LE(MsgLen, kCapacity);
    }
    ExpectNeighboursIntact(before);
    // Once cleared, the decoder works as before.
    ClearPacket();
    EXPECT_EQ(Feed(frame), std::vector<int>{8});
  }
}

TEST_F(DecoderTest, ClearPacketEmptiesTheBuffer) {
  ASSERT_EQ(Feed(LargestFrame()).size(), 1u);
  ClearPacket();
  EXPECT_EQ(MsgLen, 0);
  EXPECT_EQ(PacketLen, 0);
  EXPECT_EQ(Copy(MsgBuf, sizeof MsgBuf), Bytes(sizeof MsgBuf, 0));
}

TEST_F(DecoderTest, TakesTheLowByteOfEachValue) {
  // kReply with bits above the low byte set, and -226 for 0x1E.
  const int kValues[] = {-226,  0x100, 0x209, 0x105, 0x00,
                         0x301, 0x140, 0x700, 0x16D};
  int completed_at = kNever;
  for (int i = 0; i < 9; ++i) {
    if (RxDecode(kValues[i]) == 1) completed_at = i;
  }
  EXPECT_EQ(completed_at, 8);
  EXPECT_EQ(Copy(MsgBuf, MsgLen), HexBytes(kReply));
}

}  // namespace
}  // namespace tagport_test
