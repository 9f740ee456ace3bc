// Per-unit data: a command run once for each unit writes, on its standard
// output, the image that unit alone gets (its serial number, addresses,
// keys). The command runs on a thread of its own and signals a descriptor
// when it is done, so that the station's poll loop never waits for it.
//
// File names with {serial} (data prepared ahead) are plan.h's unit_file,
// the same substitution as {board}'s.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "snapshot.h"
#include "wire.h"

struct unit_data_env {
  std::string serial;
  std::string unit;  // the station-wide unit number
  std::string slot;
  std::string station;
  std::string folder = ".";  // where it runs: its recipe's folder, as the recipe's images
};

struct unit_data_limits {
  int timeout_ms = 30000;
  uint64_t max_bytes = LENGTH_LIMIT - 1;  // an image is under LENGTH_LIMIT
  size_t stderr_bytes = 4096;             // the end of its standard error kept as the reason
};

class unit_data_run {
 public:
  unit_data_run() = default;
  ~unit_data_run();  // kills a command still running and waits for it
  unit_data_run(const unit_data_run &) = delete;
  unit_data_run &operator=(const unit_data_run &) = delete;
  unit_data_run(unit_data_run &&) = delete;
  unit_data_run &operator=(unit_data_run &&) = delete;

  // Runs command through /bin/sh -c in env.folder, with KESP_SERIAL,
  // KESP_UNIT, KESP_SLOT and KESP_STATION set and only PATH, HOME, LANG,
  // LC_*, TZ and KESP_* passed on of the station's environment, standard
  // input from /dev/null and no other descriptor but its two outputs, in
  // a process group of its own that dies with the station. "" when it
  // started, else why not.
  std::string start(const std::string &command, const unit_data_env &env,
                    const unit_data_limits &limits = {});
  // Readable once the command has ended and its output is taken.
  [[nodiscard]] int fd() const { return done_; }
  [[nodiscard]] bool finished() const;
  // After fd() is readable: "" and the image in image(), or why the unit
  // fails, with the command's own error text.
  [[nodiscard]] const std::string &failure() const { return failure_; }
  snapshot &image() { return image_; }

 private:
  void run(const std::string &command, const unit_data_env &env, const unit_data_limits &limits);

  int done_ = -1;
  int cancel_ = -1;  // written by the destructor to cut a run short
  std::thread worker_;
  std::string failure_;
  snapshot image_;
};
