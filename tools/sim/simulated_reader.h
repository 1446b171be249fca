// A simulated reader module on a fresh pseudo-terminal, served by a thread:
// what the tests, the benchmark and the JVM tests put on the far end of the
// line.
#ifndef TAGPORT_TOOLS_SIM_SIMULATED_READER_H_
#define TAGPORT_TOOLS_SIM_SIMULATED_READER_H_

#include <atomic>
#include <string>
#include <thread>

#include "tools/sim/reader_module.h"

namespace tagport_sim {

// A reader module on a fresh pseudo-terminal, served by a thread. The slave
// side is kept open (raw) so the line survives the library closing its end.
class SimulatedReader {
 public:
  SimulatedReader();
  ~SimulatedReader();
  SimulatedReader(const SimulatedReader&) = delete;
  SimulatedReader& operator=(const SimulatedReader&) = delete;

  bool ok() const { return master_fd_ >= 0; }
  const std::string& slave_path() const { return slave_path_; }
  // The module's end of the line, for speaking on it directly (not while
  // the module serves).
  int master_fd() const { return master_fd_; }
  ReaderModule& module() { return module_; }

  void Start();
  void Stop();
  // Closes the master side: the library's end sees a hang-up.
  void HangUp();

 private:
  ReaderModule module_;
  int master_fd_ = -1;
  int slave_fd_ = -1;
  std::string slave_path_;
  std::atomic<bool> stop_{false};
  std::thread server_;
};

}  // namespace tagport_sim

#endif  // TAGPORT_TOOLS_SIM_SIMULATED_READER_H_
