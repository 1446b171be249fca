#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tagport/serial_port.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/line_fixture.h"
#include "tests/support/process.h"
#include "tools/common/pty.h"
#include "tools/redirect/node_redirect.h"

namespace tagport_test {
namespace {

using SerialPortTest = LineTest;

const int32_t kLineRate = 115200;

struct termios AttributesOf(int fd) {
  struct termios line = {};
  EXPECT_EQ(tcgetattr(fd, &line), 0);
  return line;
}

// Puts the slave side into a cooked state with two stop bits, input parity
// checking, hardware flow control on and modem lines honoured, at 1200
// bit/s, so that any attribute the library leaves alone (or writes) shows.
// A pseudo-terminal always keeps 8 bits, no parity and CREAD whatever it is
// given. `*cooked` receives the attributes as set.
void MakeLineCooked(const std::string& slave_path,
                    struct termios* cooked = nullptr) {
  const int fd = open(slave_path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  struct termios line = AttributesOf(fd);
  line.c_iflag |= ICRNL | IXON | INPCK | ISTRIP | IGNPAR;
  line.c_oflag |= OPOST | ONLCR;
  line.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  line.c_cflag |= CSTOPB | CRTSCTS | HUPCL;
  line.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
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

void SetNonBlocking(int fd) {
  ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
}

TEST_F(SerialPortTest, RefusesIndexOutOfRangeWithoutOpening) {
  for (const uint32_t index : {4u, 5u, 255u, static_cast<uint32_t>(-1)}) {
    SCOPED_TRACE(index);
    const long opens = tagport_redirect_node_opens();
    EXPECT_EQ(Api_OpenSerial(index, kLineRate), 0);
    EXPECT_EQ(FD_COM, -1);
    EXPECT_EQ(tagport_redirect_node_opens(), opens);
  }
}

TEST_F(SerialPortTest, IndexOutOfRangeLeavesAnOpenPortAlone) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  const int port = FD_COM;
  const long opens = tagport_redirect_node_opens();
  EXPECT_EQ(Api_OpenSerial(4, kLineRate), 0);
  EXPECT_EQ(Api_OpenSerial(static_cast<uint32_t>(-1), kLineRate), 0);
  EXPECT_EQ(FD_COM, port);
  EXPECT_TRUE(IsOpenDescriptor(port));
  EXPECT_EQ(tagport_redirect_node_opens(), opens);
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

const tcflag_t kRawInputOff =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | INPCK;
const tcflag_t kRawLocalOff = ECHO | ECHONL | ICANON | ISIG | IEXTEN;

// Judged on the attributes the library handed to tcsetattr, since a
// pseudo-terminal reads back 8 bits and no parity whatever it was given.
TEST_P(LineSettingsTest, ConfiguresRawEightNoneOneAtTheRate) {
  struct termios found = {};
  MakeLineCooked(reader_.slave_path(), &found);
  ASSERT_EQ(Api_OpenSerial(3, GetParam().rate), 1);

  const std::vector<tagport_redirect_call> calls = LibraryCalls();
  EXPECT_EQ(OnlyCall(calls, TAGPORT_REDIRECT_OPEN).value,
            O_RDWR | O_NOCTTY | O_NONBLOCK | O_EXCL);
  const tagport_redirect_call settings =
      OnlyCall(calls, TAGPORT_REDIRECT_TCSETATTR);
  ASSERT_EQ(settings.kind, TAGPORT_REDIRECT_TCSETATTR);
  EXPECT_EQ(settings.value, TCSANOW);

  const struct termios& given = settings.attributes;
  EXPECT_EQ(given.c_iflag, found.c_iflag & ~kRawInputOff);
  EXPECT_EQ(given.c_oflag, found.c_oflag & ~static_cast<tcflag_t>(OPOST));
  EXPECT_EQ(given.c_lflag, found.c_lflag & ~kRawLocalOff);
  EXPECT_EQ(given.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(given.c_cflag & (PARENB | CSTOPB), 0u);
  // Flow control, modem lines and receiver stay as the line had them.
  const tcflag_t kept = CLOCAL | CREAD | CRTSCTS | HUPCL;
  EXPECT_EQ(given.c_cflag & kept, found.c_cflag & kept);
  EXPECT_EQ(cfgetispeed(&given), GetParam().speed);
  EXPECT_EQ(cfgetospeed(&given), GetParam().speed);
  for (int k = 0; k < NCCS; ++k) {
    const cc_t expected = k == VMIN ? 1 : k == VTIME ? 0 : found.c_cc[k];
    EXPECT_EQ(given.c_cc[k], expected) << "c_cc[" << k << "]";
  }
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

// The node opened and made exclusive, nothing more.
const CallSummary kOpenOnly = {
    {TAGPORT_REDIRECT_OPEN, O_RDWR | O_NOCTTY | O_NONBLOCK | O_EXCL},
    {TAGPORT_REDIRECT_IOCTL, TIOCEXCL}};
const CallSummary::value_type kRelease = {TAGPORT_REDIRECT_IOCTL, TIOCNXCL};

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
    EXPECT_EQ(LibraryCallSummary(), kOpenOnly) << "no flush, no attributes";
    tagport_redirect_reset();
    EXPECT_EQ(Api_CloseSerial(), 1);
    EXPECT_EQ(FD_COM, -1);
    EXPECT_EQ(OpenDescriptorCount(), baseline);
    EXPECT_EQ(LibraryCallSummary(), CallSummary{kRelease});
    tagport_redirect_reset();
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

// A line that refuses the attributes is open but not configured; a flush
// that fails, a driver without exclusive mode, or a descriptor that cannot
// be marked close-on-exec, is no reason to refuse the line.
TEST_F(SerialPortTest, OnlyRefusedAttributesFailAnOpenedNode) {
  const CallSummary kConfigured = {kOpenOnly[0],
                                   kOpenOnly[1],
                                   {TAGPORT_REDIRECT_TCFLUSH, TCIFLUSH},
                                   {TAGPORT_REDIRECT_TCSETATTR, TCSANOW}};
  const struct {
    const char* what;
    int failing;
    int opened;
  } kCases[] = {
      {"attributes refused", TAGPORT_REDIRECT_TCSETATTR, 0},
      {"flush fails", TAGPORT_REDIRECT_TCFLUSH, 1},
      {"no exclusive mode", TAGPORT_REDIRECT_IOCTL, 1},
      {"no close-on-exec", TAGPORT_REDIRECT_FCNTL, 1},
  };
  for (const auto& test_case : kCases) {
    SCOPED_TRACE(test_case.what);
    const int baseline = OpenDescriptorCount();
    tagport_redirect_reset();
    tagport_redirect_fail_next(test_case.failing, EIO);
    int opened = -1;
    EXPECT_EQ(StdoutOf([&] { opened = Api_OpenSerial(3, kLineRate); }), "");
    EXPECT_EQ(opened, test_case.opened);
    EXPECT_EQ(LibraryCallSummary(), kConfigured);
    EXPECT_TRUE(isatty(FD_COM));
    EXPECT_EQ(OpenDescriptorCount(), baseline + 1);
    EXPECT_EQ(Api_CloseSerial(), 1);
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
    tagport_redirect_reset();
    int opened = -1;
    EXPECT_EQ(StdoutOf([&] { opened = Api_OpenSerial(3, kLineRate); }), "");
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(LibraryCallSummary(), kOpenOnly);
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
  EXPECT_EQ(LibraryCallSummary(), CallSummary{}) << "nothing to release";
}

// Both closes the library makes lift the exclusive mark first, which
// outlives the descriptor on a line whose other side stays open; a line
// that refuses to lift it is closed all the same.
TEST_F(SerialPortTest, EveryCloseReleasesTheLineFirst) {
  const CallSummary kReopen = {kRelease,
                               kOpenOnly[0],
                               kOpenOnly[1],
                               {TAGPORT_REDIRECT_TCFLUSH, TCIFLUSH},
                               {TAGPORT_REDIRECT_TCSETATTR, TCSANOW}};
  const struct {
    const char* what;
    int (*close_port)();
    CallSummary calls;
    int left_open;  // descriptors left open afterwards
  } kCases[] = {
      {"close", [] { return Api_CloseSerial(); }, {kRelease}, 0},
      {"reopen", [] { return Api_OpenSerial(3, kLineRate); }, kReopen, 1},
  };
  const int baseline = OpenDescriptorCount();
  for (const auto& test_case : kCases) {
    for (const bool release_refused : {false, true}) {
      SCOPED_TRACE(std::string(test_case.what) +
                   (release_refused ? ", release refused" : ""));
      ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
      const int before = FD_COM;
      tagport_redirect_reset();
      if (release_refused) {
        tagport_redirect_fail_next(TAGPORT_REDIRECT_IOCTL, ENOTTY);
      }
      int result = -1;
      EXPECT_EQ(StdoutOf([&] { result = test_case.close_port(); }), "");
      EXPECT_EQ(result, 1);
      EXPECT_EQ(LibraryCallSummary(), test_case.calls);
      EXPECT_EQ(OpenDescriptorCount(), baseline + test_case.left_open);
      EXPECT_TRUE(test_case.left_open == 0 ? FD_COM == -1 : FD_COM != -1);
      EXPECT_FALSE(before != FD_COM && IsOpenDescriptor(before))
          << "the descriptor closed is still open";
      EXPECT_EQ(Api_CloseSerial(), 1);
    }
  }
}

// Another program that opens port 3 through libtagport.so while this one
// may hold it: what its Api_OpenSerial answered, what the library printed
// there, and its standard error.
struct SecondOpener {
  int exit_code = -1;
  int opened = -1;  // -1 when it did not say
  std::string printed;
  std::string err;
};

// Runs tagport_port_opener with "/dev/ttyMT3" leading to `node`, from its
// copy in `dir` (StageSecondOpener). Under root it runs as uid 65534 (root
// passes any exclusive mark), under qemu-user through the emulator.
SecondOpener RunSecondOpener(const std::string& dir, const std::string& node,
                             const std::vector<std::string>& prefix) {
  std::vector<std::string> args = prefix;
  std::string word;
  for (const char c : std::string(TAGPORT_TARGET_EMULATOR) + "|") {
    if (c != '|') {
      word += c;
    } else if (!word.empty()) {
      args.push_back(word);
      word.clear();
    }
  }
  args.push_back(dir + "/port_opener");
  Process opener(dir, "opener", args,
                 {"TAGPORT_TTYMT3=" + node, "LD_LIBRARY_PATH=" + dir});
  SecondOpener result;
  if (!opener.started()) return result;
  result.exit_code = opener.Wait();
  result.printed = opener.Out();
  result.err = opener.Err();
  const std::string kSaid = "Api_OpenSerial = ";
  const size_t said = result.err.find(kSaid);
  if (said != std::string::npos) {
    result.opened = atoi(result.err.c_str() + said + kSaid.size());
  }
  return result;
}

// While the port is open, another program is refused it exactly as a node
// that cannot be opened, and takes nothing from the line: the bytes waiting
// for the holder are still there for it. Once the library has closed the
// port, by Api_CloseSerial or by opening another node, the program opens
// it.
TEST_F(SerialPortTest, AnotherProgramIsRefusedThePortWhileItIsOpen) {
  std::vector<std::string> prefix;
  if (!UnprivilegedPrefix(&prefix)) {
    GTEST_SKIP() << "running as root without setpriv (util-linux): no "
                    "unprivileged second opener";
  }
  char dir_name[] = "/tmp/tagport-opener-XXXXXX";
  ASSERT_NE(mkdtemp(dir_name), nullptr);
  const std::string dir = dir_name;
  const std::vector<StagedFile> kStaged = {
      {TAGPORT_PORT_OPENER_PATH, "port_opener"},
      {TAGPORT_LIBRARY_PATH, TAGPORT_LIBRARY_SONAME},
      {TAGPORT_REDIRECT_PATH, "libtagport_redirect.so"}};
  std::string why;
  ASSERT_TRUE(StageForOtherUsers(dir, kStaged, &why)) << why;
  const std::string line = reader_.slave_path();
  ASSERT_EQ(chmod(line.c_str(), 0666), 0) << strerror(errno);

  const struct {
    const char* what;
    std::vector<const char*> steps;  // the library's, before the other's
    bool held;
  } kCases[] = {
      {"never opened", {}, false},
      {"open", {"open"}, true},
      {"closed", {"open", "close"}, false},
      {"reopened", {"open", "open"}, true},
      {"reopened, closed", {"open", "open", "close"}, false},
      {"rate refused, still open", {"open", "open 500000"}, true},
      {"reopen of a missing node", {"open", "open missing"}, false},
  };
  const Bytes waiting = HexBytes("1E 00 09 05 00 01 40 00 6D");
  for (const auto& test_case : kCases) {
    SCOPED_TRACE(test_case.what);
    for (const std::string step : test_case.steps) {
      RedirectNode(3, step == "open missing" ? "/nonexistent/tagport-node"
                                             : line.c_str());
      if (step == "close") {
        Api_CloseSerial();
      } else {
        (void)StdoutOf([&] {
          Api_OpenSerial(3, step == "open 500000" ? 500000 : kLineRate);
        });
      }
    }
    // Back to the line for the other program too: under qemu-user the
    // inherited entry wins over the one RunSecondOpener puts ahead of it.
    RedirectNode(3, line.c_str());
    if (test_case.held) {
      WriteLine(waiting);
      ASSERT_TRUE(WaitForInput(FD_COM, waiting.size()));
    }
    const SecondOpener other = RunSecondOpener(dir, line, prefix);
    ASSERT_EQ(other.exit_code, 0) << other.err;
    EXPECT_EQ(other.opened, test_case.held ? 0 : 1) << other.err;
    EXPECT_EQ(other.printed, test_case.held ? "openSerial failed" : "");
    if (test_case.held) {
      unsigned char buffer[64];
      const int n = Api_ReadSerial(buffer, sizeof buffer);
      EXPECT_EQ(Copy(buffer, n), waiting) << "the holder's bytes were taken";
    }
    Api_CloseSerial();
  }
  for (const char* file : {"opener.out", "opener.err"}) {
    unlink((dir + "/" + file).c_str());
  }
  for (const StagedFile& file : kStaged) {
    unlink((dir + "/" + file.name).c_str());
  }
  rmdir(dir.c_str());
}

// Where descriptor `fd` of process `pid` leads; empty when it is not open.
std::string DescriptorTarget(pid_t pid, const std::string& fd) {
  const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + fd;
  char target[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// The descriptors of process `pid` that lead to `path`.
int DescriptorsLeadingTo(pid_t pid, const std::string& path) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* fds = opendir(dir.c_str());
  if (fds == nullptr) return -1;
  int count = 0;
  while (struct dirent* entry = readdir(fds)) {
    if (DescriptorTarget(pid, entry->d_name) == path) ++count;
  }
  closedir(fds);
  return count;
}

// A program the app starts while the port is open (fork, then exec, as
// Runtime.exec does) holds nothing of the line, before or after the app's
// close; a fork alone holds the port's descriptor, which proves the check
// sees a holder.
TEST_F(SerialPortTest, AProgramStartedWhileThePortIsOpenHoldsNoneOfIt) {
  const std::string line = reader_.slave_path();
  for (const bool exec : {true, false}) {
    SCOPED_TRACE(exec ? "fork and exec" : "fork alone");
    ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
    const std::string port = std::to_string(FD_COM);
    // The child's end closes at its exec, or as it goes to wait.
    int started[2];
    ASSERT_EQ(pipe2(started, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (exec) execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
      close(started[1]);
      pause();
      _exit(127);
    }
    close(started[1]);
    char byte;
    EXPECT_EQ(read(started[0], &byte, 1), 0);
    close(started[0]);
    if (exec) {
      EXPECT_EQ(DescriptorsLeadingTo(child, line), 0);
    } else {
      EXPECT_EQ(DescriptorTarget(child, port), line);
    }
    Api_CloseSerial();
    if (exec) {
      EXPECT_EQ(DescriptorsLeadingTo(child, line), 0);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
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
  tagport_redirect_reset();
  unsigned char buffer[64];
  EXPECT_EQ(Api_ReadSerial(buffer, sizeof buffer), 0);
  EXPECT_EQ(tagport_redirect_read_calls(), 1);
  EXPECT_EQ(tagport_redirect_sleep_calls(), 0);
}

// A capacity of 0 or less takes nothing; a negative one must never reach
// read(2) as a huge unsigned count.
TEST_F(SerialPortTest, ReadReturnsWhatArrivedWithinCapacity) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  const Bytes sent = HexBytes("1E 0A 0D 00 FF 11 7F 80");
  WriteLine(sent);
  ASSERT_TRUE(WaitForInput(FD_COM, sent.size()));
  unsigned char buffer[16] = {};
  for (const int capacity : {0, -1, INT_MIN}) {
    SCOPED_TRACE(capacity);
    tagport_redirect_reset();
    EXPECT_EQ(Api_ReadSerial(buffer, capacity), 0);
    EXPECT_EQ(tagport_redirect_read_calls(), 0);
  }
  EXPECT_EQ(Api_ReadSerial(buffer, 3), 3);
  EXPECT_EQ(Copy(buffer, 3), Bytes(sent.begin(), sent.begin() + 3));
  EXPECT_EQ(Api_ReadSerial(buffer, sizeof buffer), 5);
  EXPECT_EQ(Copy(buffer, 5), Bytes(sent.begin() + 3, sent.end()));
}

TEST_F(SerialPortTest, ReadWithoutPortReadsNothing) {
  unsigned char buffer[8];
  EXPECT_EQ(Api_ReadSerial(buffer, sizeof buffer), 0);
  EXPECT_EQ(tagport_redirect_read_calls(), 0);
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
    tagport_redirect_reset();
    int written = -1;
    EXPECT_EQ(StdoutOf([&] { written = Api_WriteSerial(&byte, length); }),
              "write error: ");
    EXPECT_EQ(written, 0);
    // A length of 0 makes exactly one write of 0 bytes.
    const CallSummary expected =
        length == 0 ? CallSummary{{TAGPORT_REDIRECT_WRITE, 0}} : CallSummary{};
    EXPECT_EQ(LibraryCallSummary(), expected);
  }
  EXPECT_EQ(ReadLine(1, 50), Bytes());
}

// The time a write may take in all beyond its bytes' time on the wire, and
// the time it may go without a byte taken.
const long long kWriteSlackMs = 1000;
const long long kStallMs = 1000;

// How long a write of `bytes` may take once it has to wait: the slack plus
// ten bits a byte (8N1) at `rate`, rounded up.
long long WriteBoundMs(size_t bytes, int32_t rate) {
  return kWriteSlackMs +
         (static_cast<long long>(bytes) * 10 * 1000 + rate - 1) / rate;
}

// The first wait of such a write: until the whole bound or the stall bound,
// whichever comes first.
long long FirstWaitMs(size_t bytes, int32_t rate) {
  return std::min(kStallMs, WriteBoundMs(bytes, rate));
}
// How far a poll's timeout may have counted down from the bound when it
// follows the stall's first at once.
const long long kClockSlackMs = 100;

// Compares the library's calls with `expected`, where a poll's timeout may
// fall short of the expected one by the slack.
void ExpectCalls(const CallSummary& expected) {
  const CallSummary calls = LibraryCallSummary();
  ASSERT_EQ(calls.size(), expected.size());
  for (size_t k = 0; k < calls.size(); ++k) {
    SCOPED_TRACE("call " + std::to_string(k));
    EXPECT_EQ(calls[k].first, expected[k].first);
    if (expected[k].first == TAGPORT_REDIRECT_POLL) {
      EXPECT_LE(calls[k].second, expected[k].second);
      EXPECT_GT(calls[k].second, expected[k].second - kClockSlackMs);
    } else {
      EXPECT_EQ(calls[k].second, expected[k].second);
    }
  }
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

struct InjectedFailure {
  int kind;
  int error;
};

// A write whose calls fail once as a line may make them fail: an
// interruption is retried, a full line is waited on for at most the write's
// bounds (its bytes' time on the wire at the line's rate plus a second, and
// a second without a byte taken), anything else ends the write.
TEST_F(SerialPortTest, WriteRidesOutInterruptionsAndAFullLine) {
  const size_t kFrame = 9;
  // The largest frame at the slowest rate needs 8.5 s on the wire.
  const size_t kLargestFrame = 2048;
  const CallSummary::value_type kWrite = {TAGPORT_REDIRECT_WRITE, kFrame};
  const CallSummary::value_type kWait = {TAGPORT_REDIRECT_POLL,
                                         FirstWaitMs(kFrame, kLineRate)};
  const struct {
    const char* what;
    int32_t rate;
    size_t length;
    std::vector<InjectedFailure> failures;
    CallSummary calls;
    bool written;
  } kCases[] = {
      {"write interrupted",
       kLineRate,
       kFrame,
       {{TAGPORT_REDIRECT_WRITE, EINTR}},
       {kWrite, kWrite},
       true},
      {"line full",
       kLineRate,
       kFrame,
       {{TAGPORT_REDIRECT_WRITE, EAGAIN}},
       {kWrite, kWait, kWrite},
       true},
      {"line full at 2400 bit/s",
       2400,
       kLargestFrame,
       {{TAGPORT_REDIRECT_WRITE, EAGAIN}},
       {{TAGPORT_REDIRECT_WRITE, kLargestFrame},
        {TAGPORT_REDIRECT_POLL, FirstWaitMs(kLargestFrame, 2400)},
        {TAGPORT_REDIRECT_WRITE, kLargestFrame}},
       true},
      {"wait interrupted",
       kLineRate,
       kFrame,
       {{TAGPORT_REDIRECT_WRITE, EAGAIN}, {TAGPORT_REDIRECT_POLL, EINTR}},
       {kWrite, kWait, kWait, kWrite},
       true},
      {"write fails",
       kLineRate,
       kFrame,
       {{TAGPORT_REDIRECT_WRITE, EIO}},
       {kWrite},
       false},
      {"wait fails",
       kLineRate,
       kFrame,
       {{TAGPORT_REDIRECT_WRITE, EAGAIN}, {TAGPORT_REDIRECT_POLL, ENOMEM}},
       {kWrite, kWait},
       false},
  };
  for (const auto& test_case : kCases) {
    SCOPED_TRACE(test_case.what);
    ASSERT_EQ(Api_OpenSerial(3, test_case.rate), 1);
    const Bytes frame = CountingPattern(test_case.length);
    tagport_redirect_reset();
    for (const InjectedFailure& failure : test_case.failures) {
      tagport_redirect_fail_next(failure.kind, failure.error);
    }
    int written = -1;
    const std::string printed = StdoutOf([&] {
      written = Api_WriteSerial(frame.data(), static_cast<int>(frame.size()));
    });
    ExpectCalls(test_case.calls);
    if (test_case.written) {
      EXPECT_EQ(written, static_cast<int>(frame.size()));
      EXPECT_EQ(printed, "");
      EXPECT_EQ(ReadLine(frame.size()), frame);
    } else {
      EXPECT_EQ(written, 0);
      EXPECT_EQ(printed, "write error: ");
      EXPECT_EQ(ReadLine(1, 50), Bytes());
    }
  }
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

// The module's end of the line, drained `bite` bytes at a time with `pause`
// after each, in the library's own waits for room: before each, it takes
// bites until the line can take more, and every pause passes on the
// library's clock alone. So the drain keeps its pace on the library's clock
// however slowly the machine runs, where a thread of the test's own could
// fall a second behind and look like a stalled line.
class LibraryPacedDrain {
 public:
  LibraryPacedDrain(int master_fd, size_t bite, std::chrono::microseconds pause)
      : master_fd_(master_fd), bite_(bite), pause_(pause) {
    tagport_redirect_before_waits(&LibraryPacedDrain::BeforeWait, this);
  }
  ~LibraryPacedDrain() { tagport_redirect_before_waits(nullptr, nullptr); }
  LibraryPacedDrain(const LibraryPacedDrain&) = delete;
  LibraryPacedDrain& operator=(const LibraryPacedDrain&) = delete;

  const Bytes& received() const { return received_; }
  // The drain's time, as the library's clock counted it.
  std::chrono::microseconds paced() const { return paced_; }
  // The drain's time when each of the library's waits began.
  const std::vector<std::chrono::microseconds>& paced_at_waits() const {
    return paced_at_waits_;
  }

 private:
  static void BeforeWait(void* context) {
    auto* self = static_cast<LibraryPacedDrain*>(context);
    self->paced_at_waits_.push_back(self->paced_);
    Bytes chunk(self->bite_);
    // A pseudo-terminal shows room only once the kernel has passed the
    // bytes on: a few bites, or a moment, may go by first.
    for (int looks = 0; looks < 10000 && !LineHasRoom(); ++looks) {
      const ssize_t n = read(self->master_fd_, chunk.data(), chunk.size());
      if (n > 0) {
        self->received_.insert(self->received_.end(), chunk.begin(),
                               chunk.begin() + n);
        self->paced_ += self->pause_;
        tagport_redirect_pass_time(
            std::chrono::nanoseconds(self->pause_).count());
      }
    }
  }

  static bool LineHasRoom() {
    struct pollfd line = {FD_COM, POLLOUT, 0};
    return poll(&line, 1, 1) > 0 && (line.revents & POLLOUT);
  }

  int master_fd_;
  size_t bite_;
  std::chrono::microseconds pause_;
  Bytes received_;
  std::chrono::microseconds paced_{0};
  std::vector<std::chrono::microseconds> paced_at_waits_;
};

// What is left on the module's end of the line after a write, with what
// the drain took before.
Bytes Received(const LibraryPacedDrain& drain, int master_fd) {
  Bytes received = drain.received();
  unsigned char chunk[4096];
  ssize_t n;
  while ((n = read(master_fd, chunk, sizeof chunk)) > 0) {
    received.insert(received.end(), chunk, chunk + n);
  }
  return received;
}

TEST_F(SerialPortTest, WriteCompletesALargeBufferOnASlowLine) {
  ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
  const Bytes data = CountingPattern(kLargeWrite);
  SetNonBlocking(reader_.master_fd());
  tagport_redirect_reset();
  int written = -1;
  std::string printed;
  Bytes received;
  {
    LibraryPacedDrain drain(reader_.master_fd(), 2048,
                            std::chrono::microseconds(500));
    printed = StdoutOf([&] {
      written = Api_WriteSerial(data.data(), static_cast<int>(data.size()));
    });
    received = Received(drain, reader_.master_fd());
  }
  EXPECT_EQ(written, static_cast<int>(data.size()));
  EXPECT_EQ(printed, "");
  ASSERT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data) << "bytes lost or reordered";
  // The line filled up, so the write went out in several calls, each for
  // what was still left (the same again after a full line refused some),
  // with waits for room between them.
  CallSummary writes;
  for (const auto& call : LibraryCallSummary()) {
    if (call.first == TAGPORT_REDIRECT_POLL) continue;
    EXPECT_EQ(call.first, TAGPORT_REDIRECT_WRITE);
    writes.push_back(call);
  }
  ASSERT_GT(writes.size(), 1u);
  EXPECT_EQ(writes.front().second, static_cast<long long>(data.size()));
  EXPECT_LT(writes.back().second, writes.front().second);
  for (size_t k = 1; k < writes.size(); ++k) {
    EXPECT_LE(writes[k].second, writes[k - 1].second);
  }
}

// A line drained in bites with pauses, none near the stall bound. A steady
// drain within the bytes' wire time goes through, however long the write
// lasts; a trickle fails within the write's whole bound, however much went
// out before (the stall bound alone would have kept writing until the drain
// took all). The pauses pass on the library's clock.
TEST_F(SerialPortTest, WriteOnADrainingLineKeepsItsOneBound) {
  const struct {
    const char* what;
    int32_t rate;
    size_t bite;
    std::chrono::milliseconds pause;
    bool written;
  } kCases[] = {
      // 5.7 s of wire time at 115200 bit/s; the drain takes 2.6 s.
      {"steady", kLineRate, 1024, std::chrono::milliseconds(40), true},
      // The drain would take 16 s.
      {"trickle", kLineRate, 1024, std::chrono::milliseconds(250), false},
  };
  SetNonBlocking(reader_.master_fd());
  for (const auto& test_case : kCases) {
    SCOPED_TRACE(test_case.what);
    ASSERT_EQ(Api_OpenSerial(3, test_case.rate), 1);
    const Bytes data = CountingPattern(kLargeWrite);
    tagport_redirect_reset();
    int written = -1;
    std::string printed;
    Bytes received;
    std::chrono::microseconds paced{0};
    std::vector<std::chrono::microseconds> paced_at_waits;
    {
      LibraryPacedDrain drain(reader_.master_fd(), test_case.bite,
                              test_case.pause);
      printed = StdoutOf([&] {
        written = Api_WriteSerial(data.data(), static_cast<int>(data.size()));
      });
      received = Received(drain, reader_.master_fd());
      paced = drain.paced();
      paced_at_waits = drain.paced_at_waits();
    }
    const std::chrono::milliseconds bound(
        WriteBoundMs(kLargeWrite, test_case.rate));
    // No wait asks for more than the stall bound; once less than that is
    // left of the whole bound, each asks for what is left (the drain's time
    // being the library's, give or take what a busy machine took besides).
    int waits = 0;
    int near_the_end = 0;
    for (const auto& call : LibraryCallSummary()) {
      if (call.first != TAGPORT_REDIRECT_POLL) continue;
      ASSERT_LT(static_cast<size_t>(waits), paced_at_waits.size());
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          bound - paced_at_waits[static_cast<size_t>(waits)]);
      ++waits;
      EXPECT_LE(call.second, kStallMs) << "wait " << waits;
      if (left.count() < kStallMs - 200) {
        ++near_the_end;
        EXPECT_LE(std::llabs(call.second - left.count()), 300)
            << "wait " << waits << " asked for " << call.second << " ms, "
            << left.count() << " ms left";
      }
    }
    // Guards the premise: the line filled up and took bytes between waits.
    EXPECT_GT(waits, 1) << received.size();
    if (test_case.written) {
      EXPECT_EQ(written, static_cast<int>(kLargeWrite));
      EXPECT_EQ(printed, "");
      EXPECT_TRUE(received == data) << "bytes lost or reordered";
      // Had the line drained faster, this would prove nothing.
      EXPECT_GT(paced, std::chrono::milliseconds(kWriteSlackMs));
    } else {
      EXPECT_EQ(written, 0);
      EXPECT_EQ(printed, "write error: ");
      EXPECT_LT(received.size(), data.size());
      EXPECT_GT(near_the_end, 0);
      // Given up once the bound had passed, at the next look.
      EXPECT_GT(paced, bound - std::chrono::milliseconds(300));
      EXPECT_LT(paced_at_waits.back(), bound + std::chrono::milliseconds(300));
    }
    Api_CloseSerial();
  }
}

// A write that makes no progress for a second fails then, however long its
// bytes would need on the wire (a mebibyte: 91 s at 115200 bit/s), and
// however often its write is interrupted.
TEST_F(SerialPortTest, WriteGivesUpASecondAfterItsLastProgress) {
  const struct {
    const char* what;
    size_t length;
    int interrupted;  // every write fails with this error (0: none)
  } kCases[] = {
      {"nobody reads 64 KiB", kLargeWrite, 0},
      {"nobody reads 1 MiB", 1024 * 1024, 0},
      {"every write interrupted", 9, EINTR},
  };
  for (const auto& test_case : kCases) {
    SCOPED_TRACE(test_case.what);
    ASSERT_EQ(Api_OpenSerial(3, kLineRate), 1);
    const Bytes data = CountingPattern(test_case.length);
    tagport_redirect_reset();
    if (test_case.interrupted != 0) {
      tagport_redirect_fail_every(TAGPORT_REDIRECT_WRITE,
                                  test_case.interrupted);
    }
    // A write that never gives up is let through after 5 s, so that it
    // fails the case rather than hang it.
    std::atomic<bool> returned{false};
    std::thread watchdog([&returned] {
      for (int waited_ms = 0; waited_ms < 5000 && !returned; waited_ms += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (!returned) tagport_redirect_reset();
    });
    int written = -1;
    const auto start = std::chrono::steady_clock::now();
    const std::string printed = StdoutOf([&] {
      written = Api_WriteSerial(data.data(), static_cast<int>(data.size()));
    });
    const auto elapsed = std::chrono::steady_clock::now() - start;
    returned = true;
    watchdog.join();
    tagport_redirect_reset();
    EXPECT_EQ(written, 0);
    EXPECT_EQ(printed, "write error: ");
    // The clock's millisecond steps. A pseudo-terminal may show room it
    // made soon after the line filled only when the first wait ends, and
    // take more then: that restarts the stall bound once. And a loaded
    // machine.
    EXPECT_GT(elapsed, std::chrono::milliseconds(kStallMs - 10));
    // Not the next case's write, had this one overrun.
    ASSERT_LT(elapsed, std::chrono::milliseconds(2 * kStallMs + 1000));
    // The line holds the bytes that went out and filled it (read off here,
    // for the next case).
    EXPECT_EQ(ReadLine(SIZE_MAX, 100).empty(), test_case.interrupted != 0);
    Api_CloseSerial();
  }
}

}  // namespace
}  // namespace tagport_test
