// The bootstrap's entry together with the child's launch built with the
// tests' faults (ONEFILE_TEST_CREATION_FAILURES), as one object: linked
// before the library, whose own launch is then never taken.
#define ONEFILE_TEST_FAULTS
#include "child_process/launch.cpp"
#include "driver/main.cpp"
