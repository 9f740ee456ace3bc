// The station's side of the unit record: a worker thread owns the database
// connection, so that a slow or unreachable database never holds up the
// poll loop. Writes are queued in order and kept until they are written;
// new units are answered through a descriptor the loop polls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "unit_store.h"

struct begin_answer {
  uint64_t ticket = 0;  // begin_unit's return value
  std::string error;    // "" when the unit may start
  begun_unit unit;
};

struct recorder_health {
  bool connected = false;
  std::string error;  // why not connected, or the last record that could not be written
  // Kept after reconnecting, which clears error: why the last record not
  // written failed, and the last record the database refused, in whole or
  // in part ("a record could not be written...").
  std::string write_error;
  std::string refused;
  size_t queued = 0;      // records waiting to be written
  int64_t abandoned = 0;  // units of an earlier run marked abandoned at the first connection
  bool serials_low = false;
  int64_t serials_left = -1;  // -1 before the first serial
};

class unit_recorder {
 public:
  // pool may be empty: units then get no serial number.
  unit_recorder(std::string db, std::string station, std::optional<serial_pool> pool);
  ~unit_recorder();  // stop(), then waits for the worker; what was not written by then is lost
  unit_recorder(const unit_recorder &) = delete;
  unit_recorder &operator=(const unit_recorder &) = delete;
  unit_recorder(unit_recorder &&) = delete;
  unit_recorder &operator=(unit_recorder &&) = delete;

  // Starts the worker. "" or why not.
  std::string start();
  // Readable when answers to begin_unit are waiting; take them with answers().
  [[nodiscard]] int fd() const { return event_; }
  std::vector<begin_answer> answers();

  // Asks for a new unit's row and serial. The unit may start once its
  // answer carries no error; while the database is unreachable the answer
  // comes at once: "database unreachable: ...".
  uint64_t begin_unit(const std::string &slot, int64_t unit_number);
  void record_step(const step_record &s);
  // ended: when the unit ended (unit_time_now() then), not when its end
  // is written, which may be much later.
  void end_unit(int64_t unit_id, unit_result result, const std::string &failure,
                const std::string &reason, const std::string &ended = unit_time_now(),
                const std::string &failure_class = "");

  // The station's row as it is now, taken at once and never waited on: the
  // worker writes it when it differs from the last one written, and again
  // every beat, so that a row not written for a while tells of a station
  // that is gone.
  void announce(station_row row);
  // Before start(): how often an unchanged row is written again.
  void set_beat(std::chrono::milliseconds beat) { beat_ = beat; }

  [[nodiscard]] recorder_health health() const;
  // Waits up to timeout_ms for every queued record to be written; whether
  // they all were.
  bool flush(int timeout_ms);
  // The records not written yet, one phrase each ("the end of unit KX0001
  // (failed)", "step 2 of unit id 7").
  [[nodiscard]] std::vector<std::string> unwritten() const;
  // Stops the worker, cutting off a statement it is running, and waits up
  // to timeout_ms for it to end. Whether it did; one that did not is stuck
  // outside any statement (resolving the database's host, say), and the
  // destructor would wait for it.
  bool stop(int timeout_ms);

 private:
  struct job {
    enum class kind { begin, step, end } what = kind::begin;
    uint64_t ticket = 0;
    unit_start start;
    step_record step;
    int64_t unit_id = 0;
    unit_result result = unit_result::unfinished;
    std::string failure, reason, ended, failure_class;
  };
  void run();
  void reconnect(std::unique_lock<std::mutex> &lock);
  void lost_connection(std::unique_lock<std::mutex> &lock);
  std::string perform(const job &j, begin_answer *a, std::string *partly);
  void done(std::unique_lock<std::mutex> &lock, const job &j, const std::string &fail, bool lost,
            const std::string &partly, begin_answer a);
  void settled(std::unique_lock<std::mutex> &lock, const job &j, const std::string &fail,
               const std::string &partly);
  std::string describe(const job &j) const;  // with the lock held
  void push(job j);
  void answer(begin_answer a);
  bool connect();  // with the lock released
  void write_row(std::unique_lock<std::mutex> &lock);
  void refuse_begins(std::unique_lock<std::mutex> &lock, const std::string &why);

  const std::string db_;
  const std::string station_;
  const std::optional<serial_pool> pool_;
  std::unique_ptr<unit_store> store_;  // the worker's alone
  bool marked_ = false;                // the worker's alone
  int event_ = -1;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable written_;
  std::deque<job> queue_;
  std::vector<begin_answer> answers_;
  recorder_health health_;
  uint64_t tickets_ = 0;
  bool stop_ = false;
  bool busy_ = false;                     // the worker is running a statement
  bool finished_ = false;                 // the worker has returned
  std::map<int64_t, std::string> units_;  // unit id -> its serial, for units not yet ended
  std::chrono::steady_clock::time_point next_try_;  // the worker's alone
  std::chrono::milliseconds backoff_{100};          // the worker's alone
  std::chrono::milliseconds beat_{10000};
  std::optional<station_row> row_;  // the latest announced
  bool row_changed_ = false;        // since it was last written
  std::chrono::steady_clock::time_point next_beat_;
  std::thread worker_;
};
