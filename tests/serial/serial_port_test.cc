#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include "link/frame_link.h"
#include "tests/support/line_fixture.h"
#include "tests/support/node_redirect.h"

namespace tagport_test {
namespace {

using SerialPortTest = LineTest;

TEST_F(SerialPortTest, OpensTheRedirectedNode) {
  EXPECT_EQ(Api_OpenSerial(3, 115200), 1);
  EXPECT_GE(FD_COM, 0);
}

}  // namespace
}  // namespace tagport_test
