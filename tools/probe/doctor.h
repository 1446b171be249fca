// `tagport-probe doctor`: why a reader does not answer, checked in order from
// the device node to the exchange, with one verdict at the end.
#ifndef TAGPORT_TOOLS_PROBE_DOCTOR_H_
#define TAGPORT_TOOLS_PROBE_DOCTOR_H_

namespace tagport_doctor {

// Runs the doctor with its own arguments (argv[0] is "doctor"); the exit
// status: 0 verdict ok, 1 a problem found, 2 bad options (after a message).
int RunDoctor(int argc, char** argv);

}  // namespace tagport_doctor

#endif  // TAGPORT_TOOLS_PROBE_DOCTOR_H_
