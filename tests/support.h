// Helpers shared by the tests that run the built programs as processes.
#pragma once

#include <chrono>
#include <string>
#include <vector>

struct run_result {
  int status = -1;         // exit status, or 128 + signal number when killed
  bool signaled = false;   // ended by a signal (a crash, or the time limit)
  bool timed_out = false;  // killed because it outlived the time limit
  std::string out;         // everything written to standard output
  std::string err;         // everything written to standard error
};

// Runs argv[0] with the given arguments, standard input from /dev/null,
// and gathers both outputs. Kills it with SIGKILL after the time limit.
run_result run_program(const std::vector<std::string> &argv,
                       std::chrono::milliseconds limit = std::chrono::seconds(30));

// A file in a fresh temporary folder that is removed with the process.
std::string temp_path(const std::string &name);

// Writes bytes to a file, replacing it.
void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);

// Deterministic pseudo-random bytes, so that failures repeat.
std::string pattern_bytes(size_t n, unsigned seed);
