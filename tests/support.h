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

// A kesp-sim started on one loopback address, its standard output and error
// kept in a file. Stopped with SIGTERM when it goes out of scope.
class sim_process {
 public:
  // Starts binary with --listen address and args, then waits, at most
  // ready_limit, for its ready line.
  sim_process(const std::string &binary, const std::string &address,
              const std::vector<std::string> &args,
              std::chrono::milliseconds ready_limit = std::chrono::seconds(10));
  ~sim_process();
  sim_process(const sim_process &) = delete;
  sim_process &operator=(const sim_process &) = delete;

  bool ready() const { return ready_; }
  int pid() const { return pid_; }
  // Sends SIGTERM and waits at most limit. Returns the exit status as
  // run_result counts it, or -1 if it had to be killed.
  int stop(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Everything it wrote so far.
  std::string log() const;
  // Waits, at most limit, until the log holds text; false if it never did.
  bool wait_for_log(const std::string &text,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

 private:
  int pid_ = -1;
  bool ready_ = false;
  std::string log_path_;
};
