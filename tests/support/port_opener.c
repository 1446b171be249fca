// Another program on the reader's port, as the tests start it: opens port 3
// through libtagport.so, says on standard error what Api_OpenSerial
// answered, and closes again. With --hold it keeps the port until SIGTERM
// or SIGINT, as an app that uses the reader would. Standard output carries
// only what the library prints.
//
//   tagport_port_opener [--hold]
//
// Exits 0 once it has reported, 2 on a bad argument.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <tagport/serial_port.h>

int main(int argc, char** argv) {
  const int hold = argc == 2 && strcmp(argv[1], "--hold") == 0;
  if (argc > 2 || (argc == 2 && !hold)) {
    fprintf(stderr, "usage: %s [--hold]\n", argv[0]);
    return 2;
  }
  // Blocked before the port opens, so a signal sent as soon as the report
  // shows waits for sigwait instead of ending the process with the port.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, NULL);

  const int opened = Api_OpenSerial(3, 115200);
  fprintf(stderr, "Api_OpenSerial = %d\n", opened);
  if (hold) {
    int signal_number = 0;
    sigwait(&stop, &signal_number);
  }
  fprintf(stderr, "Api_CloseSerial = %d\n", Api_CloseSerial());
  return 0;
}
