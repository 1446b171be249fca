#include "serial/serial_port.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>

#include "tests/support/line_fixture.h"
#include "tests/support/node_redirect.h"
#include "tools/common/pty.h"

namespace tagport_test {
namespace {

using SerialPortTest = LineTest;

const int32_t kLineRate = 115200;

struct termios AttributesOf(int fd) {
  struct termios line = {};
  EXPECT_EQ(tcgetattr(fd, &line), 0);
  return line;
}

// Puts the slave side into a cooked state with two stop bits at 1200 bit/s,
// so that any attribute the library leaves alone (or writes) shows. A
// pseudo-terminal always keeps 8 bits and no parity, so those cannot be
// marked. `*cooked` receives
// the attributes as set.
void MakeLineCooked(const std::string& slave_path,
                    struct termios* cooked = nullptr) {
  const int fd = open(slave_path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  struct termios line = AttributesOf(fd);
  line.c_iflag |= ICRNL | IXON | INPCK | ISTRIP;
  line.c_oflag |= OPOST | ONLCR;
  line.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  line.c_cflag |= CSTOPB;
  line.c_cc[VMIN] = 4;
  line.c_cc[VTIME] = 9;
  cfsetispeed(&line, B1200);
  cfsetospeed(&line, B1200);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &line), 0) << strerror(errno);
  if (cooked) *cooked = AttributesOf(fd);
  close(fd);
}

bool SameAttributes(const struct termios& a, const struct termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag &&
         a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         cfgetispeed(&a) == cfgetispeed(&b) &&
         cfgetospeed(&a) == cfgetospeed(&b) && a.c_cc[VMIN] == b.c_cc[VMIN] &&
         a.c_cc[VTIME] == b.c_cc[VTIME];
}

bool IsOpenDescriptor(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

TEST_F(SerialPortTest, RefusesIndexOutOfRangeWithoutOpening) {
  for (const uint32_t index : {4u, 5u, 255u, static_cast<uint32_t>(-1)}) {
    SCOPED_TRACE(index);
    const long opens = tagport_shim_node_opens();
    EXPECT_EQ(Api_OpenSerial(index, kLineRate), 0);
    EXPECT_EQ(FD_COM, -1);
    EXPECT_EQ(tagport_shim_node_opens(), opens);
  }
}

TEST_F(SerialPortTest, IndexOutOfRangeLeavesAnOpenPortAlone) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  const int port = FD_COM;
  const long opens = tagport_shim_node_opens();
  EXPECT_EQ(Api_OpenSerial(4, kLineRate), 0);
  EXPECT_EQ(Api_OpenSerial(static_cast<uint32_t>(-1), kLineRate), 0);
  EXPECT_EQ(FD_COM, port);
  EXPECT_TRUE(IsOpenDescriptor(port));
  EXPECT_EQ(tagport_shim_node_opens(), opens);
  const unsigned char byte = 0x5A;
  EXPECT_EQ(Api_WriteSerial(&byte, 1), 1);
  EXPECT_EQ(ReadLine(1), Bytes{0x5A});
}

TEST_F(SerialPortTest, EveryIndexOpensItsOwnNode) {
  for (uint32_t index = 0; index < 4; ++index) {
    SCOPED_TRACE(index);
    for (int other = 0; other < 4; ++other) {
      RedirectNode(other, other == static_cast<int>(index)
                              ? reader_.slave_path().c_str()
                              : "/nonexistent/tagport-node");
    }
    int opened = 0;
    EXPECT_EQ(StdoutOf([&] { opened = Api_OpenSerial(index, kLineRate); }), "");
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(Api_CloseSerial(), 1);
  }
}

struct RateCase {
  int32_t rate;
  speed_t speed;
};

void PrintTo(const RateCase& rate_case, std::ostream* out) {
  *out << rate_case.rate;
}

class LineSettingsTest : public LineTest,
                         public ::testing::WithParamInterface<RateCase> {};

TEST_P(LineSettingsTest, ConfiguresRawEightNoneOneAtTheRate) {
  MakeLineCooked(reader_.slave_path());
  ASSERT_EQ(Api_OpenSerial(3, GetParam().rate), 1);
  const struct termios line = AttributesOf(FD_COM);

  EXPECT_EQ(line.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                            ICRNL | IXON | INPCK),
            0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(line.c_cc[VMIN], 1);
  EXPECT_EQ(line.c_cc[VTIME], 0);
  EXPECT_EQ(cfgetispeed(&line), GetParam().speed);
  EXPECT_EQ(cfgetospeed(&line), GetParam().speed);
  EXPECT_NE(fcntl(FD_COM, F_GETFL) & O_NONBLOCK, 0);
}

INSTANTIATE_TEST_SUITE_P(
    AllRates, LineSettingsTest,
    ::testing::Values(RateCase{2400, B2400}, RateCase{4800, B4800},
                      RateCase{9600, B9600}, RateCase{19200, B19200},
                      RateCase{38400, B38400}, RateCase{57600, B57600},
                      RateCase{115200, B115200}, RateCase{230400, B230400},
                      RateCase{460800, B460800}, RateCase{921600, B921600},
                      RateCase{1000000, B1000000}, RateCase{1152000, B1152000},
                      RateCase{1500000, B1500000}, RateCase{2000000, B2000000},
                      RateCase{2500000, B2500000}, RateCase{3000000, B3000000},
                      RateCase{3500000, B3500000}, RateCase{4000000, B4000000}),
    [](const ::testing::TestParamInfo<RateCase>& rate_case) {
      return std::to_string(rate_case.param.rate);
    });

TEST_F(SerialPortTest, RefusedRateLeavesPortOpenAndLineUntouched) {
  for (const int32_t rate : {500000, 576000, 1200, 300, 0, -1, 115201, 2400 - 1,
                             4000001, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(rate);
    struct termios cooked = {};
    MakeLineCooked(reader_.slave_path(), &cooked);
    const int baseline = OpenDescriptorCount();
    int opened = -1;
    EXPECT_EQ(StdoutOf([&] { opened = Api_OpenSerial(3, rate); }), "");
    EXPECT_EQ(opened, 0);
    ASSERT_TRUE(IsOpenDescriptor(FD_COM));
    EXPECT_TRUE(isatty(FD_COM));
    EXPECT_EQ(OpenDescriptorCount(), baseline + 1);
    EXPECT_TRUE(SameAttributes(AttributesOf(FD_COM), cooked));
    EXPECT_EQ(Api_CloseSerial(), 1);
    EXPECT_EQ(FD_COM, -1);
    EXPECT_EQ(OpenDescriptorCount(), baseline);
  }
}

// A failed open also drops the port recorded before: the node is gone.
TEST_F(SerialPortTest, UnopenableNodeReportsAndRecordsNoPort) {
  const int baseline = OpenDescriptorCount();
  for (const bool port_was_open : {false, true}) {
    SCOPED_TRACE(port_was_open ? "port open before" : "no port before");
    RedirectNode(3, reader_.slave_path().c_str());
    if (port_was_open) {
      ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
    }
    RedirectNode(3, "/nonexistent/tagport-node");
    int opened = -1;
    EXPECT_EQ(StdoutOf([&] { opened = Api_OpenSerial(3, kLineRate); }),
              "openSerial failed");
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(FD_COM, -1);
    EXPECT_EQ(OpenDescriptorCount(), baseline);
  }
}

// tcgetattr fails on anything that is not a terminal; the node stays open.
TEST_F(SerialPortTest, NonTerminalNodeOpensButIsNotConfigured) {
  char temp_path[] = "/tmp/tagport-node-XXXXXX";
  const int temp_fd = mkstemp(temp_path);
  ASSERT_GE(temp_fd, 0);
  close(temp_fd);
  for (const char* path : {"/dev/null", static_cast<const char*>(temp_path)}) {
    SCOPED_TRACE(path);
    RedirectNode(3, path);
    const int baseline = OpenDescriptorCount();
    int opened = -1;
    EXPECT_EQ(StdoutOf([&] { opened = Api_OpenSerial(3, kLineRate); }), "");
    EXPECT_EQ(opened, 0);
    ASSERT_TRUE(IsOpenDescriptor(FD_COM));
    struct stat node = {};
    struct stat recorded = {};
    ASSERT_EQ(stat(path, &node), 0);
    ASSERT_EQ(fstat(FD_COM, &recorded), 0);
    EXPECT_EQ(recorded.st_ino, node.st_ino);
    EXPECT_EQ(recorded.st_dev, node.st_dev);
    EXPECT_EQ(OpenDescriptorCount(), baseline + 1);
    EXPECT_EQ(Api_CloseSerial(), 1);
    EXPECT_EQ(OpenDescriptorCount(), baseline);
  }
  unlink(temp_path);
}

TEST_F(SerialPortTest, CloseWithoutPortSucceeds) {
  const int baseline = OpenDescriptorCount();
  EXPECT_EQ(Api_CloseSerial(), 1);
  EXPECT_EQ(Api_CloseSerial(), 1);
  EXPECT_EQ(FD_COM, -1);
  EXPECT_EQ(OpenDescriptorCount(), baseline);
}

TEST_F(SerialPortTest, ReopeningDoesNotLeakDescriptors) {
  const int baseline = OpenDescriptorCount();
  for (int round = 0; round < 50; ++round) {
    ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
    ASSERT_EQ(OpenDescriptorCount(), baseline + 1) << "round " << round;
  }
  // The last descriptor opened is the one in use.
  const unsigned char byte = 0xA5;
  EXPECT_EQ(Api_WriteSerial(&byte, 1), 1);
  EXPECT_EQ(ReadLine(1), Bytes{0xA5});
  EXPECT_EQ(Api_CloseSerial(), 1);
  EXPECT_EQ(OpenDescriptorCount(), baseline);
}

TEST_F(SerialPortTest, ReadOnIdlePortMakesOneReadAndReturnsNothing) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  tagport_shim_reset_counts();
  unsigned char buffer[64];
  EXPECT_EQ(Api_ReadSerial(buffer, sizeof buffer), 0);
  if (ShimCountsReads()) {
    EXPECT_EQ(tagport_shim_read_calls(), 1);
  }
  EXPECT_EQ(tagport_shim_sleep_calls(), 0);
}

TEST_F(SerialPortTest, ReadReturnsWhatArrivedWithinCapacity) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  const Bytes sent = HexBytes("1E 0A 0D 00 FF 11 7F 80");
  WriteLine(sent);
  ASSERT_TRUE(WaitForInput(FD_COM, sent.size()));
  unsigned char buffer[16] = {};
  EXPECT_EQ(Api_ReadSerial(buffer, 3), 3);
  EXPECT_EQ(Copy(buffer, 3), Bytes(sent.begin(), sent.begin() + 3));
  EXPECT_EQ(Api_ReadSerial(buffer, sizeof buffer), 5);
  EXPECT_EQ(Copy(buffer, 5), Bytes(sent.begin() + 3, sent.end()));
}

TEST_F(SerialPortTest, ReadWithoutPortReadsNothing) {
  unsigned char buffer[8];
  EXPECT_EQ(Api_ReadSerial(buffer, sizeof buffer), 0);
  if (ShimCountsReads()) {
    EXPECT_EQ(tagport_shim_read_calls(), 0);
  }
}

TEST_F(SerialPortTest, InputWaitingBeforeOpenIsDiscarded) {
  const Bytes stale = HexBytes("1E 00 09 05 00 01 40 00 6D");
  WriteLine(stale);
  const int observer = open(reader_.slave_path().c_str(), O_RDONLY | O_NOCTTY);
  ASSERT_GE(observer, 0);
  ASSERT_TRUE(WaitForInput(observer, stale.size()));
  close(observer);

  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  unsigned char buffer[64];
  EXPECT_EQ(Api_ReadSerial(buffer, sizeof buffer), 0);

  const Bytes fresh = HexBytes("AB CD");
  WriteLine(fresh);
  ASSERT_TRUE(WaitForInput(FD_COM, fresh.size()));
  ASSERT_EQ(Api_ReadSerial(buffer, sizeof buffer), 2);
  EXPECT_EQ(Copy(buffer, 2), fresh);
}

TEST_F(SerialPortTest, WriteWithoutPortDoesNothing) {
  const unsigned char byte = 0x1E;
  int written = -1;
  EXPECT_EQ(StdoutOf([&] { written = Api_WriteSerial(&byte, 1); }), "");
  EXPECT_EQ(written, 0);
}

TEST_F(SerialPortTest, WriteOfNothingIsAnError) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  const unsigned char byte = 0x1E;
  // A negative length must never reach write(2) as a huge unsigned count.
  for (const int length : {0, -1, INT_MIN}) {
    SCOPED_TRACE(length);
    int written = -1;
    EXPECT_EQ(StdoutOf([&] { written = Api_WriteSerial(&byte, length); }),
              "write error: ");
    EXPECT_EQ(written, 0);
  }
  EXPECT_EQ(ReadLine(1, 50), Bytes());
}

TEST_F(SerialPortTest, WriteToHungUpLineIsAnError) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  reader_.HangUp();
  const Bytes frame = HexBytes("1E 00 09 05 00 FF 40 01 6C");
  int written = -1;
  EXPECT_EQ(StdoutOf([&] {
              written =
                  Api_WriteSerial(frame.data(), static_cast<int>(frame.size()));
            }),
            "write error: ");
  EXPECT_EQ(written, 0);
}

// More than a pseudo-terminal buffers, so the write meets a full line.
const size_t kLargeWrite = 64 * 1024;

Bytes CountingPattern(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<uint8_t>(i ^ (i >> 8) ^ (i >> 16));
  }
  return bytes;
}

TEST(PseudoTerminal, BuffersLessThanTheLargeWrite) {
  int master = -1;
  int slave = -1;
  std::string path;
  tagport_tools::OpenRawPty(&master, &slave, &path);
  ASSERT_GE(master, 0);
  fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);
  const Bytes data = CountingPattern(kLargeWrite);
  size_t taken = 0;
  ssize_t n;
  while ((n = write(slave, data.data() + taken, data.size() - taken)) > 0) {
    taken += static_cast<size_t>(n);
  }
  EXPECT_LT(taken, kLargeWrite);
  close(slave);
  close(master);
}

TEST_F(SerialPortTest, WriteCompletesALargeBufferOnASlowLine) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  const Bytes data = CountingPattern(kLargeWrite);
  Bytes received;
  std::atomic<bool> write_returned{false};
  std::thread drain([&] {
    unsigned char chunk[2048];
    while (received.size() < data.size()) {
      struct pollfd line = {reader_.master_fd(), POLLIN, 0};
      const int ready = poll(&line, 1, 500);
      // Once the write has returned, an idle line means nothing more comes.
      if (ready == 0 && write_returned) break;
      if (ready <= 0) continue;
      const ssize_t n = read(reader_.master_fd(), chunk, sizeof chunk);
      if (n <= 0) break;
      received.insert(received.end(), chunk, chunk + n);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  int written = -1;
  const std::string printed = StdoutOf([&] {
    written = Api_WriteSerial(data.data(), static_cast<int>(data.size()));
  });
  write_returned = true;
  drain.join();
  EXPECT_EQ(written, static_cast<int>(data.size()));
  EXPECT_EQ(printed, "");
  ASSERT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data) << "bytes lost or reordered";
}

// Drained in small bites with pauses, so the whole write lasts well over the
// one-second bound although no single stall comes near it.
TEST_F(SerialPortTest, WriteOutlastsTheStallBoundWhileTheLineDrains) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  const Bytes data = CountingPattern(kLargeWrite);
  Bytes received;
  std::thread drain([&] {
    unsigned char chunk[1024];
    while (received.size() < data.size()) {
      struct pollfd line = {reader_.master_fd(), POLLIN, 0};
      if (poll(&line, 1, 3000) <= 0) break;
      const ssize_t n = read(reader_.master_fd(), chunk, sizeof chunk);
      if (n <= 0) break;
      received.insert(received.end(), chunk, chunk + n);
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
  });
  const auto start = std::chrono::steady_clock::now();
  int written = -1;
  const std::string printed = StdoutOf([&] {
    written = Api_WriteSerial(data.data(), static_cast<int>(data.size()));
  });
  const auto elapsed = std::chrono::steady_clock::now() - start;
  drain.join();
  EXPECT_EQ(written, static_cast<int>(data.size()));
  EXPECT_EQ(printed, "");
  EXPECT_TRUE(received == data) << "bytes lost or reordered";
  // Guards the premise: had the line drained faster, this proves nothing.
  EXPECT_GT(elapsed, std::chrono::milliseconds(1000));
}

TEST_F(SerialPortTest, WriteGivesUpOnALineThatTakesNothing) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  const Bytes data = CountingPattern(kLargeWrite);
  int written = -1;
  const std::string printed = StdoutOf([&] {
    written = Api_WriteSerial(data.data(), static_cast<int>(data.size()));
  });
  EXPECT_EQ(written, 0);
  EXPECT_EQ(printed, "write error: ");
}

}  // namespace
}  // namespace tagport_test
