// Helpers of the kesp-batch tests: running it, reading what it wrote with
// real parsers, and kesp's own output as its logs must repeat it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support.h"

// Runs kesp-batch with args.
run_result run_batch(const std::vector<std::string> &args,
                     std::chrono::milliseconds limit = std::chrono::seconds(60));

// A JSON Lines report, every line parsed on its own.
struct report {
  std::vector<nlohmann::json> steps;  // the "step" objects, in file order
  std::vector<nlohmann::json> units;  // a station's "unit" objects, in file order
  nlohmann::json summary;             // the "summary" object; null if none
  std::string error;                  // the first line that failed to parse, and why
  // The object of a board's step (from 1); null if the report has none
  // or several.
  nlohmann::json step(const std::string &board, int number) const;
};
report read_report(const std::string &path);

// A JUnit file read by python3's XML parser: board -> "passed",
// "failure:TYPE" or "skipped". Empty with *error when it does not parse.
std::map<std::string, std::string> read_junit(const std::string &path, std::string *error);

// kesp's output with each run of redrawn bars cut to its last bar, as
// kesp-batch's logs hold it.
std::string final_bars(const std::string &kesp_out);

// kesp-batch started in the background, its outputs in files, for tests
// that signal it.
class batch_process {
 public:
  explicit batch_process(const std::vector<std::string> &args);
  ~batch_process();
  batch_process(const batch_process &) = delete;
  batch_process &operator=(const batch_process &) = delete;
  void signal(int sig) const;
  pid_t pid() const { return pid_; }
  // Waits at most limit; the exit status as run_result counts it, or -1
  // (after killing it) when it outlived the limit.
  int wait(std::chrono::milliseconds limit);
  std::string out() const;
  std::string err() const;

 private:
  pid_t pid_ = -1;
  std::string out_path_;
  std::string err_path_;
};

// Waits at most limit until the file holds text.
bool wait_for_file_text(const std::string &path, const std::string &text,
                        std::chrono::milliseconds limit);

// Waits at most limit until the report holds n unit objects.
bool wait_for_units(const std::string &report_path, size_t n, std::chrono::milliseconds limit);

// How start_on_terminal sets up the terminal a program runs on.
struct terminal_setup {
  unsigned short rows = 24;
  unsigned short cols = 80;
  bool colour = true;  // false sets NO_COLOR
  bool keys = true;    // false: standard input from /dev/null, no key to read
};

// Starts args (the program first) on a pseudo-terminal of its own with
// TERM=xterm; its pid, or -1, and the terminal's master side in *master.
pid_t start_on_terminal(const std::vector<std::string> &args, const terminal_setup &setup,
                        int *master);

// Reads what a program started on the pseudo-terminal master shows until it
// ends, closes master and returns the program's exit status. A program
// still running after 20 s is killed and counts as status 128 + SIGKILL.
int read_terminal(int master, pid_t pid, std::string *screen);
