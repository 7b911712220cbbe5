// The bootstrap's entry together with the parts built with the tests'
// faults and holds (ONEFILE_TEST_CREATION_FAILURES, ONEFILE_TEST_HOLD_CHECK,
// ONEFILE_TEST_HOLD_SWEEP, ONEFILE_TEST_HOLD_TAKE, ONEFILE_TEST_HOLD_WORKER), as one object: linked
// before the library, whose own copies of these parts are then never taken.
#define ONEFILE_TEST_FAULTS
#include "attached_data/extraction.cpp"
#include "child_process/launch.cpp"
#include "driver/driver.cpp"
#include "driver/main.cpp"
#include "driver/upkeep_worker.cpp"
#include "run_folder/sweep.cpp"
