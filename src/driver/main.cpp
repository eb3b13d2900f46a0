// Entry point: the command line's bytes go to the driver unchanged. Before
// any work, an interrupt is set to remove the run's unfinished files, and
// standard output is kept for event lines alone.
#include "driver/main_command.h"
#include "platform/event_output.h"
#include "platform/interrupt_cleanup.h"

int main(int argc, char** argv) {
  InstallInterruptCleanup();
  return RunPeltoCadPrep(argc, argv, SeparateEventOutput());
}
