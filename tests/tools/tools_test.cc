// Runs tagport-sim and tagport-probe as the user would: the simulator on a
// pseudo-terminal behind a symbolic link, the probe with the node
// redirect preloaded so that its libtagport.so opens that link as /dev/ttyMT3.
#include <ctype.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tools/common/hex.h"
#include "tools/common/json.h"
#include "tools/common/pty.h"
#include "tools/sim/frame_codec.h"
#include "tools/sim/simulated_reader.h"

namespace {

using tagport_test::kWaitMs;
using tagport_test::Process;
using tagport_test::SleepMs;
using tagport_tools::Bytes;
using tagport_tools::Hex;

// Every one of `parts` appears in `text`.
void ExpectAll(const std::string& text, const std::vector<std::string>& parts) {
  for (const std::string& part : parts) {
    EXPECT_NE(text.find(part), std::string::npos)
        << "missing: " << part << "\nin:\n"
        << text;
  }
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

struct DoctorCase;

class ToolsTest : public ::testing::Test {
 protected:
  // Runs the doctor on the case's arrangement, in text and in JSON, and
  // checks both reports.
  void CheckDoctorCase(const DoctorCase& c);

  void SetUp() override {
    char name[] = "/tmp/tagport-tools-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    link_ = dir_ + "/reader";
    node_ = link_;
  }

  void TearDown() override {
    sim_.reset();
    unlink(link_.c_str());
    for (const char* file :
         {"sim.out", "sim.err", "probe.out", "probe.err", "again.out",
          "again.err", "json.out", "json.err", "open.out", "open.err",
          "regular-file", "app.out", "app.err"}) {
      unlink((dir_ + "/" + file).c_str());
    }
    for (const tagport_test::StagedFile& file : staged_) {
      unlink((dir_ + "/" + file.name).c_str());
    }
    rmdir(dir_.c_str());
  }

  // Starts tagport-sim on a pseudo-terminal linked at link_ and waits for
  // the link.
  void StartSim(std::vector<std::string> args) {
    args.insert(args.begin(), {TAGPORT_SIM_PATH, "--link", link_});
    sim_.reset(new Process(dir_, "sim", args));
    ASSERT_TRUE(sim_->started());
    for (int waited = 0; !Exists(link_) && waited < kWaitMs; waited += 10) {
      SleepMs(10);
    }
    ASSERT_TRUE(Exists(link_)) << sim_->Err();
  }

  // Runs tagport-probe (behind wrapper_, when set) with "/dev/ttyMT3"
  // leading to node_, the simulator's link unless a test changes it; its
  // exit status.
  int RunProbe(std::vector<std::string> args, const char* name = "probe") {
    return RunOnLine(probe_path_.c_str(), args, name);
  }

  // Runs `program` as RunProbe runs the probe; probe_ then holds its run.
  int RunOnLine(const char* program, std::vector<std::string> args,
                const char* name) {
    StartOnLine(program, args, name);
    return probe_->Wait();
  }

  // RunOnLine without the wait.
  void StartOnLine(const char* program, std::vector<std::string> args,
                   const char* name) {
    args.insert(args.begin(), program);
    args.insert(args.begin(), wrapper_.begin(), wrapper_.end());
    std::vector<std::string> env = {"LD_PRELOAD=" + redirect_path_,
                                    "TAGPORT_TTYMT3=" + node_,
                                    // The redirect precedes a sanitizer
                                    // runtime.
                                    "ASAN_OPTIONS=verify_asan_link_order=0"};
    if (!staged_.empty()) env.push_back("LD_LIBRARY_PATH=" + dir_);
    probe_.reset(new Process(dir_, name, args, env));
    EXPECT_TRUE(probe_->started());
  }

  // Starts tagport-sim with its pseudo-terminal at `mode`. Root opens
  // anything, exclusive nodes too: a test that runs as root has the probe
  // (and whatever else runs behind wrapper_) run as nobody, through the
  // directory the link stands in, from copies there of the probe, the port
  // opener and the libraries they load (the build may lie where nobody
  // cannot enter).
  void StartSimForNobody(mode_t mode) {
    StartSim({});
    char slave[256];
    const ssize_t n = readlink(link_.c_str(), slave, sizeof slave - 1);
    ASSERT_GT(n, 0);
    slave[n] = '\0';
    ASSERT_EQ(chmod(slave, mode), 0);
    if (!tagport_test::UnprivilegedPrefix(&wrapper_)) {
      GTEST_SKIP() << "running as root without setpriv (util-linux)";
    }
    if (wrapper_.empty()) return;
    staged_ = {{TAGPORT_PROBE_PATH, "tagport-probe"},
               {TAGPORT_PORT_OPENER_PATH, "port_opener"},
               {TAGPORT_LIBRARY_PATH, TAGPORT_LIBRARY_SONAME},
               {TAGPORT_REDIRECT_PATH, "libtagport_redirect.so"}};
    std::string why;
    ASSERT_TRUE(tagport_test::StageForOtherUsers(dir_, staged_, &why)) << why;
    probe_path_ = dir_ + "/tagport-probe";
    opener_path_ = dir_ + "/port_opener";
    redirect_path_ = dir_ + "/libtagport_redirect.so";
    ASSERT_EQ(RunProbe({"--help"}), 0) << probe_->Err();
  }

  // Ends the simulator, if it has not ended by itself; its link goes too.
  void StopSim() {
    sim_->Signal(SIGTERM);
    EXPECT_EQ(sim_->Wait(), 0) << sim_->Err();
    sim_.reset();
  }

  std::string dir_;
  std::string link_;
  std::string node_;
  std::vector<std::string> wrapper_;
  // What runs behind wrapper_: the build's programs, or their copies.
  std::vector<tagport_test::StagedFile> staged_;
  std::string probe_path_ = TAGPORT_PROBE_PATH;
  std::string opener_path_ = TAGPORT_PORT_OPENER_PATH;
  std::string redirect_path_ = TAGPORT_REDIRECT_PATH;
  std::unique_ptr<Process> sim_;
  std::unique_ptr<Process> probe_;
};

// The C example of the native callers' guide, against the simulator: a card
// with the default replies, and each seek rule it checks through
// <tagport/reader.h> refusing the reply that breaks it.
TEST_F(ToolsTest, TheCExampleReadsACardAndJudgesEachRule) {
  const struct {
    const char* script;
    int status;
    std::vector<std::string> printed;
  } kCases[] = {
      {"none", 0, {"card: 04 A1 B2 C3 D4 E5 F6 07 (8 bytes)"}},
      {"open:wrong-target", 1, {"reply refused (rule 3)", "open: -1"}},
      {"seek:wrong-command", 1, {"reply refused (rule 2)", "seek: -1"}},
      {"seek:no-card-flag", 1, {"reply refused (rule 4)", "seek: -1"}},
      {"seek:short-seek", 1, {"reply refused (rule 5)", "seek: -1"}},
      {"seek:wrong-status", 1, {"seek: -1"}},
      {"seek:silent", 1, {"seek: -2"}},
  };
  for (const auto& test_case : kCases) {
    SCOPED_TRACE(test_case.script);
    StartSim({"--script", test_case.script});
    EXPECT_EQ(RunOnLine(TAGPORT_READ_CARD_PATH, {}, "probe"), test_case.status);
    ExpectAll(probe_->Out(), test_case.printed);
    // Killed outright, the simulator leaves its link behind.
    sim_.reset();
    unlink(link_.c_str());
  }
}

TEST_F(ToolsTest, ProbeShowsEveryFrameOfAFullSession) {
  StartSim({"--count", "3"});
  ASSERT_EQ(RunProbe({}), 0) << probe_->Out() << probe_->Err();
  const std::string out = probe_->Out();
  ExpectAll(
      out,
      {
          "open  port    Api_OpenSerial(3, 115200) = 1",
          "open  request 1E 00 09 05 00 FF 40 01 6C (SentPacket = 9)",
          "open  reply   1E 00 09 05 00 01 40 00 6D\n",
          "open  result  0 (accepted)",
          "seek  request 1E 00 0B 05 00 FF 41 04 00 00 72 (SentPacket = 11)",
          "seek  reply   1E 00 14 05 00 01 41 01 00 00 00 04 A1 B2 C3 D4 E5 "
          "F6 07 4A\n",
          "seek  card    04 A1 B2 C3 D4 E5 F6 07 (8 bytes)",
          "seek  result  8 (accepted)",
          "move  request 1E 00 09 05 00 FF 50 00 7B (SentPacket = 9)",
          "move  reply   1E 00 09 05 00 01 50 00 7D\n",
          "move  result  0 (accepted)",
          "close result  0 (closed)",
      });
  // The simulator stops by itself after three requests and removes its link.
  ASSERT_EQ(sim_->Wait(), 0) << sim_->Err();
  EXPECT_FALSE(Exists(link_));
  const std::string log = sim_->Out();
  ExpectAll(
      log,
      {"<- 1E 00 09 05 00 FF 40 01 6C", "-> 1E 00 09 05 00 01 40 00 6D",
       "<- 1E 00 0B 05 00 FF 41 04 00 00 72", "<- 1E 00 09 05 00 FF 50 00 7B",
       "3 requests, 0 bytes outside frames"});
}

TEST_F(ToolsTest, CardDataFromTheCommandLineReachesTheProbe) {
  const Bytes card = {0x11, 0x22, 0x33, 0x44, 0x55,
                      0x66, 0x77, 0x88, 0x99, 0xAA};
  StartSim({"--card", Hex(card), "--count", "2"});
  ASSERT_EQ(RunProbe({"open", "seek", "close"}), 0) << probe_->Out();
  const std::string out = probe_->Out();
  EXPECT_NE(out.find("seek  reply   1E 00 16 05 00 01 41 01 00 00 00 " +
                     Hex(card) + " 23\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("seek  card    " + Hex(card) + " (10 bytes)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("seek  result  10 (accepted)"), std::string::npos) << out;
}

// A reply that came after its request timed out waits on the line; the next
// request must not take it for its own. The probe shows it and discards it,
// as the library's commands do. The wait is 1000 polls, which a loaded
// machine stretches well past a second: the reply comes 5 s late, and the
// next request 6 s after the wait.
TEST_F(ToolsTest, ALateReplyIsShownAndDiscardedBeforeTheNextRequest) {
  StartSim({"--card", "A1 A2 A3 A4 A5 A6 A7 A8", "--script",
            "seek:none+delay=5000,seek:none+card=B1 B2 B3 B4 B5 B6 B7 B8 B9",
            "--count", "4"});
  EXPECT_EQ(RunProbe({"open", "seek", "wait=6000", "seek", "move", "close"}),
            1);
  const std::string out = probe_->Out();
  ExpectAll(out,
            {"seek  result  -2 (no reply)\nwait  6000 ms\n"
             "seek  stale   1E 00 14 05 00 01 41 01 00 00 00 A1 A2 A3 A4 A5 "
             "A6 A7 A8 9E (waiting before the request: discarded)\n",
             "seek  card    B1 B2 B3 B4 B5 B6 B7 B8 B9 (9 bytes)",
             "move  result  0 (accepted)"});
  EXPECT_EQ(sim_->Wait(), 0);
}

struct FaultCase {
  const char* step;
  const char* script;
  const char* result;  // the probe's verdict line for the step
  const char* mark;    // how the simulator's log names what it did
};

TEST_F(ToolsTest, ScriptedFaultsShowInTheProbeResults) {
  const FaultCase kCases[] = {
      {"open", "open:wrong-status",
       "open  result  -1 (refused: status byte 02, not 01)",
       "-> 1E 00 09 05 00 02 40 00 6E (wrong-status)"},
      {"open", "open:wrong-target",
       "open  result  -1 (refused: target byte 06, not 05)", "(wrong-target)"},
      {"move", "move:wrong-command",
       "move  result  -1 (refused: command byte 40, not 50)",
       "(wrong-command)"},
      {"seek", "seek:short-seek",
       "seek  result  -1 (refused: frame of 19 bytes, below 20",
       "(short-seek)"},
      {"seek", "seek:no-card-flag",
       "seek  result  -1 (refused: byte 7 is 00, not 01", "(no-card-flag)"},
      // A frame failing its checksum is dropped: no reply as far as the
      // library can tell.
      {"seek", "seek:bad-checksum", "seek  result  -2 (no reply)",
       "(bad-checksum)"},
      {"move", "move:silent", "move  result  -2 (no reply)", "-- no reply"},
      // Disturbances that a correct receiver rides out.
      {"seek", "seek:none+delay=30+pieces=5+gap=5+noise=00 55 AA",
       "seek  result  8 (accepted)", "-> noise 00 55 AA"},
  };
  for (const FaultCase& c : kCases) {
    SCOPED_TRACE(c.script);
    StartSim({"--script", c.script});
    std::vector<std::string> steps = {"open"};
    if (std::string(c.step) != "open") steps.push_back(c.step);
    steps.push_back("close");
    const bool accepted =
        std::string(c.result).find("accepted") != std::string::npos;
    EXPECT_EQ(RunProbe(steps), accepted ? 0 : 1);
    EXPECT_NE(probe_->Out().find(c.result), std::string::npos) << probe_->Out();
    sim_->Signal(SIGTERM);
    EXPECT_EQ(sim_->Wait(), 0);
    EXPECT_NE(sim_->Out().find(c.mark), std::string::npos) << sim_->Out();
  }
}

TEST_F(ToolsTest, ScriptItemsWithoutCommandApplyInOrder) {
  StartSim({"--script", "none,wrong-status,none", "--count", "3"});
  EXPECT_EQ(RunProbe({"open", "move", "move", "close"}), 1);
  const std::string out = probe_->Out();
  const size_t refused = out.find("move  result  -1 (refused: status byte 02");
  const size_t accepted = out.find("move  result  0 (accepted)");
  ASSERT_NE(refused, std::string::npos) << out;
  ASSERT_NE(accepted, std::string::npos) << out;
  EXPECT_LT(refused, accepted);
  EXPECT_NE(out.find("open  result  0 (accepted)"), std::string::npos) << out;
}

TEST_F(ToolsTest, RandomFaultsRepeatWithTheSameSeed) {
  const std::vector<std::string> steps = {"open", "seek", "seek", "seek",
                                          "move", "move", "seek", "close"};
  std::string played[2];
  for (std::string& log : played) {
    StartSim({"--random-faults", "100", "--seed", "7"});
    RunProbe(steps);
    // Every request was disturbed; some must have been refused or lost.
    EXPECT_NE(probe_->Out().find("result  -"), std::string::npos)
        << probe_->Out();
    sim_->Signal(SIGINT);
    EXPECT_EQ(sim_->Wait(), 0);
    // What the simulator did, without the timestamps (the probe's timing
    // does not change it).
    const std::string out = sim_->Out();
    for (size_t at = out.find(" <- "); at != std::string::npos;
         at = out.find('\n', at + 1)) {
      const size_t end = out.find('\n', at + 1);
      const size_t text = out.find(' ', at + 1);
      if (text < end) log += out.substr(text, end - text) + "\n";
    }
  }
  EXPECT_NE(played[0].find("(wrong-"), std::string::npos) << played[0];
  EXPECT_EQ(played[0], played[1]);
}

TEST_F(ToolsTest, SimulatorReportsBytesThatFormNoFrame) {
  StartSim({"--count", "1"});
  const int line = open(link_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(line, 0);
  const Bytes request = tagport_sim::BuildFrame(5, 0xFF, 0x40, {0x01});
  // Noise, a frame declaring length 5, a frame with a wrong checksum, then a
  // good request.
  Bytes bytes = {0x00, 0x55, 0x1E, 0x00, 0x05};
  Bytes damaged = request;
  damaged.back() ^= 0x01;
  bytes.insert(bytes.end(), damaged.begin(), damaged.end());
  bytes.insert(bytes.end(), request.begin(), request.end());
  ASSERT_EQ(write(line, bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
  EXPECT_EQ(sim_->Wait(), 0);
  close(line);
  const std::string log = sim_->Out();
  ExpectAll(log, {
                     std::string("<- not a frame (no start byte): 00 55"),
                     std::string("<- not a frame (length below 8): 1E 00 05"),
                     "<- not a frame (bad checksum): " + Hex(damaged),
                     "<- " + Hex(request),
                     "1 requests, " + std::to_string(5 + damaged.size()) +
                         " bytes outside frames",
                 });
}

TEST_F(ToolsTest, SimulatorServesAnExistingSerialDevice) {
  int master = -1;
  int slave = -1;
  std::string slave_path;
  tagport_tools::OpenRawPty(&master, &slave, &slave_path);
  ASSERT_GE(master, 0);
  sim_.reset(new Process(dir_, "sim",
                         {TAGPORT_SIM_PATH, "--device", slave_path, "--rate",
                          "9600", "--count", "1"}));
  for (int waited = 0;
       sim_->Out().find("module on") == std::string::npos && waited < kWaitMs;
       waited += 10) {
    SleepMs(10);
  }
  EXPECT_NE(sim_->Out().find("module on " + slave_path + " at 9600 bit/s"),
            std::string::npos)
      << sim_->Out() << sim_->Err();
  const Bytes request = tagport_sim::BuildFrame(5, 0xFF, 0x50, {0x00});
  ASSERT_EQ(write(master, request.data(), request.size()),
            static_cast<ssize_t>(request.size()));
  const Bytes expected = tagport_sim::BuildFrame(5, 1, 0x50, {0x00});
  Bytes reply;
  fcntl(master, F_SETFL, O_NONBLOCK);
  for (int waited = 0; reply.size() < expected.size() && waited < kWaitMs;
       waited += 10) {
    uint8_t buffer[64];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n > 0) {
      reply.insert(reply.end(), buffer, buffer + n);
    } else {
      SleepMs(10);
    }
  }
  EXPECT_EQ(Hex(reply), Hex(expected));
  EXPECT_EQ(sim_->Wait(), 0);
  close(master);
  close(slave);
}

TEST_F(ToolsTest, HangUpEndsTheSimulatorAndTheProbeSeesNoReply) {
  StartSim({"--script", "open:hang-up"});
  EXPECT_EQ(RunProbe({"--polls", "200", "open", "close"}), 1);
  EXPECT_NE(probe_->Out().find("open  result  -2 (no reply)"),
            std::string::npos)
      << probe_->Out();
  EXPECT_EQ(sim_->Wait(), 0);
  EXPECT_NE(sim_->Out().find("(then hang-up)"), std::string::npos)
      << sim_->Out();
  EXPECT_FALSE(Exists(link_));
}

TEST_F(ToolsTest, SignalsEndTheSimulatorCleanly) {
  for (int signal_number : {SIGINT, SIGTERM}) {
    StartSim({});
    sim_->Signal(signal_number);
    EXPECT_EQ(sim_->Wait(), 0) << strsignal(signal_number);
    EXPECT_FALSE(Exists(link_)) << strsignal(signal_number);
  }
}

TEST_F(ToolsTest, ProbeReportsAPortThatDoesNotOpen) {
  // No simulator: the link does not exist, so the library cannot open it.
  EXPECT_EQ(RunProbe({"--polls", "5", "open", "move", "close"}), 1);
  const std::string out = probe_->Out();
  ExpectAll(
      out, {
               "openSerial failed\nopen  port    Api_OpenSerial(3, 115200) = 0 "
               "(device node did not open)",
               "open  result  -1 (port not opened)",
               "move  result  -1 (request not sent: no port open)",
               "close result  0 (closed)",
           });
}

TEST_F(ToolsTest, ProbeReportsARateTheLibraryRefuses) {
  StartSim({});
  EXPECT_EQ(RunProbe({"--rate", "500000", "open", "close"}), 1);
  EXPECT_NE(probe_->Out().find("Api_OpenSerial(3, 500000) = 0 (node open, line "
                               "not configured"),
            std::string::npos)
      << probe_->Out();
}

// A JSON grammar check, independent of the probe's writer: whether
// text[*at..] starts with one whole value, *at then past it.
bool SkipJsonValue(const std::string& text, size_t* at);

void SkipBlanks(const std::string& text, size_t* at) {
  while (*at < text.size() && strchr(" \t\r\n", text[*at])) ++*at;
}

bool SkipJsonString(const std::string& text, size_t* at) {
  if (text[*at] != '"') return false;
  for (++*at; *at < text.size(); ++*at) {
    const unsigned char c = static_cast<unsigned char>(text[*at]);
    if (c == '"') {
      ++*at;
      return true;
    }
    if (c < 0x20) return false;
    if (c != '\\') continue;
    const char escaped = text[++*at];
    if (escaped == 'u') {
      for (int k = 0; k < 4; ++k) {
        if (!isxdigit(static_cast<unsigned char>(text[++*at]))) return false;
      }
    } else if (!strchr("\"\\/bfnrt", escaped)) {
      return false;
    }
  }
  return false;
}

// Members (with keys) or elements, up to `close`.
bool SkipJsonList(const std::string& text, size_t* at, char close,
                  bool members) {
  ++*at;
  SkipBlanks(text, at);
  if (text[*at] == close) return ++*at, true;
  for (;;) {
    SkipBlanks(text, at);
    if (members) {
      if (!SkipJsonString(text, at)) return false;
      SkipBlanks(text, at);
      if (text[(*at)++] != ':') return false;
    }
    if (!SkipJsonValue(text, at)) return false;
    SkipBlanks(text, at);
    const char next = text[(*at)++];
    if (next == close) return true;
    if (next != ',') return false;
  }
}

bool SkipJsonValue(const std::string& text, size_t* at) {
  SkipBlanks(text, at);
  if (*at >= text.size()) return false;
  const char c = text[*at];
  if (c == '{') return SkipJsonList(text, at, '}', true);
  if (c == '[') return SkipJsonList(text, at, ']', false);
  if (c == '"') return SkipJsonString(text, at);
  for (const char* word : {"true", "false", "null"}) {
    if (text.compare(*at, strlen(word), word) == 0) {
      *at += strlen(word);
      return true;
    }
  }
  const size_t start = *at;
  if (text[*at] == '-') ++*at;
  while (*at < text.size() && isdigit(static_cast<unsigned char>(text[*at]))) {
    ++*at;
  }
  return *at > start && isdigit(static_cast<unsigned char>(text[*at - 1]));
}

// `text` is one JSON object and nothing else but blanks.
bool IsJsonObject(const std::string& text) {
  size_t at = 0;
  SkipBlanks(text, &at);
  if (at >= text.size() || text[at] != '{' || !SkipJsonValue(text, &at)) {
    return false;
  }
  SkipBlanks(text, &at);
  return at == text.size();
}

// How a doctor case sets up what "/dev/ttyMT3" leads to.
enum class Arrange {
  kSimulator,    // tagport-sim with the case's options
  kNoNode,       // a path where nothing is
  kRegularFile,  // a regular file
};

struct DoctorCase {
  const char* verdict;
  const char* decided_by;  // the check that names it
  Arrange arrange;
  std::vector<std::string> sim;     // tagport-sim's options
  std::vector<std::string> doctor;  // the doctor's options
  std::vector<std::string> shows;   // in the text report
  std::vector<std::string> json;    // in the JSON report
  // Set on the simulator's line before the doctor runs, as another program
  // would leave them.
  tcflag_t control_flags = 0;
  tcflag_t local_flags = 0;
};

const char* const kDocumentedRequests[] = {"1E 00 09 05 00 FF 40 01 6C",
                                           "1E 00 0B 05 00 FF 41 04 00 00 72",
                                           "1E 00 09 05 00 FF 50 00 7B"};

// Every request the simulator's log shows is one of the reader's three.
void ExpectOnlyDocumentedRequests(const std::string& log) {
  for (size_t at = log.find(" <- "); at != std::string::npos;
       at = log.find(" <- ", at + 1)) {
    const std::string line = log.substr(at + 4, log.find('\n', at) - at - 4);
    bool documented = false;
    for (const char* request : kDocumentedRequests) {
      documented = documented || line.rfind(request, 0) == 0;
    }
    EXPECT_TRUE(documented) << line;
  }
}

TEST_F(ToolsTest, DoctorNamesEachFaultInTextAndJson) {
  const DoctorCase kCases[] = {
      {"ok",
       "",
       Arrange::kSimulator,
       {},
       {"--repeat", "2"},
       {"node      ok ", "holders   ok ", "line      ok ", "exchange  ok ",
        "repeat    ok       2 rounds: open 2 of 2 accepted"},
       {"\"exchange\":{\"status\":\"ok\"",
        "\"open\":{\"exchanges\":2,\"accepted\":2"}},
      {"no-node",
       "node",
       Arrange::kNoNode,
       {},
       {},
       {"node      problem  /dev/ttyMT3: no such node (ENOENT",
        "exchange  skipped  the node did not open"},
       {"\"exists\":false"}},
      {"not-a-tty",
       "node",
       Arrange::kRegularFile,
       {},
       {},
       {"regular-file): regular file;",
        "exchange  skipped  the node is not a terminal"},
       {"\"terminal\":false"}},
      {"busy",
       "holders",
       Arrange::kSimulator,
       {"--hold"},
       {},
       {"holders   problem  held open by pid "},
       {"\"command\":\"tagport-sim\""}},
      // The library keeps RTS/CTS as it finds it, and changes only the rate.
      {"flow-control",
       "exchange",
       Arrange::kSimulator,
       {"--no-cts"},
       {"--polls", "100"},
       {"line      note ", "found: 38400 8N1, RTS/CTS on",
        "left:  115200 8N1, RTS/CTS on",
        "it changed rate 38400 -> 115200 -- next: hardware flow control is on, "
        "and the library keeps it as it finds it: nothing is sent while the "
        "module raises no CTS; turn it off (stty -F /dev/ttyMT3 -crtscts)"},
       // The second run finds the line as the first left it.
       {"\"left\":{\"rate\":115200,\"data_bits\":8,\"parity\":\"N\","
        "\"stop_bits\":1,\"crtscts\":true",
        "\"changed\":[]"},
       CRTSCTS},
      // What Api_OpenSerial changes, and what it keeps as it finds it.
      {"ok",
       "",
       Arrange::kSimulator,
       {},
       {},
       {"found: 38400 8N2, RTS/CTS off, CLOCAL on, CREAD on, echo on",
        "left:  115200 8N1, RTS/CTS off, CLOCAL on, CREAD on, echo off",
        "it changed rate 38400 -> 115200, stop bits 2 -> 1, echo on -> off\n"},
       {"\"found\":{\"rate\":115200,\"data_bits\":8,\"parity\":\"N\","
        "\"stop_bits\":1,\"crtscts\":false,\"clocal\":true"},
       CSTOPB | CLOCAL,
       ECHO},
      {"no-bytes",
       "exchange",
       Arrange::kSimulator,
       {"--script", "open:silent,open:silent"},
       {"--polls", "100"},
       {"exchange  problem  open request 0x40 sent; no byte came back in 100 "
        "polls"},
       {"\"bytes_read\":0"}},
      {"no-frame",
       "exchange",
       Arrange::kSimulator,
       {"--line-rate", "9600"},
       {"--polls", "500"},
       {"9 bytes came back in 1 reads, but no frame"},
       {"\"bytes_read\":9", "\"frames\":[]"}},
      {"echo",
       "exchange",
       Arrange::kSimulator,
       {"--echo", "before"},
       {},
       {"frame 1E 00 09 05 00 FF 40 01 6C (echo of the request)",
        "frame 1E 00 09 05 00 01 40 00 6D (accepted)"},
       {"\"echo\":true"}},
      {"echo",
       "exchange",
       Arrange::kSimulator,
       {"--echo", "instead"},
       {},
       {"the request itself came back after", "nothing followed it"},
       {"\"echo\":true"}},
      {"refused",
       "exchange",
       Arrange::kSimulator,
       {"--script", "open:wrong-status,open:wrong-status"},
       {},
       {"refused: status byte 02, not 01"},
       {}},
      {"refused",
       "exchange",
       Arrange::kSimulator,
       {"--script", "open:wrong-command,open:wrong-command"},
       {},
       {"refused: command byte 50, not 40"},
       {}},
      {"refused",
       "exchange",
       Arrange::kSimulator,
       {"--script", "open:wrong-target,open:wrong-target"},
       {},
       {"refused: target byte 06, not 05"},
       {}},
      // A fault in one of the repeats names the verdict, and is counted.
      // Each run sends seven requests, the exchange's and three rounds';
      // the first seek of each run finds no card.
      {"refused",
       "repeat",
       Arrange::kSimulator,
       {"--script",
        "none,none,no-card-flag,none,none,none,none,none,none,no-card-flag"},
       {"--repeat", "3"},
       {"exchange  ok ", "seek 2 of 3 accepted", ", 1 refused",
        "first failure, round 1: seek request 0x41 answered"},
       {"\"failed\":{\"refused\":1}"}},
  };
  for (const DoctorCase& c : kCases) CheckDoctorCase(c);
}

// A scan's rates wait out their polls unless the module answers there:
// 500 polls, as a loaded machine may keep the simulator from answering for
// a few hundred milliseconds. A case each, as a scan of every rate runs for
// half a minute at the least.
TEST_F(ToolsTest, DoctorScanOfEveryRateFindsTheAppsRate) {
  // A module that answers at the app's rate only: the scan of every rate
  // finds that rate alone, so it did set each of the others, also those
  // after the one that answered.
  CheckDoctorCase(
      {"ok",
       "",
       Arrange::kSimulator,
       {"--line-rate", "115200"},
       {"--scan-all-rates", "--polls", "500"},
       {"rates     ok       reply frames at 115200 bit/s (18 rates tried)",
        "rates     ...      115200 bit/s: ok (7 of 18): the module answers "
        "at 115200 bit/s; the scan goes on (--scan-all-rates)\n",
        "9600: no-frame", "115200: ok", "4000000: no-frame"},
       {"\"answered\":[115200]", "\"every_rate\":true"}});
}

// By default the scan stops at the first rate that answers: 9600, the third.
TEST_F(ToolsTest, DoctorScanStopsAtTheModulesRate) {
  CheckDoctorCase(
      {"wrong-rate",
       "rates",
       Arrange::kSimulator,
       {"--line-rate", "9600"},
       {"--scan-rates", "--polls", "500"},
       {"rates     ...      9600 bit/s: ok (3 of 18): the module answers at "
        "9600 bit/s; the scan stops here (--scan-all-rates tries every "
        "rate)\nrates     problem  reply frames at 9600 bit/s (3 of 18 rates "
        "tried, up to the first that answered)",
        "          9600: ok\n          the scan stopped at the first rate "
        "that answered; 15 rates not tried (--scan-all-rates tries every "
        "rate)\n",
        "the port is open again at 115200 bit/s"},
       {"\"answered\":[9600]", "\"every_rate\":false"}});
}

void ToolsTest::CheckDoctorCase(const DoctorCase& c) {
  std::string shown = c.verdict;
  for (const std::string& arg : c.sim) shown += " " + arg;
  SCOPED_TRACE(shown);
  node_ = link_;
  if (c.arrange == Arrange::kNoNode) {
    node_ = dir_ + "/missing";
  } else if (c.arrange == Arrange::kRegularFile) {
    node_ = dir_ + "/regular-file";
    const int file = open(node_.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(file, 0);
    close(file);
  } else {
    StartSim(c.sim);
  }
  if (c.control_flags || c.local_flags) {
    // What another program leaves behind: the settings outlive its close.
    const int line = open(link_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(line, 0);
    struct termios settings;
    ASSERT_EQ(tcgetattr(line, &settings), 0);
    settings.c_cflag |= c.control_flags;
    settings.c_lflag |= c.local_flags;
    ASSERT_EQ(tcsetattr(line, TCSANOW, &settings), 0);
    close(line);
  }
  const bool ok = std::string(c.verdict) == "ok";
  std::vector<std::string> args = {"doctor"};
  args.insert(args.end(), c.doctor.begin(), c.doctor.end());
  EXPECT_EQ(RunProbe(args), ok ? 0 : 1);
  const std::string text = probe_->Out();
  const std::string verdict_line =
      ok ? "\nverdict   ok: the reader answers on /dev/ttyMT3"
         : std::string("\nverdict   ") + c.verdict + ", from the " +
               c.decided_by + " check";
  ExpectAll(text, {verdict_line});
  ExpectAll(text, c.shows);
  if (c.arrange == Arrange::kNoNode) {
    // A mistyped redirect target reads as a missing node: it is named.
    ExpectAll(text, {"; the node redirect leads it to " + node_ +
                     " (TAGPORT_TTYMT3) -- next: check the path in "
                     "TAGPORT_TTYMT3"});
  }
  if (c.arrange == Arrange::kSimulator && !c.sim.empty() &&
      c.sim[0] == "--hold") {
    ExpectAll(text, {"held open by pid " + std::to_string(sim_->pid()) +
                     " (tagport-sim)"});
  }

  // The simulator, if any, keeps serving after the first run's close.
  args.push_back("--json");
  EXPECT_EQ(RunProbe(args, "json"), ok ? 0 : 1);
  const std::string json = probe_->Out();
  EXPECT_EQ(json.rfind(std::string("{\"verdict\":\"") + c.verdict +
                           "\",\"decided_by\":\"" + c.decided_by + "\"",
                       0),
            0u)
      << json;
  EXPECT_EQ(json.find('\n'), json.size() - 1) << "one line: " << json;
  EXPECT_TRUE(IsJsonObject(json)) << json;
  ExpectAll(json, c.json);
  if (c.arrange == Arrange::kNoNode) {
    ExpectAll(json, {"\"redirected_to\":\"" + node_ + "\""});
  }
  if (sim_) {
    sim_->Signal(SIGTERM);
    EXPECT_EQ(sim_->Wait(), 0);
    ExpectOnlyDocumentedRequests(sim_->Out());
    sim_.reset();
  }
}

// The number after "key": in `json`, or -1.
long long JsonNumber(const std::string& json, const std::string& key) {
  const size_t at = json.find("\"" + key + "\":");
  return at == std::string::npos
             ? -1
             : strtoll(json.c_str() + at + key.size() + 3, nullptr, 10);
}

TEST_F(ToolsTest, DoctorShowsEveryReadAndWhenItCame) {
  // Noise, then the reply in three pieces 50 ms apart, 100 ms after the
  // request: the frame completes 200 ms after it at the earliest.
  StartSim({"--script", "open:none+delay=100+pieces=3+gap=50+noise=00 55"});
  EXPECT_EQ(RunProbe({"doctor", "--json"}, "json"), 0);
  const std::string json = probe_->Out();
  EXPECT_GE(JsonNumber(json, "round_trip_us"), 200000) << json;
  EXPECT_GE(JsonNumber(json, "reads_total"), 3) << json;
  EXPECT_EQ(JsonNumber(json, "bytes_read"), 11) << json;
  EXPECT_GE(JsonNumber(json, "at_us"), 100000) << json;  // the first read
  ExpectAll(json, {"\"reads\":[{\"at_us\":", "\"bytes\":\"00 55",
                   "\"frames\":[{\"at_us\":"});
}

// A scan of every rate tries 18 rates for up to a second each: the text
// report shows each rate as it is done, so it is on the screen long before
// the verdict. What each rate found is the other scan tests' business: a
// loaded machine may make a reply late at one rate and early at the next.
TEST_F(ToolsTest, DoctorShowsEachRateOfAScanWhileItRuns) {
  StartSim({"--line-rate", "9600"});
  StartOnLine(TAGPORT_PROBE_PATH,
              {"doctor", "--scan-all-rates", "--polls", "500"}, "probe");
  const std::string first = "\nrates     ...      2400 bit/s: ";
  std::string seen;
  for (int waited = 0; waited < kWaitMs; waited += 10) {
    seen = probe_->Out();
    if (seen.find(" (1 of 18)\n") != std::string::npos) break;
    SleepMs(10);
  }
  // 17 rates of 500 polls were still to come.
  EXPECT_NE(seen.find(first), std::string::npos) << seen;
  EXPECT_NE(seen.find(" (1 of 18)\n"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("\nverdict"), std::string::npos) << seen;
  EXPECT_EQ(probe_->Wait(), 1);
  const std::string text = probe_->Out();
  EXPECT_EQ(text.rfind("tagport-probe doctor: port 3 (/dev/ttyMT3) at 115200 "
                       "bit/s\nnode      ok ",
                       0),
            0u)
      << text;
  std::vector<std::string> in_order = {first};
  for (int k = 1; k <= 18; ++k) {
    // A rate that answered goes on to say so on its line.
    in_order.push_back(" (" + std::to_string(k) + " of 18)");
  }
  in_order.push_back("rates     ");
  in_order.push_back("\nverdict   ");
  size_t at = 0;
  for (const std::string& part : in_order) {
    const size_t found = text.find(part, at);
    EXPECT_NE(found, std::string::npos)
        << "missing, or out of order: " << part << "\nin:\n"
        << text;
    if (found != std::string::npos) at = found + part.size();
  }
}

// The module's end of a line that a test answers by hand, one request at a
// time, so that a program on the other end waits on the test. The test
// keeps no descriptor of the other end open: the doctor would name it as a
// holder.
class HandServedLine {
 public:
  HandServedLine() {
    int other_end;
    tagport_tools::OpenRawPty(&master_, &other_end, &path_);
    if (other_end >= 0) close(other_end);
  }
  ~HandServedLine() {
    if (master_ >= 0) close(master_);
  }
  bool ok() const { return master_ >= 0; }
  const std::string& path() const { return path_; }

  // The next request frame, within kWaitMs; false without one. While
  // nobody holds the other end open, the master side reads nothing.
  bool NextRequest(Bytes* request) {
    for (int waited = 0; frames_.empty() && waited < kWaitMs; waited += 10) {
      struct pollfd ready = {master_, POLLIN, 0};
      uint8_t chunk[256];
      const ssize_t n = poll(&ready, 1, 10) == 1 && (ready.revents & POLLIN)
                            ? read(master_, chunk, sizeof chunk)
                            : -1;
      if (n <= 0) {
        SleepMs(10);
        continue;
      }
      std::vector<tagport_sim::FrameReader::Event> events;
      reader_.Feed(chunk, static_cast<size_t>(n), &events);
      for (const auto& event : events) {
        if (event.is_frame) frames_.push_back(event.bytes);
      }
    }
    if (frames_.empty()) return false;
    *request = frames_.front();
    frames_.erase(frames_.begin());
    return true;
  }

  // The module's usual answer to `request`.
  void Answer(const Bytes& request) {
    const Bytes reply = module_.BuildReply(request, tagport_sim::Reply());
    ASSERT_EQ(write(master_, reply.data(), reply.size()),
              static_cast<ssize_t>(reply.size()));
  }

 private:
  int master_ = -1;
  std::string path_;
  tagport_sim::FrameReader reader_;
  tagport_sim::ReaderModule module_;
  std::vector<Bytes> frames_;
};

// --repeat shows each round as it ends. The test answers every request by
// hand and holds back the reply to each round's first request until the
// round before it is on the screen: the doctor cannot go on meanwhile, so
// the order holds on any machine, however slow. A held reply waits inside
// the doctor's 100000 polls, minutes where the test gives it 20 s.
TEST_F(ToolsTest, DoctorShowsEachRoundOfARepeatAsItEnds) {
  HandServedLine line;
  ASSERT_TRUE(line.ok());
  ASSERT_EQ(symlink(line.path().c_str(), link_.c_str()), 0);
  StartOnLine(TAGPORT_PROBE_PATH,
              {"doctor", "--repeat", "3", "--polls", "100000"}, "probe");
  const auto round_line = [](int round) {
    return "\nrepeat    ...      round " + std::to_string(round) +
           " of 3: open ok ";
  };
  // The exchange check's open request, then an open and a seek per round.
  for (int request = 1; request <= 7; ++request) {
    SCOPED_TRACE("request " + std::to_string(request));
    Bytes frame;
    ASSERT_TRUE(line.NextRequest(&frame)) << probe_->Out() << probe_->Err();
    const int rounds_done = request / 2 - 1;
    if (request % 2 == 0 && rounds_done > 0) {
      std::string shown = probe_->Out();
      for (int waited = 0;
           shown.find(round_line(rounds_done)) == std::string::npos &&
           waited < kWaitMs;
           waited += 10) {
        SleepMs(10);
        shown = probe_->Out();
      }
      EXPECT_NE(shown.find(round_line(rounds_done)), std::string::npos)
          << shown;
      EXPECT_EQ(shown.find(round_line(rounds_done + 1)), std::string::npos)
          << shown;
      EXPECT_EQ(shown.find("\nrepeat    ok"), std::string::npos) << shown;
    }
    line.Answer(frame);
  }
  EXPECT_EQ(probe_->Wait(), 0) << probe_->Err();
  const std::string text = probe_->Out();
  size_t at = 0;
  for (const std::string& part :
       {std::string("\nexchange  ok "), round_line(1), round_line(2),
        round_line(3),
        std::string("\nrepeat    ok       3 rounds: open 3 of 3 "
                    "accepted"),
        std::string("\nverdict   ok")}) {
    const size_t found = text.find(part, at);
    ASSERT_NE(found, std::string::npos)
        << "missing, or out of order: " << part << "\nin:\n"
        << text;
    at = found + part.size();
  }
  // Each round's line: both exchanges and their round trips.
  for (int round = 1; round <= 3; ++round) {
    const size_t start = text.find(round_line(round)) + 1;
    const std::string shown =
        text.substr(start, text.find('\n', start) - start);
    EXPECT_NE(shown.find(" ms, seek ok "), std::string::npos) << shown;
    EXPECT_EQ(shown.rfind(" ms"), shown.size() - 3) << shown;
  }
}

// The result the app's open gets when the doctor gives `verdict` on the
// exchange; 1 for a verdict the exchange never gives.
int ResultOfVerdict(const std::string& verdict) {
  if (verdict == "ok") return 0;
  if (verdict == "refused" || verdict == "echo") return -1;
  if (verdict == "no-bytes" || verdict == "no-frame") return -2;
  return 1;
}

struct AgreementRow {
  const char* reply;             // what the module sends to the open request
  std::vector<std::string> sim;  // tagport-sim's options that send it
  int library;                   // Java_android_kq_Ctagport_open's result
  const char* verdict;           // the doctor's
};

// Whatever the module answers to the open request, the doctor's verdict
// tells what the app's open returns: ok for 0, refused or echo for -1,
// no-bytes or no-frame for -2. Each reply is served by a simulator of its
// own to the library's open, and again to the doctor.
TEST_F(ToolsTest, DoctorVerdictAgreesWithTheLibrarysOpen) {
  const AgreementRow kRows[] = {
      {"accepted", {}, 0, "ok"},
      {"in four pieces", {"--pieces", "4", "--gap", "20"}, 0, "ok"},
      {"behind noise", {"--noise", "00 55 AA FF"}, 0, "ok"},
      {"behind a length below 8", {"--noise", "1E 00 05"}, 0, "ok"},
      {"behind a frame with a bad checksum",
       {"--noise", "1E 00 09 05 00 01 40 00 6E"},
       0,
       "ok"},
      {"behind a length over 2048", {"--noise", "1E 08 01"}, 0, "ok"},
      {"late, within the wait", {"--delay", "300"}, 0, "ok"},
      {"wrong status", {"--script", "open:wrong-status"}, -1, "refused"},
      {"wrong command", {"--script", "open:wrong-command"}, -1, "refused"},
      {"wrong target", {"--script", "open:wrong-target"}, -1, "refused"},
      {"the request echoed, then the reply", {"--echo", "before"}, -1, "echo"},
      {"the request echoed instead", {"--echo", "instead"}, -1, "echo"},
      {"a bad checksum", {"--script", "open:bad-checksum"}, -2, "no-frame"},
      {"behind a length that swallows it",
       {"--noise", "1E 00 40"},
       -2,
       "no-frame"},
      {"half, then a hang-up", {"--script", "open:hang-up"}, -2, "no-frame"},
      {"at another rate", {"--line-rate", "9600"}, -2, "no-frame"},
      {"none", {"--script", "open:silent"}, -2, "no-bytes"},
      // Far behind the 1000 polls, however long a loaded machine makes them.
      {"late, after the wait", {"--delay", "5000"}, -2, "no-bytes"},
  };
  for (const AgreementRow& row : kRows) {
    SCOPED_TRACE(row.reply);
    StartSim(row.sim);
    EXPECT_EQ(RunOnLine(TAGPORT_LIBRARY_OPEN_PATH, {}, "open"), 0);
    const std::string out = probe_->Out();
    const size_t result_at = out.rfind("\nresult ");
    ASSERT_NE(result_at, std::string::npos) << out;
    const int library = atoi(out.c_str() + result_at + 8);
    StopSim();

    StartSim(row.sim);
    EXPECT_EQ(RunProbe({"doctor", "--json"}, "json"), library == 0 ? 0 : 1);
    const std::string json = probe_->Out();
    const std::string head = "{\"verdict\":\"";
    ASSERT_EQ(json.rfind(head, 0), 0u) << json;
    const std::string verdict =
        json.substr(head.size(), json.find('"', head.size()) - head.size());
    const std::string decided_by = verdict == "ok" ? "" : "exchange";
    EXPECT_EQ(json.find("\"decided_by\":\"" + decided_by + "\""),
              head.size() + verdict.size() + 2)
        << json;
    StopSim();

    EXPECT_EQ(library, row.library);
    EXPECT_EQ(verdict, row.verdict);
    EXPECT_EQ(ResultOfVerdict(verdict), library)
        << "the doctor says " << verdict << ", the app's open gets " << library;
  }
}

TEST_F(ToolsTest, DoctorNamesANodeTheCallerMayNotOpen) {
  // Root's own node, or one its owner may not open either.
  StartSimForNobody(geteuid() == 0 ? 0600 : 0);
  if (IsSkipped() || HasFatalFailure()) return;
  if (!wrapper_.empty()) {
    // Run as nobody, in a PID namespace of its own beside one process of
    // root's: what the doctor may see then depends on nothing else on the
    // machine (a daemon running as nobody, say).
    const char kUnshare[] = "/usr/bin/unshare";
    if (access(kUnshare, X_OK) != 0) {
      GTEST_SKIP() << "running as root without unshare (util-linux)";
    }
    wrapper_.insert(wrapper_.begin(),
                    {kUnshare, "--pid", "--fork", "--mount-proc", "/bin/sh",
                     "-c", "sleep 600 & exec \"$@\"", "sh"});
  }
  EXPECT_EQ(RunProbe({"doctor", "--json"}, "json"), 1);
  EXPECT_EQ(probe_->Out().rfind("{\"verdict\":\"no-permission\",\"decided_by\":"
                                "\"node\"",
                                0),
            0u)
      << probe_->Out();
  EXPECT_EQ(RunProbe({"doctor"}), 1);
  ExpectAll(probe_->Out(),
            {"open refused: EACCES", "line      skipped  the node did not open",
             // Other users' processes are closed to it.
             "holders   skipped  not allowed to look into any other process",
             "\nverdict   no-permission, from the node check -- next: give the "
             "caller read and write access"});
  if (!wrapper_.empty()) {
    // Its namespace holds the one process of root's and nothing else.
    ExpectAll(probe_->Out(), {"not allowed to look into any other process (0 "
                              "processes looked into, 1 not allowed)"});
  }
}

// An app holding the port, here as the same user as the doctor so that the
// holder scan may look into it: the node refuses the doctor as it would the
// app, and the scan names the holder. Once the app closes, the node opens.
TEST_F(ToolsTest, DoctorNamesThePortAnAppHoldsForItself) {
  StartSimForNobody(0666);
  if (IsSkipped() || HasFatalFailure()) return;
  std::vector<std::string> args = wrapper_;
  args.insert(args.end(), {opener_path_, "--hold"});
  std::vector<std::string> env = {"TAGPORT_TTYMT3=" + link_};
  if (!staged_.empty()) env.push_back("LD_LIBRARY_PATH=" + dir_);
  Process app(dir_, "app", args, env);
  ASSERT_TRUE(app.started());
  for (int waited = 0;
       app.Err().find("Api_OpenSerial = ") == std::string::npos &&
       waited < kWaitMs;
       waited += 10) {
    SleepMs(10);
  }
  ASSERT_NE(app.Err().find("Api_OpenSerial = 1"), std::string::npos)
      << app.Err();

  EXPECT_EQ(RunProbe({"doctor"}), 1);
  ExpectAll(probe_->Out(),
            {"open refused: EBUSY",
             "held open by pid " + std::to_string(app.pid()) + " (",
             "line      skipped  the node did not open",
             std::string("\nverdict   busy, from the node check -- next: "
                         "another program holds it for itself alone "
                         "(TIOCEXCL), as the app does; ") +
                 "stop it before the app opens the port"});
  EXPECT_EQ(RunProbe({"doctor", "--json"}, "json"), 1);
  EXPECT_EQ(
      probe_->Out().rfind("{\"verdict\":\"busy\",\"decided_by\":\"node\"", 0),
      0u)
      << probe_->Out();

  app.Signal(SIGTERM);
  EXPECT_EQ(app.Wait(), 0);
  EXPECT_NE(app.Err().find("Api_CloseSerial = 1"), std::string::npos)
      << app.Err();
  EXPECT_EQ(RunProbe({"doctor"}), 0) << probe_->Out();
  ExpectAll(probe_->Out(), {"node      ok "});
}

TEST(ToolOptions, BadOptionsExitWithStatus2AndAMessage) {
  const struct {
    std::vector<std::string> args;
    const char* message;  // what stderr must say
  } kCases[] = {
      {{TAGPORT_SIM_PATH, "--bogus", "1"}, "unknown option '--bogus'"},
      // An unknown option is named as such even with no value after it.
      {{TAGPORT_SIM_PATH, "--bogus"}, "unknown option '--bogus'"},
      {{TAGPORT_SIM_PATH, "--count"}, "--count needs a value"},
      {{TAGPORT_SIM_PATH, "--count", "0"},
       "--count: '0' is not a number from 1 to 1000000000"},
      {{TAGPORT_SIM_PATH, "--count", "3x"}, "--count: '3x' is not a number"},
      {{TAGPORT_SIM_PATH, "--card", "04 A1 B2"},
       "--card: the card data must be at least 8 bytes"},
      {{TAGPORT_SIM_PATH, "--card", "zz"}, "--card: 'zz' is not hex bytes"},
      {{TAGPORT_SIM_PATH, "--script", "seek:bogus"},
       "--script: unknown fault 'bogus'"},
      {{TAGPORT_SIM_PATH, "--script", "frob:none"},
       "--script: unknown command 'frob'"},
      {{TAGPORT_SIM_PATH, "--script", "none+pieces=0"},
       "--script pieces: '0' is not a number from 1 to 4096"},
      {{TAGPORT_SIM_PATH, "--script", "none+colour=red"},
       "--script: unknown modifier 'colour=red'"},
      {{TAGPORT_SIM_PATH, "--script", "seek:none+card=01 02"},
       "--script card: the card data must be at least 8 bytes"},
      {{TAGPORT_SIM_PATH, "--random-faults", "10"},
       "--random-faults and --seed go together"},
      {{TAGPORT_SIM_PATH, "--random-faults", "101", "--seed", "1"},
       "--random-faults: '101' is not a number from 0 to 100"},
      {{TAGPORT_SIM_PATH, "--rate", "9600"}, "--rate applies to --device only"},
      {{TAGPORT_SIM_PATH, "--device", "/dev/null", "--rate", "12345"},
       "--rate: 12345 is not a supported rate (2400 .. 4000000, as the "
       "library)\n"},
      {{TAGPORT_SIM_PATH, "--device", "/dev/null", "--link", "/tmp/x"},
       "--link and --device exclude each other"},
      {{TAGPORT_SIM_PATH, "stray"}, "unexpected argument 'stray'"},
      {{TAGPORT_PROBE_PATH, "--port", "4"},
       "--port: '4' is not a number from 0 to 3"},
      {{TAGPORT_PROBE_PATH, "--rate", "fast"},
       "--rate: 'fast' is not a number"},
      {{TAGPORT_PROBE_PATH, "--polls"}, "--polls needs a value"},
      {{TAGPORT_PROBE_PATH, "open", "jump"}, "unknown step 'jump'"},
      {{TAGPORT_PROBE_PATH, "wait=soon"}, "wait: 'soon' is not a number"},
      {{TAGPORT_PROBE_PATH, "--verbose", "1"}, "unknown option '--verbose'"},
      {{TAGPORT_PROBE_PATH, "--bogus"}, "unknown option '--bogus'"},
      {{TAGPORT_PROBE_PATH, "open", "doctor"},
       "doctor goes first, followed by its own options"},
      {{TAGPORT_PROBE_PATH, "doctor", "open"}, "unexpected argument 'open'"},
      {{TAGPORT_PROBE_PATH, "doctor", "--rate", "12345"},
       "--rate: 12345 is not one of the library's rates: 2400, 4800, 9600, "
       "19200, 38400, 57600, 115200, 230400, 460800, 921600, 1000000, "
       "1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000\n"},
      {{TAGPORT_PROBE_PATH, "doctor", "--repeat", "0"},
       "--repeat: '0' is not a number from 1 to 1000000"},
      {{TAGPORT_PROBE_PATH, "doctor", "--port", "-1"},
       "--port: '-1' is not a number from 0 to 3"},
      {{TAGPORT_PROBE_PATH, "doctor", "--scan"}, "unknown option '--scan'"},
      {{TAGPORT_SIM_PATH, "--echo", "sideways"},
       "--echo: 'sideways' is neither before nor instead"},
      {{TAGPORT_SIM_PATH, "--line-rate", "12345"},
       "--line-rate: 12345 is not a supported rate (2400 .. 4000000, as the "
       "library)\n"},
      {{TAGPORT_SIM_PATH, "--device", "/dev/null", "--hold"},
       "--hold, --echo, --line-rate and --no-cts need a pseudo-terminal"},
  };
  char dir[] = "/tmp/tagport-options-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  for (const auto& c : kCases) {
    std::string shown;
    for (const std::string& arg : c.args) shown += arg + " ";
    SCOPED_TRACE(shown);
    Process process(dir, "run", c.args);
    EXPECT_EQ(process.Wait(), 2);
    // The doctor's errors are its own, and point at its own --help.
    const std::string program =
        c.args[0].substr(c.args[0].rfind('/') + 1) +
        (c.args.size() > 1 && c.args[1] == "doctor" ? " doctor" : "");
    // The message first, then the pointer to --help.
    EXPECT_EQ(process.Err().rfind(program + ": " + c.message, 0), 0u)
        << process.Err();
    EXPECT_NE(process.Err().find("\nTry '" + program + " --help'."),
              std::string::npos)
        << process.Err();
    EXPECT_EQ(process.Out(), "");
  }
  unlink((std::string(dir) + "/run.out").c_str());
  unlink((std::string(dir) + "/run.err").c_str());
  rmdir(dir);
}

}  // namespace

namespace {

TEST(ToolJson, EscapesEveryStringIntoValidJson) {
  const struct {
    std::string text;
    const char* json;
  } kCases[] = {
      {"plain", "\"plain\""},
      {"say \"hi\" \\", "\"say \\\"hi\\\" \\\\\""},
      {"a\nb\tc", "\"a\\nb\\tc\""},
      {std::string("\0\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001F\\u007F\""},
      // Bytes above ASCII, whatever they encode.
      {"\xC3\xA9\xFF", "\"\\u00C3\\u00A9\\u00FF\""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(tagport_tools::JsonString(c.text), c.json);
  }
  tagport_tools::JsonArray array;
  array.AddNumber(-1).AddString("x").AddObject(tagport_tools::JsonObject());
  tagport_tools::JsonObject object;
  object.AddString("k\"", "v")
      .AddNumber("big", int64_t{1} << 40)
      .AddBool("yes", true)
      .AddBool("no", false)
      .AddArray("list", array)
      .AddArray("none", tagport_tools::JsonArray());
  EXPECT_EQ(object.Text(),
            "{\"k\\\"\":\"v\",\"big\":1099511627776,\"yes\":true,\"no\":false,"
            "\"list\":[-1,\"x\",{}],\"none\":[]}");
}

// The simulator's line faults, seen from the library's end of the line.
struct LineFaultCase {
  const char* name;
  tagport_sim::Echo echo;
  tagport_sim::LineDemands demands;
  speed_t line_speed;   // set on the line before the request
  bool flow_control;    // RTS/CTS on the line
  bool reply_expected;  // the reply frame, after the echo if any
};

TEST(SimulatedLineFaults, EchoRateAndCtsAsSeenOnTheLine) {
  const Bytes request = tagport_sim::BuildFrame(5, 0xFF, 0x40, {0x01});
  const Bytes reply = tagport_sim::BuildFrame(5, 1, 0x40, {0x00});
  tagport_sim::LineDemands at_9600;
  at_9600.speed = B9600;
  tagport_sim::LineDemands no_cts;
  no_cts.no_cts = true;
  const LineFaultCase kCases[] = {
      {"echo before",
       tagport_sim::Echo::kBeforeReply,
       {},
       B115200,
       false,
       true},
      {"echo instead",
       tagport_sim::Echo::kInsteadOfReply,
       {},
       B115200,
       false,
       false},
      {"module at 9600, line at 9600", tagport_sim::Echo::kOff, at_9600, B9600,
       false, true},
      {"module at 9600, line at 115200", tagport_sim::Echo::kOff, at_9600,
       B115200, false, false},
      {"no CTS, no flow control", tagport_sim::Echo::kOff, no_cts, B115200,
       false, true},
      {"no CTS, flow control on", tagport_sim::Echo::kOff, no_cts, B115200,
       true, false},
  };
  for (const LineFaultCase& c : kCases) {
    SCOPED_TRACE(c.name);
    tagport_sim::SimulatedReader reader;
    ASSERT_TRUE(reader.ok());
    std::vector<std::string> log;
    std::mutex log_mutex;
    reader.module().SetLog([&](const std::string& line) {
      std::lock_guard<std::mutex> lock(log_mutex);
      log.push_back(line);
    });
    reader.module().SetEcho(c.echo);
    reader.module().SetLineDemands(c.demands);
    const int line = open(reader.slave_path().c_str(),
                          O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(line, 0);
    struct termios settings;
    ASSERT_EQ(tcgetattr(line, &settings), 0);
    cfsetispeed(&settings, c.line_speed);
    cfsetospeed(&settings, c.line_speed);
    if (c.flow_control) settings.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(line, TCSANOW, &settings), 0);
    reader.Start();
    ASSERT_EQ(write(line, request.data(), request.size()),
              static_cast<ssize_t>(request.size()));
    // The request has been dealt with once the module logged its answer
    // (or why it held it back); all it wrote is on the line by then.
    auto dealt_with = [&] {
      std::lock_guard<std::mutex> lock(log_mutex);
      return reader.module().Answered() == 1 ||
             (!log.empty() &&
              log.back().find("(held back") != std::string::npos);
    };
    for (int waited = 0; !dealt_with() && waited < kWaitMs; waited += 10) {
      SleepMs(10);
    }
    ASSERT_TRUE(dealt_with());
    reader.Stop();
    Bytes got(4096);
    const ssize_t n = read(line, got.data(), got.size());
    got.resize(n > 0 ? static_cast<size_t>(n) : 0);
    close(line);

    Bytes expected;
    if (c.echo != tagport_sim::Echo::kOff) expected = request;
    if (c.reply_expected) {
      expected.insert(expected.end(), reply.begin(), reply.end());
    }
    const bool garbled =
        c.demands.speed != 0 && c.demands.speed != c.line_speed;
    if (!garbled) {
      EXPECT_EQ(Hex(got), Hex(expected));
      continue;
    }
    // A misread reply: as long as the reply, and never a start byte.
    EXPECT_EQ(got.size(), reply.size()) << Hex(got);
    for (uint8_t byte : got) EXPECT_NE(byte, tagport_sim::kStartByte);
  }
}

// A module that hangs up mid-reply hangs up only once the other end has
// taken the half it sent, however late that end reads: the hang-up would
// discard it, and the reader would see no reply at all.
TEST(SimulatedLineFaults, AHangUpComesAfterTheOtherEndHasReadTheHalfReply) {
  const Bytes request = tagport_sim::BuildFrame(5, 0xFF, 0x40, {0x01});
  const Bytes reply = tagport_sim::BuildFrame(5, 1, 0x40, {0x00});
  for (const int read_after_ms : {0, 300}) {
    SCOPED_TRACE(read_after_ms);
    tagport_sim::SimulatedReader reader;
    ASSERT_TRUE(reader.ok());
    tagport_sim::Reply hang_up;
    hang_up.fault = tagport_sim::Fault::kHangUp;
    reader.module().Script(hang_up);
    const int line = open(reader.slave_path().c_str(),
                          O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(line, 0);
    reader.Start();
    ASSERT_EQ(write(line, request.data(), request.size()),
              static_cast<ssize_t>(request.size()));
    SleepMs(read_after_ms);
    Bytes got;
    for (int waited = 0; got.size() < reply.size() / 2 && waited < kWaitMs;
         waited += 10) {
      uint8_t chunk[64];
      const ssize_t n = read(line, chunk, sizeof chunk);
      if (n > 0) got.insert(got.end(), chunk, chunk + n);
      if (n <= 0) SleepMs(10);
    }
    EXPECT_EQ(Hex(got),
              Hex(Bytes(reply.begin(), reply.begin() + reply.size() / 2)));
    reader.Stop();
    close(line);
  }
}

}  // namespace
