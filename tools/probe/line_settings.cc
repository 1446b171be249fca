#include "tools/probe/line_settings.h"

#include <vector>

#include "serial/line_rates.h"

namespace tagport_doctor {

namespace {

using tagport_tools::JsonArray;
using tagport_tools::JsonObject;

std::string OnOff(bool on) { return on ? "on" : "off"; }

std::string RateText(int64_t rate) {
  return rate < 0 ? "a speed outside the library's table"
                  : std::to_string(rate);
}

JsonObject SettingsJson(const LineSettings& settings) {
  return JsonObject()
      .AddNumber("rate", settings.rate)
      .AddNumber("data_bits", settings.data_bits)
      .AddString("parity", std::string(1, settings.parity))
      .AddNumber("stop_bits", settings.stop_bits)
      .AddBool("crtscts", settings.hardware_flow_control)
      .AddBool("clocal", settings.ignore_modem_lines)
      .AddBool("cread", settings.receiver_on)
      .AddBool("echo", settings.echo);
}

// "rate 38400 -> 115200", one item per setting that differs.
std::vector<std::string> Changes(const LineSettings& before,
                                 const LineSettings& after) {
  std::vector<std::string> changes;
  auto note = [&](bool differs, const std::string& name, const std::string& was,
                  const std::string& is) {
    if (differs) changes.push_back(name + " " + was + " -> " + is);
  };
  note(before.rate != after.rate, "rate", RateText(before.rate),
       RateText(after.rate));
  note(before.data_bits != after.data_bits, "data bits",
       std::to_string(before.data_bits), std::to_string(after.data_bits));
  note(before.parity != after.parity, "parity", std::string(1, before.parity),
       std::string(1, after.parity));
  note(before.stop_bits != after.stop_bits, "stop bits",
       std::to_string(before.stop_bits), std::to_string(after.stop_bits));
  note(before.hardware_flow_control != after.hardware_flow_control, "RTS/CTS",
       OnOff(before.hardware_flow_control), OnOff(after.hardware_flow_control));
  note(before.ignore_modem_lines != after.ignore_modem_lines, "CLOCAL",
       OnOff(before.ignore_modem_lines), OnOff(after.ignore_modem_lines));
  note(before.receiver_on != after.receiver_on, "CREAD",
       OnOff(before.receiver_on), OnOff(after.receiver_on));
  note(before.echo != after.echo, "echo", OnOff(before.echo),
       OnOff(after.echo));
  return changes;
}

}  // namespace

LineSettings ReadSettings(const struct termios& line) {
  LineSettings settings;
  settings.rate = -1;
  unsigned count = 0;
  const TagportLineRate* rates = TagportLineRates(&count);
  for (unsigned k = 0; k < count; ++k) {
    if (rates[k].speed == cfgetospeed(&line)) settings.rate = rates[k].rate;
  }
  switch (line.c_cflag & CSIZE) {
    case CS5:
      settings.data_bits = 5;
      break;
    case CS6:
      settings.data_bits = 6;
      break;
    case CS7:
      settings.data_bits = 7;
      break;
    default:
      settings.data_bits = 8;
      break;
  }
  settings.parity = !(line.c_cflag & PARENB)  ? 'N'
                    : (line.c_cflag & PARODD) ? 'O'
                                              : 'E';
  settings.stop_bits = (line.c_cflag & CSTOPB) ? 2 : 1;
  settings.hardware_flow_control = (line.c_cflag & CRTSCTS) != 0;
  settings.ignore_modem_lines = (line.c_cflag & CLOCAL) != 0;
  settings.receiver_on = (line.c_cflag & CREAD) != 0;
  settings.echo = (line.c_lflag & ECHO) != 0;
  return settings;
}

std::string SettingsText(const LineSettings& settings) {
  return RateText(settings.rate) + " " + std::to_string(settings.data_bits) +
         settings.parity + std::to_string(settings.stop_bits) + ", RTS/CTS " +
         OnOff(settings.hardware_flow_control) + ", CLOCAL " +
         OnOff(settings.ignore_modem_lines) + ", CREAD " +
         OnOff(settings.receiver_on) + ", echo " + OnOff(settings.echo);
}

std::string FlowControlAdvice(const std::string& node) {
  return "hardware flow control is on, and the library keeps it as it finds "
         "it: nothing is sent while the module raises no CTS; turn it off "
         "(stty -F " +
         node + " -crtscts) and find the program that set it";
}

CheckResult CheckLine(const std::string& node, const LineSettings* found,
                      const std::string& found_why, const LineSettings* left,
                      const std::string& left_why) {
  CheckResult result;
  result.name = "line";
  result.details.push_back("found: " +
                           (found ? SettingsText(*found) : found_why));
  result.details.push_back("left:  " + (left ? SettingsText(*left) : left_why) +
                           " (by Api_OpenSerial; the doctor restores nothing)");
  if (found) result.data.AddObject("found", SettingsJson(*found));
  if (left) result.data.AddObject("left", SettingsJson(*left));
  if (!left) {
    result.status = Status::kSkipped;
    result.found = "Api_OpenSerial did not configure the line: " + left_why;
    return result;
  }
  JsonArray changed;
  std::string changes;
  if (found) {
    for (const std::string& change : Changes(*found, *left)) {
      changed.AddString(change);
      changes += (changes.empty() ? "" : ", ") + change;
    }
    result.data.AddArray("changed", changed);
  }
  result.found =
      "Api_OpenSerial set " + SettingsText(*left) +
      (found ? "; it changed " + (changes.empty() ? "nothing" : changes)
             : "; not read before: " + found_why);
  result.status = Status::kOk;
  // The library keeps these as it finds them: whatever another program
  // left there stays in force for the app.
  if (left->hardware_flow_control) {
    result.status = Status::kNote;
    result.next = FlowControlAdvice(node);
  } else if (!left->receiver_on) {
    result.status = Status::kNote;
    result.next =
        "the receiver is off (CREAD) and the library keeps it: "
        "no reply can be read; find the program that cleared it";
  }
  return result;
}

}  // namespace tagport_doctor
