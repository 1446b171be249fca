#include "tools/sim/simulated_reader.h"

#include <unistd.h>

#include "tools/common/pty.h"
#include "tools/redirect/node_redirect.h"

// Where the node redirect is loaded (the tests, the benchmark, a JVM with it
// preloaded), the module keeps the library's polls in step with it; in
// tagport-sim there is nothing to keep in step.
#pragma weak tagport_redirect_module_serving
#pragma weak tagport_redirect_module_took

namespace tagport_sim {

namespace {

// `line`: the terminal the library opens, or null once the module stops.
void TellRedirectServing(const char* line) {
  if (tagport_redirect_module_serving != nullptr) {
    tagport_redirect_module_serving(line);
  }
}

}  // namespace

SimulatedReader::SimulatedReader() {
  tagport_tools::OpenRawPty(&master_fd_, &slave_fd_, &slave_path_);
}

SimulatedReader::~SimulatedReader() {
  Stop();
  if (master_fd_ >= 0) close(master_fd_);
  if (slave_fd_ >= 0) close(slave_fd_);
}

void SimulatedReader::Start() {
  if (server_.joinable() || master_fd_ < 0) return;
  stop_ = false;
  TellRedirectServing(slave_path_.c_str());
  server_ = std::thread([this] {
    module_.Serve(&master_fd_, stop_, tagport_redirect_module_took);
    TellRedirectServing(nullptr);
  });
}

void SimulatedReader::Stop() {
  stop_ = true;
  if (server_.joinable()) server_.join();
}

void SimulatedReader::HangUp() {
  Stop();
  if (master_fd_ >= 0) close(master_fd_);
  master_fd_ = -1;
}

}  // namespace tagport_sim
