// Helper modes of the test programs. Process tests start the running test program again with
// VANTLE_TEST_CHILD naming a mode, so the child is a known program on every platform and no shell
// stands between the test and what it checks.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/process.h"

namespace vantle::testing {

// Runs the mode VANTLE_TEST_CHILD names and ends the process with the mode's exit code; returns at
// once when the variable is unset. Called first thing in the test programs' main.
void run_child_mode_if_requested(int argc, char** argv);

// A command that starts this program in `mode` with `args`. The modes:
//   args           writes each argument, each followed by a NUL byte
//   env            writes each variable as "name=value", each followed by a NUL byte
//   cwd            writes the working directory
//   cat            copies standard input to standard output
//   echo TEXT      writes TEXT to stdout and "err:" TEXT to stderr; exit 0 if both writes worked
//   exit CODE      exits with CODE (decimal, up to 32 bits)
//   sleep MS       sleeps MS milliseconds, then exits 0
//   fill N         writes N bytes of a repeating "a".."z" pattern to stdout
process::Command child_command(std::string_view mode, std::vector<std::string> args = {});

// Adds a mode that only one system's tests need, from a static initialiser of their file (before
// main runs). `run` gets the arguments and returns the exit code. Returns true, for the initialiser.
bool add_child_mode(std::string_view mode, int (*run)(const std::vector<std::string>& args));

// Splits output made of NUL-terminated records.
std::vector<std::string> split_records(std::string_view output);

}  // namespace vantle::testing
