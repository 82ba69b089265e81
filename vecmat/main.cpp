#include "common/program.h"
#include "vecmat.h"

int main() { return gpu::run_program("vecmat", vecmat::run); }
