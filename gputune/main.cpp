#include "common/program.h"
#include "gputune.h"

// The command line is ignored.
int main(int, char**) { return gpu::run_program("gputune", gputune::run); }
