// Runs tagport-sim and tagport-probe as the user would: the simulator on a
// pseudo-terminal behind a symbolic link, the probe with the node
// redirect preloaded so that its libtagport.so opens that link as /dev/ttyMT3.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tools/common/hex.h"
#include "tools/common/pty.h"
#include "tools/sim/frame_codec.h"

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

class ToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tagport-tools-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    link_ = dir_ + "/reader";
  }

  void TearDown() override {
    sim_.reset();
    unlink(link_.c_str());
    for (const char* file : {"sim.out", "sim.err", "probe.out", "probe.err",
                             "again.out", "again.err"}) {
      unlink((dir_ + "/" + file).c_str());
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

  // Runs tagport-probe against the simulator; its exit status.
  int RunProbe(std::vector<std::string> args, const char* name = "probe") {
    args.insert(args.begin(), TAGPORT_PROBE_PATH);
    probe_.reset(
        new Process(dir_, name, args,
                    {std::string("LD_PRELOAD=") + TAGPORT_REDIRECT_PATH,
                     "TAGPORT_TTYMT3=" + link_,
                     // The shim precedes a sanitizer runtime.
                     "ASAN_OPTIONS=verify_asan_link_order=0"}));
    EXPECT_TRUE(probe_->started());
    return probe_->Wait();
  }

  std::string dir_;
  std::string link_;
  std::unique_ptr<Process> sim_;
  std::unique_ptr<Process> probe_;
};

TEST_F(ToolsTest, ProbeShowsEveryFrameOfAFullSession) {
  StartSim({"--count", "3"});
  ASSERT_EQ(RunProbe({}), 0) << probe_->Out() << probe_->Err();
  const std::string out = probe_->Out();
  ExpectAll(
      out,
      {
          "open  port    Api_OpenSerial(3, 115200) = 1",
          "open  request 1E 00 09 05 00 FF 40 01 6C (SentPacket = 9)",
          "open  reply   1E 00 09 05 00 01 40 00 6D (IsSuccessRecv = 0)",
          "open  result  0 (accepted)",
          "seek  request 1E 00 0B 05 00 FF 41 04 00 00 72 (SentPacket = 11)",
          "seek  reply   1E 00 14 05 00 01 41 01 00 00 00 04 A1 B2 C3 D4 E5 "
          "F6 07 4A (IsSuccessRecv = 0)",
          "seek  card    04 A1 B2 C3 D4 E5 F6 07 (8 bytes)",
          "seek  result  8 (accepted)",
          "move  request 1E 00 09 05 00 FF 50 00 7B (SentPacket = 9)",
          "move  reply   1E 00 09 05 00 01 50 00 7D (IsSuccessRecv = 0)",
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
                     Hex(card) + " 23 (IsSuccessRecv = 0)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("seek  card    " + Hex(card) + " (10 bytes)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("seek  result  10 (accepted)"), std::string::npos) << out;
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
      {{TAGPORT_SIM_PATH, "--random-faults", "10"},
       "--random-faults and --seed go together"},
      {{TAGPORT_SIM_PATH, "--random-faults", "101", "--seed", "1"},
       "--random-faults: '101' is not a number from 0 to 100"},
      {{TAGPORT_SIM_PATH, "--rate", "9600"}, "--rate applies to --device only"},
      {{TAGPORT_SIM_PATH, "--device", "/dev/null", "--rate", "12345"},
       "--rate: 12345 is not a supported rate"},
      {{TAGPORT_SIM_PATH, "--device", "/dev/null", "--link", "/tmp/x"},
       "--link and --device exclude each other"},
      {{TAGPORT_SIM_PATH, "stray"}, "unexpected argument 'stray'"},
      {{TAGPORT_PROBE_PATH, "--port", "4"},
       "--port: '4' is not a number from 0 to 3"},
      {{TAGPORT_PROBE_PATH, "--rate", "fast"},
       "--rate: 'fast' is not a number"},
      {{TAGPORT_PROBE_PATH, "--polls"}, "--polls needs a value"},
      {{TAGPORT_PROBE_PATH, "open", "jump"}, "unknown step 'jump'"},
      {{TAGPORT_PROBE_PATH, "--verbose", "1"}, "unknown option '--verbose'"},
      {{TAGPORT_PROBE_PATH, "--bogus"}, "unknown option '--bogus'"},
  };
  char dir[] = "/tmp/tagport-options-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  for (const auto& c : kCases) {
    std::string shown;
    for (const std::string& arg : c.args) shown += arg + " ";
    SCOPED_TRACE(shown);
    Process process(dir, "run", c.args);
    EXPECT_EQ(process.Wait(), 2);
    const std::string program = c.args[0].substr(c.args[0].rfind('/') + 1);
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
