// The doctor's third check: the line's settings as found before the library
// touches them, and as Api_OpenSerial leaves them.
#ifndef TAGPORT_TOOLS_PROBE_LINE_SETTINGS_H_
#define TAGPORT_TOOLS_PROBE_LINE_SETTINGS_H_

#include <stdint.h>
#include <termios.h>

#include <string>

#include "tools/probe/doctor_report.h"

namespace tagport_doctor {

// The settings that decide whether bytes get through.
struct LineSettings {
  int64_t rate;  // bit/s; -1 for a speed outside the library's table
  int data_bits;
  char parity;  // N, E or O
  int stop_bits;
  bool hardware_flow_control;  // CRTSCTS
  bool ignore_modem_lines;     // CLOCAL
  bool receiver_on;            // CREAD
  bool echo;                   // ECHO
};

LineSettings ReadSettings(const struct termios& line);

// "115200 8N1, RTS/CTS off, CLOCAL on, CREAD on, echo off"
std::string SettingsText(const LineSettings& settings);

// What to do about RTS/CTS left on at `node`.
std::string FlowControlAdvice(const std::string& node);

// The check on `node`: `found` read before the library opened the node, `left`
// after Api_OpenSerial; either null where it could not be read, with the reason
// in `found_why` or `left_why`.
CheckResult CheckLine(const std::string& node, const LineSettings* found,
                      const std::string& found_why, const LineSettings* left,
                      const std::string& left_why);

}  // namespace tagport_doctor

#endif  // TAGPORT_TOOLS_PROBE_LINE_SETTINGS_H_
