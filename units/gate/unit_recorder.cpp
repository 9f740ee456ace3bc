#include "unit_recorder.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <utility>

namespace {

using clock_type = std::chrono::steady_clock;
// Reconnecting: soon after a blip, then no more often than this.
constexpr std::chrono::milliseconds FIRST_BACKOFF{100};
constexpr std::chrono::milliseconds LAST_BACKOFF{2000};

}  // namespace

unit_recorder::unit_recorder(std::string db, std::string station, std::optional<serial_pool> pool)
    : db_(std::move(db)), station_(std::move(station)), pool_(std::move(pool)) {}

unit_recorder::~unit_recorder() {
  stop(0);
  if (worker_.joinable()) worker_.join();
  if (event_ >= 0) close(event_);
}

bool unit_recorder::stop(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  stop_ = true;
  // Only a statement at work is cut off: an idle connection is closed
  // politely by the store's destructor.
  if (busy_ && store_ != nullptr) store_->interrupt();
  wake_.notify_all();
  bool ended = written_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [this] { return finished_ || !worker_.joinable(); });
  lock.unlock();
  if (ended && worker_.joinable()) worker_.join();
  return ended;
}

std::string unit_recorder::start() {
  event_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (event_ < 0) return std::string("eventfd: ") + strerror(errno);
  // Refused like any other unusable --db, not an abort.
  try {
    worker_ = std::thread([this] { run(); });
  } catch (const std::system_error &e) {
    return std::string("no thread to write the record: ") + e.what();
  }
  return "";
}

std::vector<begin_answer> unit_recorder::answers() {
  uint64_t count = 0;
  while (read(event_, &count, sizeof count) < 0 && errno == EINTR) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(answers_, {});
}

void unit_recorder::push(job j) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (j.what != job::kind::begin) ++health_.queued;
    queue_.push_back(std::move(j));
  }
  wake_.notify_all();
}

uint64_t unit_recorder::begin_unit(const std::string &slot, int64_t unit_number) {
  job j;
  j.what = job::kind::begin;
  j.start = unit_start{.station = station_, .slot = slot, .unit_number = unit_number};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    j.ticket = ++tickets_;
  }
  uint64_t ticket = j.ticket;
  push(std::move(j));
  return ticket;
}

void unit_recorder::record_step(const step_record &s) {
  job j;
  j.what = job::kind::step;
  j.step = s;
  push(std::move(j));
}

void unit_recorder::end_unit(int64_t unit_id, unit_result result, const std::string &failure,
                             const std::string &reason, const std::string &ended,
                             const std::string &failure_class) {
  job j;
  j.what = job::kind::end;
  j.unit_id = unit_id;
  j.result = result;
  j.failure = failure;
  j.reason = reason;
  j.ended = ended;
  j.failure_class = failure_class;
  push(std::move(j));
}

void unit_recorder::announce(station_row row) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (row_ && row_->slots == row.slots && row_->host == row.host && row_->pid == row.pid &&
        row_->started == row.started && row_->recipe == row.recipe && row_->images == row.images) {
      return;
    }
    row_ = std::move(row);
    row_changed_ = true;
  }
  wake_.notify_all();
}

// A row that cannot be written is not tried again before the next beat:
// the units' own records come first, and the row is only news.
void unit_recorder::write_row(std::unique_lock<std::mutex> &lock) {
  station_row row = *row_;
  row.name = station_;
  row_changed_ = false;
  next_beat_ = clock_type::now() + beat_;
  busy_ = true;
  lock.unlock();
  std::string fail = store_->announce_station(row);
  bool lost = !fail.empty() && store_->lost();
  lock.lock();
  busy_ = false;
  if (lost) {
    store_.reset();
    health_.error = "database unreachable: " + fail;
    lost_connection(lock);
  }
}

recorder_health unit_recorder::health() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return health_;
}

bool unit_recorder::flush(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return written_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [this] { return health_.queued == 0; });
}

std::string unit_recorder::describe(const job &j) const {
  int64_t id = j.what == job::kind::step ? j.step.unit_id : j.unit_id;
  auto known = units_.find(id);
  std::string unit = known != units_.end() && !known->second.empty()
                         ? "unit " + known->second
                         : "unit id " + std::to_string(id);
  if (j.what == job::kind::step) return "step " + std::to_string(j.step.step) + " of " + unit;
  return "the end of " + unit + " (" + unit_result_name(j.result) + ")";
}

std::vector<std::string> unit_recorder::unwritten() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> all;
  for (const job &j : queue_) {
    if (j.what != job::kind::begin) all.push_back(describe(j));
  }
  return all;
}

// Called with the lock held.
void unit_recorder::answer(begin_answer a) {
  if (a.error.empty() && pool_) {
    health_.serials_low = a.unit.serials_low;
    health_.serials_left = a.unit.serials_left;
  }
  answers_.push_back(std::move(a));
  uint64_t one = 1;
  while (write(event_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

// No unit starts without its row: while there is no connection, every
// waiting request for one is answered at once with the reason.
void unit_recorder::refuse_begins(std::unique_lock<std::mutex> & /*held*/, const std::string &why) {
  for (auto it = queue_.begin(); it != queue_.end();) {
    if (it->what != job::kind::begin) {
      ++it;
      continue;
    }
    begin_answer a;
    a.ticket = it->ticket;
    a.error = why;
    answer(std::move(a));
    it = queue_.erase(it);
  }
}

bool unit_recorder::connect() {
  std::string why;
  std::unique_ptr<unit_store> s = unit_store::open(db_, &why);
  int64_t abandoned = 0;
  // Only at the first connection: later ones find this run's own units
  // at work, which are not abandoned.
  if (s != nullptr && !marked_) {
    why = s->mark_abandoned(station_, &abandoned);
    if (why.empty()) {
      marked_ = true;
    } else {
      s.reset();
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (s == nullptr) {
    health_.connected = false;
    health_.error = "database unreachable: " + why;
    return false;
  }
  store_ = std::move(s);
  health_.connected = true;
  health_.error.clear();
  health_.abandoned += abandoned;
  return true;
}

// Without a connection: refuses new units until the back-off has passed,
// then tries to connect once.
void unit_recorder::reconnect(std::unique_lock<std::mutex> &lock) {
  if (clock_type::now() < next_try_) {
    refuse_begins(lock, health_.error);
    wake_.wait_until(lock, next_try_, [this] {
      return stop_ || std::any_of(queue_.begin(), queue_.end(),
                                  [](const job &j) { return j.what == job::kind::begin; });
    });
    return;
  }
  lock.unlock();
  bool up = connect();
  lock.lock();
  if (up) {
    backoff_ = FIRST_BACKOFF;
  } else {
    lost_connection(lock);
    refuse_begins(lock, health_.error);
  }
}

void unit_recorder::lost_connection(std::unique_lock<std::mutex> & /*held*/) {
  health_.connected = false;
  next_try_ = clock_type::now() + backoff_;
  backoff_ = std::min(backoff_ * 2, LAST_BACKOFF);
}

// A record the database refuses for what it holds (not for a lost
// connection) is written again with less: a step without its texts, an
// end without its reason, then without its failure kind, so that a failed
// unit is never left unfinished, to be taken for abandoned later. *partly
// says why, when the record went in with less.
std::string unit_recorder::perform(const job &j, begin_answer *a, std::string *partly) {
  switch (j.what) {
    case job::kind::begin:
      a->ticket = j.ticket;
      return store_->begin_unit(j.start, pool_ ? &*pool_ : nullptr, &a->unit);
    case job::kind::step: {
      std::string fail = store_->record_step(j.step);
      if (fail.empty() || store_->lost()) return fail;
      step_record bare;
      bare.unit_id = j.step.unit_id;
      bare.step = j.step.step;
      bare.steps = j.step.steps;
      bare.result = j.step.result;
      bare.failure = j.step.failure;
      bare.failure_class = j.step.failure_class;
      bare.size = j.step.size;
      bare.error = j.step.error;
      bare.sent = j.step.sent;
      bare.attempts = j.step.attempts;
      bare.seconds = j.step.seconds;
      std::string again = store_->record_step(bare);
      if (!again.empty()) return again;
      *partly = "without its texts: " + fail;
      return "";
    }
    case job::kind::end: {
      std::string fail =
          store_->end_unit(j.unit_id, j.result, j.failure, j.reason, j.ended, j.failure_class);
      if (fail.empty() || store_->lost()) return fail;
      std::string again =
          store_->end_unit(j.unit_id, j.result, j.failure, "", j.ended, j.failure_class);
      if (again.empty()) {
        *partly = "without its reason: " + fail;
        return "";
      }
      if (store_->lost()) return again;
      again = store_->end_unit(j.unit_id, j.result, "", "", j.ended, j.failure_class);
      if (!again.empty()) return again;
      *partly = "without its failure and reason: " + fail;
      return "";
    }
  }
  return "";
}

void unit_recorder::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stop_) break;
    bool row_due = row_ && (row_changed_ || clock_type::now() >= next_beat_);
    if (queue_.empty() && !row_due) {
      auto woken = [this] { return stop_ || !queue_.empty() || row_changed_; };
      if (row_) {
        wake_.wait_until(lock, next_beat_, woken);
      } else {
        wake_.wait(lock, woken);
      }
      continue;
    }
    if (store_ == nullptr) {
      reconnect(lock);
      continue;
    }
    if (row_due) {
      write_row(lock);
      continue;
    }
    job j = queue_.front();
    busy_ = true;
    lock.unlock();
    begin_answer a;
    std::string partly;
    std::string fail = perform(j, &a, &partly);
    bool lost = !fail.empty() && store_->lost();
    lock.lock();
    busy_ = false;
    done(lock, j, fail, lost, partly, std::move(a));
  }
  finished_ = true;
  written_.notify_all();
}

// The queue's first job has been tried: it is answered, or settled, or
// kept for the next connection.
void unit_recorder::done(std::unique_lock<std::mutex> &lock, const job &j, const std::string &fail,
                         bool lost, const std::string &partly, begin_answer a) {
  if (lost) {
    // Under the lock: stop() may be cutting this store's statement off.
    store_.reset();
    // The record stays first in the queue; the next connection writes it
    // again, which is harmless if it was written after all. A unit whose
    // row's commit went unanswered is refused, and its number is left
    // recorded as unfinished, to be marked abandoned.
    health_.error = "database unreachable: " + fail;
    if (j.what != job::kind::begin) health_.write_error = health_.error;
    lost_connection(lock);
    if (j.what != job::kind::begin) return;
  }
  queue_.pop_front();
  if (j.what == job::kind::begin) {
    a.error = lost ? health_.error : fail;
    if (a.error.empty()) units_[a.unit.id] = a.unit.serial;
    answer(std::move(a));
    return;
  }
  settled(lock, j, fail, partly);
}

// A step or an end is done with, written in whole, in part or not at all.
void unit_recorder::settled(std::unique_lock<std::mutex> & /*held*/, const job &j,
                            const std::string &fail, const std::string &partly) {
  if (!fail.empty()) {
    health_.refused = "a record could not be written: " + describe(j) + ": " + fail;
  } else if (!partly.empty()) {
    health_.refused =
        "a record could not be written whole: " + describe(j) + " is stored " + partly;
  }
  if (!fail.empty() || !partly.empty()) health_.error = health_.refused;
  if (j.what == job::kind::end) units_.erase(j.unit_id);
  --health_.queued;
  written_.notify_all();
}
