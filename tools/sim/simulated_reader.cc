#include "tools/sim/simulated_reader.h"

#include <unistd.h>

#include "tools/common/pty.h"

namespace tagport_sim {

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
  server_ = std::thread([this] { module_.Serve(&master_fd_, stop_); });
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
