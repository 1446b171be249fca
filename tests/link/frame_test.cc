#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>

#include <string>

#include "tests/support/line_fixture.h"

namespace tagport_test {
namespace {

using FrameTest = LineTest;

const int32_t kLineRate = 115200;
const int kTarget = 5;
const int kLargestPayload = 2040;

Bytes SentFrame() { return Copy(SentBuf, SentLen); }

int Send(int command, const Bytes& payload) {
  return SentPacket(kTarget, command, payload.data(),
                    static_cast<int>(payload.size()));
}

struct RequestCase {
  int target;
  int command;
  const char* payload;
  const char* frame;
};

// The reader's three requests, and frames for other targets a native
// caller may address.
TEST_F(FrameTest, RequestsGoOutByteForByte) {
  const RequestCase kRequests[] = {
      {kTarget, 0x40, "01", "1E 00 09 05 00 FF 40 01 6C"},
      {kTarget, 0x41, "04 00 00", "1E 00 0B 05 00 FF 41 04 00 00 72"},
      {kTarget, 0x50, "00", "1E 00 09 05 00 FF 50 00 7B"},
      {kTarget, 0x40, "", "1E 00 08 05 00 FF 40 6A"},
      {0x07, 0x40, "01", "1E 00 09 07 00 FF 40 01 6E"},
      {0x00, 0x50, "00", "1E 00 09 00 00 FF 50 00 76"},
  };
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  for (const RequestCase& request : kRequests) {
    SCOPED_TRACE(request.frame);
    // Every byte of the frame is written, whatever SentBuf held.
    memset(SentBuf, 0xEE, sizeof SentBuf);
    const Bytes frame = HexBytes(request.frame);
    const Bytes payload = HexBytes(request.payload);
    EXPECT_EQ(SentPacket(request.target, request.command, payload.data(),
                         static_cast<int>(payload.size())),
              static_cast<int>(frame.size()));
    EXPECT_EQ(ReadLine(frame.size()), frame);
    EXPECT_EQ(SentFrame(), frame);
  }
}

TEST_F(FrameTest, NullPayloadOfNoBytesMakesAnEmptyFrame) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  EXPECT_EQ(SentPacket(kTarget, 0x50, nullptr, 0), 8);
  EXPECT_EQ(ReadLine(8), HexBytes("1E 00 08 05 00 FF 50 7A"));
}

// Only the low 8 bits of target and command go into the frame.
TEST_F(FrameTest, TargetAndCommandAreTruncatedToBytes) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  EXPECT_EQ(SentPacket(0x1FE, 0x241, nullptr, 0), 8);
  EXPECT_EQ(ReadLine(8), HexBytes("1E 00 08 FE 00 FF 41 64"));
}

TEST_F(FrameTest, LargestPayloadFillsSentBuf) {
  Bytes payload(kLargestPayload);
  for (size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<uint8_t>(i * 31 + 7);
  }
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  EXPECT_EQ(Send(0x41, payload), 2048);
  EXPECT_EQ(SentLen, 2048);
  EXPECT_EQ(SentBuf[1], 0x08);
  EXPECT_EQ(SentBuf[2], 0x00);
  EXPECT_EQ(Copy(SentBuf + 7, kLargestPayload), payload);
  EXPECT_EQ(SentBuf[2047], tagport_sim::Checksum(SentBuf, 2047));
  EXPECT_EQ(SentFrame(), tagport_sim::BuildFrame(5, 0xFF, 0x41, payload));
  EXPECT_EQ(ReadLine(2048), SentFrame());
}

// A refused request must leave the previous frame as it was: a caller may
// still be looking at it.
TEST_F(FrameTest, RefusedRequestsChangeNothing) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  ASSERT_EQ(Send(0x41, HexBytes("04 00 00")), 11);
  ASSERT_EQ(ReadLine(11).size(), 11u);
  const Bytes whole_buffer = Copy(SentBuf, sizeof SentBuf);
  const Bytes payload(4096, 0xEE);

  struct Refused {
    const char* what;
    const unsigned char* payload;
    int n;
  };
  const Refused kRefused[] = {
      {"negative length", payload.data(), -1},
      {"most negative length", payload.data(), INT_MIN},
      {"one byte over", payload.data(), kLargestPayload + 1},
      {"far over", payload.data(), 4096},
      {"largest int", payload.data(), INT_MAX},
      {"null payload", nullptr, 1},
      {"null payload, largest", nullptr, kLargestPayload},
  };
  for (const Refused& refused : kRefused) {
    SCOPED_TRACE(refused.what);
    int sent = -1;
    EXPECT_EQ(StdoutOf([&] {
                sent = SentPacket(kTarget, 0x50, refused.payload, refused.n);
              }),
              "");
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(SentLen, 11);
    EXPECT_EQ(Copy(SentBuf, sizeof SentBuf), whole_buffer);
  }
  EXPECT_EQ(ReadLine(1, 100), Bytes());
}

TEST_F(FrameTest, WithoutPortTheFrameIsBuiltButNotSent) {
  int sent = -1;
  EXPECT_EQ(StdoutOf([&] { sent = Send(0x50, HexBytes("00")); }), "");
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(SentFrame(), HexBytes("1E 00 09 05 00 FF 50 00 7B"));
}

TEST_F(FrameTest, WriteFailureIsPassedUp) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  reader_.HangUp();
  int sent = -1;
  EXPECT_EQ(StdoutOf([&] { sent = Send(0x40, HexBytes("01")); }),
            "write error: ");
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(SentFrame(), HexBytes("1E 00 09 05 00 FF 40 01 6C"));
}

struct ChecksumCase {
  const char* data;
  int length;  // -1: all of `data`
  int sum;
};

TEST(GetChkSum, SumsModulo256) {
  const ChecksumCase kCases[] = {
      {"FF FF", -1, 0xFE},
      {"", -1, 0x00},
      {"01 02 03", -1, 0x06},
      {"80 01", -1, 0x81},  // bytes count as unsigned
      {"80 80", -1, 0x00},
      {"FF FF FF", -1, 0xFD},
      {"1E 00 09 05 00 01 40 00", -1, 0x6D},
      {"01 02 03", 2, 0x03},  // only the first `length` bytes
      {"01 02 03", 0, 0x00},
      {"01 02 03", -5, 0x00},
      {"01 02 03", INT_MIN, 0x00},
  };
  for (const ChecksumCase& test_case : kCases) {
    const Bytes data = HexBytes(test_case.data);
    const int length = test_case.length == -1 ? static_cast<int>(data.size())
                                              : test_case.length;
    EXPECT_EQ(GetChkSum(data.data(), length), test_case.sum)
        << test_case.data << " over " << length;
  }
}

TEST(GetChkSum, WrapsOverLongRuns) {
  const Bytes ones(300, 0x01);
  EXPECT_EQ(GetChkSum(ones.data(), 300), 300 - 256);
  const Bytes full(2048, 0xFF);
  EXPECT_EQ(GetChkSum(full.data(), 2048), 0x00);
  EXPECT_EQ(GetChkSum(full.data(), 2047), 0x01);
}

TEST(GetChkSum, NullDataSumsToZero) { EXPECT_EQ(GetChkSum(nullptr, 16), 0); }

}  // namespace
}  // namespace tagport_test
