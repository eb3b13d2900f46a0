// Entry point: the command line's bytes go to the driver unchanged.
#include "driver/main_command.h"

int main(int argc, char** argv) { return RunPeltoCadPrep(argc, argv); }
