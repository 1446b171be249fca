#include "protocol/reader_protocol.h"

#include <gtest/gtest.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>

#include "tests/support/line_fixture.h"

namespace tagport_test {
namespace {

TEST(ReaderProtocol, RequestsMakeTheReadersFrames) {
  const struct {
    ReaderRequestId id;
    const char* frame;
  } kCases[] = {
      {kReaderOpen, "1E 00 09 05 00 FF 40 01 6C"},
      {kReaderSeek, "1E 00 0B 05 00 FF 41 04 00 00 72"},
      {kReaderMove, "1E 00 09 05 00 FF 50 00 7B"},
  };
  ASSERT_EQ(FD_COM, -1) << "no port open: the frames are only built";
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.frame);
    const ReaderRequest* request = ReaderRequestFor(c.id);
    EXPECT_EQ(SentPacket(kReaderTarget, request->command, request->payload,
                         request->payload_length),
              0);
    EXPECT_EQ(Copy(SentBuf, SentLen), HexBytes(c.frame));
  }
}

struct ReplyCase {
  const char* name;
  ReaderRequestId request;
  const char* reply;
  ReaderReplyProblem problem;  // the first rule broken, which tools report
};

TEST(ReaderProtocol, NamesTheFirstRuleAReplyBreaks) {
  const ReplyCase kCases[] = {
      {"open accepted", kReaderOpen, "1E 00 09 05 00 01 40 00 6D",
       kReaderReplyAccepted},
      {"status before target", kReaderOpen, "1E 00 09 06 00 02 40 00 6F",
       kReaderReplyBadStatus},
      {"command before target", kReaderOpen, "1E 00 09 06 00 01 41 00 6F",
       kReaderReplyBadCommand},
      {"target", kReaderOpen, "1E 00 09 06 00 01 40 00 6E",
       kReaderReplyBadTarget},
      // open and move look neither at byte 7 nor at the length.
      {"open with byte 7 zero", kReaderOpen,
       "1E 00 0C 05 00 01 40 00 00 00 00 70", kReaderReplyAccepted},
      {"move accepted", kReaderMove, "1E 00 09 05 00 01 50 00 7D",
       kReaderReplyAccepted},
      {"move answered as open", kReaderMove, "1E 00 09 05 00 01 40 00 6D",
       kReaderReplyBadCommand},
      {"move status 0", kReaderMove, "1E 00 09 05 00 00 50 00 7C",
       kReaderReplyBadStatus},
      {"seek accepted", kReaderSeek,
       "1E 00 14 05 00 01 41 01 00 00 00 04 A1 B2 C3 D4 E5 F6 07 4A",
       kReaderReplyAccepted},
      {"seek answered as move", kReaderSeek, "1E 00 09 05 00 01 50 00 7D",
       kReaderReplyBadCommand},
      {"seek target before card flag", kReaderSeek,
       "1E 00 14 06 00 01 41 00 00 00 00 04 A1 B2 C3 D4 E5 F6 07 4A",
       kReaderReplyBadTarget},
      {"seek no card flag", kReaderSeek,
       "1E 00 14 05 00 01 41 00 00 00 00 04 A1 B2 C3 D4 E5 F6 07 49",
       kReaderReplyNoCardFlag},
      {"seek card flag 2", kReaderSeek,
       "1E 00 14 05 00 01 41 02 00 00 00 04 A1 B2 C3 D4 E5 F6 07 4B",
       kReaderReplyNoCardFlag},
      {"seek card flag before length", kReaderSeek,
       "1E 00 13 05 00 01 41 00 00 00 00 04 A1 B2 C3 D4 E5 F6 41",
       kReaderReplyNoCardFlag},
      {"seek 19 bytes", kReaderSeek,
       "1E 00 13 05 00 01 41 01 00 00 00 04 A1 B2 C3 D4 E5 F6 42",
       kReaderReplyTooShort},
  };
  for (const ReplyCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const Bytes reply = HexBytes(c.reply);
    EXPECT_EQ(ReaderCheckReply(c.request, reply.data(),
                               static_cast<int>(reply.size())),
              c.problem);
  }
}

TEST(ReaderProtocol, CardDataRunsFromByte11ToTheChecksum) {
  EXPECT_EQ(kReaderCardDataOffset, 11);
  EXPECT_EQ(ReaderCardCount(20), 8);
  EXPECT_EQ(ReaderCardCount(2048), 2036);
}

}  // namespace
}  // namespace tagport_test
