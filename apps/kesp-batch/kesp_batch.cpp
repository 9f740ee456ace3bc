// kesp-batch: flashes a production line of boards at once through the
// loader service each runs on TCP port 57000, and says which boards passed.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "checks.h"
#include "keys.h"
#include "line.h"
#include "net.h"
#include "options.h"
#include "outputs.h"
#include "plan.h"
#include "records.h"
#include "serial_claims.h"
#include "station.h"
#include "station_report.h"
#include "station_view.h"
#include "stdfds.h"
#include "station_announce.h"
#include "unit_desk.h"
#include "unit_recorder.h"
#include "unit_store.h"
#include "view.h"
#include "wakeup.h"

namespace {

constexpr int EXIT_PASSED = 0;
constexpr int EXIT_FAILED = 1;         // a board failed a step
constexpr int EXIT_USAGE = 2;          // found before anything was sent
constexpr int EXIT_RECORDS = 3;        // every board passed, a report or log was not written
constexpr int EXIT_INTERRUPTED = 130;  // as a shell reports a SIGINT
constexpr int LIVE_TICK_MS = 200;      // redraws of the live view
constexpr int PLAIN_TICK_MS = 1000;    // without one, the loop still wakes this often
constexpr rlim_t SPARE_FDS = 32;       // standard streams, reports, logs, the wake pipe
constexpr rlim_t FDS_PER_BOARD = 1;    // its socket: images are read from their snapshots
// A station unit's data command, while it runs: its two pipes, the
// guard's pidfd, the memory its output is kept in and the runner's two
// eventfds; as its output is taken, the copy and the kept output's
// reopening stand in for the pipes.
constexpr rlim_t FDS_PER_COMMAND = 6;
constexpr rlim_t FDS_PER_UNIT_FILE = 2;  // a {serial} file as it is copied: the file and its copy
constexpr int FLUSH_MS = 10000;        // a station's last records may take this long to be written
constexpr int STOP_MS = 1000;          // then its writer, cut off, this long to stop

int usage_failure(const std::string &why) {
  fprintf(stderr, "kesp-batch: %s\n", why.c_str());
  return EXIT_USAGE;
}

// A board's descriptors while it is at work: its socket, and in a station
// each of its unit's data commands and {serial} files, all made at once.
rlim_t fds_per_board(const plan &p) {
  rlim_t fds = FDS_PER_BOARD;
  if (!p.opt.station) return fds;
  for (const step &s : p.steps) {
    if (!per_unit_image(s)) continue;
    fds += s.command.empty() ? FDS_PER_UNIT_FILE : FDS_PER_COMMAND;
  }
  return fds;
}

// Each board at work holds a socket (and a station's unit its data), and
// each distinct image a snapshot for the whole run; the usual soft limit
// of 1024 would stop a line of 1024 boards half way. A limit that cannot
// hold even one board at work refuses the run, since every board would
// fail the same way. False with *error.
bool make_room_for(const plan &p, settings *opt, std::string *error) {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return true;
  rlim_t per_board = fds_per_board(p);
  rlim_t fixed = SPARE_FDS + count_images(p);
  rlim_t jobs = std::min(opt->jobs, p.boards.size());
  rlim_t needed = fixed + jobs * per_board;
  if (lim.rlim_cur < needed && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = std::min(lim.rlim_max, std::max(needed, lim.rlim_cur));
    setrlimit(RLIMIT_NOFILE, &lim);
    getrlimit(RLIMIT_NOFILE, &lim);
  }
  if (lim.rlim_cur < fixed + per_board) {
    *error = "the limit of open files (" + std::to_string(lim.rlim_cur) +
             ") cannot hold one board at work: it needs " + std::to_string(fixed + per_board) +
             " (ulimit -n)";
    return false;
  }
  // A station's slots are watched all at once: one that could not be is
  // refused rather than left out.
  if (lim.rlim_cur < needed && opt->station) {
    *error = "the limit of open files (" + std::to_string(lim.rlim_cur) + ") cannot hold " +
             std::to_string(jobs) + " slots: it needs " + std::to_string(needed) + " (ulimit -n)";
    return false;
  }
  if (lim.rlim_cur < needed) {
    size_t fit = (lim.rlim_cur - fixed) / per_board;
    fprintf(stderr,
            "kesp-batch: %zu boards at once would pass the limit of %zu open files; %zu at once\n",
            static_cast<size_t>(jobs), static_cast<size_t>(lim.rlim_cur), fit);
    opt->jobs = fit;
  }
  return true;
}

// Every report or log that could not be written, and a lost standard
// output: the exit status carries the verdict, so that is said but changes
// nothing.
void say_write_errors(const std::vector<std::string> &errors, const console &out,
                      const FILE *people) {
  for (const std::string &e : errors) fprintf(stderr, "kesp-batch: %s\n", e.c_str());
  if (out.error() != 0 && people == stdout)
    fprintf(stderr, "kesp-batch: standard output: %s\n", strerror(out.error()));
}

// Exit status of a station: a first signal is its usual end, so only
// units cut short by a second one make it an interrupted run.
int station_status(const station_state &st, const station_report &rec) {
  if (st.stopped) return EXIT_INTERRUPTED;
  if (count_units(st).failed > 0) return EXIT_FAILED;
  if (!rec.errors().empty()) return EXIT_RECORDS;
  return EXIT_PASSED;
}

// Every slot must be reachable: a name that does not resolve is a wrong
// command line, not a unit that failed.
bool check_slots(const plan &p, std::string *error) {
  if (!p.opt.station) return true;
  auto lost = std::ranges::find_if(p.boards, [](const board &b) { return !b.resolved; });
  if (lost == p.boards.end()) return true;
  *error = "slot " + lost->name + " does not resolve: " + lost->resolve_error;
  return false;
}

// The station's name in the unit record: --station-name, or the host's.
std::string station_name(const settings &opt) {
  if (!opt.station_name.empty()) return opt.station_name;
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "station";
  return host;
}

// The unit record, opened before any board is touched: a database that
// cannot be used at all, or a newer schema, is a wrong command line; the
// units an earlier run of this station left unfinished are marked
// abandoned. False with *error.
bool open_record(const plan &p, const std::string &name, std::optional<serial_pool> *pool,
                 std::unique_ptr<station_claim> *claim, std::string *error) {
  serial_pool sp;
  if (!p.opt.serials.empty()) {
    std::string why = parse_serials(p.opt.serials, &sp);
    if (!why.empty()) {
      *error = "invalid --serials " + p.opt.serials + ": " + why;
      return false;
    }
  }
  std::string why;
  std::unique_ptr<unit_store> store = unit_store::open(p.opt.db, &why);
  if (store == nullptr) {
    *error = "--db " + record_name(p.opt.db) + ": " + why;
    return false;
  }
  // Before anything is marked: a live station of this name has units at
  // work, none of them abandoned.
  *claim = station_claim::take(p.opt.db, name, &why);
  if (*claim == nullptr) {
    *error = "--db " + record_name(p.opt.db) + ": " + why;
    return false;
  }
  if (!p.opt.serials.empty()) {
    why = claim_serials(*store, &sp);
    if (!why.empty()) {
      *error = "--serials " + p.opt.serials + ": " + why;
      return false;
    }
    *pool = sp;
  }
  int64_t abandoned = 0;
  why = store->mark_abandoned(name, &abandoned);
  if (!why.empty()) {
    *error = "--db " + record_name(p.opt.db) + ": " + why;
    return false;
  }
  if (abandoned > 0) {
    fprintf(stderr, "kesp-batch: %lld unfinished unit%s of station %s marked abandoned\n",
            static_cast<long long>(abandoned), abandoned == 1 ? "" : "s", name.c_str());
  }
  return true;
}

// The slots whose last unit in the record, under this station's name,
// passed: their boards may still be in after a restart, and are not taken
// again until seen to leave. Nothing (said) when the record cannot tell.
void find_passed_before(const plan &p, const std::string &name, station_state *state) {
  std::string why;
  std::unique_ptr<unit_store> store = unit_store::open(p.opt.db, &why);
  for (size_t s = 0; s < p.boards.size() && store != nullptr && why.empty(); ++s) {
    db_rows last;
    why = store->query("SELECT unit_number, serial, result FROM units WHERE station = ? AND "
                       "slot = ? ORDER BY id DESC LIMIT 1",
                       {name, p.boards[s].name}, &last);
    if (!why.empty() || last.rows.empty() || last.rows[0][2] != "passed") continue;
    state->passed.push_back({.slot = s,
                             .unit = static_cast<uint64_t>(db_int(last.rows[0][0])),
                             .serial = last.rows[0][1].value_or("")});
  }
  if (!why.empty()) {
    fprintf(stderr,
            "kesp-batch: --db %s: the slots' last units could not be read, so a board "
            "passed before this start and still in would be flashed again: %s\n",
            record_name(p.opt.db).c_str(), why.c_str());
  }
}

// The recorder of a station with --db (none without), started. False
// with *error.
bool start_record(const plan &p, const std::string &name, std::unique_ptr<unit_recorder> *out,
                  std::unique_ptr<station_claim> *claim, std::string *error) {
  if (p.opt.db.empty()) return true;
  std::optional<serial_pool> pool;
  if (!open_record(p, name, &pool, claim, error)) return false;
  *out = std::make_unique<unit_recorder>(p.opt.db, name, pool);
  // The station's row is written again this often (ms) when nothing
  // changes; tests shorten it to see a station fall silent sooner.
  const char *beat = getenv("KESP_STATION_BEAT_MS");
  if (beat != nullptr && atoi(beat) > 0) (*out)->set_beat(std::chrono::milliseconds(atoi(beat)));
  std::string why = (*out)->start();
  if (why.empty()) return true;
  *error = "--db " + record_name(p.opt.db) + ": " + why;
  return false;
}

// Waits, bounded, for the unit record's last writes, cut short by a
// signal that comes meanwhile, then stops the writer whatever the
// database does; says what could not be written. Whether all of it was.
bool close_record(const std::string &db, std::unique_ptr<unit_recorder> *owned) {
  unit_recorder *recorder = owned->get();
  int signals = wakeup_signals_seen();
  bool all = false;
  for (int64_t until = monotonic_ms() + FLUSH_MS; !all;) {
    int64_t left = until - monotonic_ms();
    if (left <= 0 || wakeup_signals_seen() != signals) break;
    all = recorder->flush(static_cast<int>(std::min<int64_t>(left, 100)));
  }
  std::vector<std::string> unwritten = recorder->unwritten();
  recorder_health h = recorder->health();
  if (unwritten.empty()) all = true;  // the last one went in just now
  // A writer still inside a statement has its connection cut under it. One
  // that does not stop even then is waiting outside any statement (on a
  // name lookup, say): it is left to the process's exit rather than joined,
  // so that nothing the database does can hold the station's end.
  if (!recorder->stop(STOP_MS)) {
    // Held, so that a leak check does not take it for lost.
    [[maybe_unused]] static const unit_recorder *left_running = owned->release();
  }
  if (!all) {
    // The last failure, rather than a good reconnection since.
    if (!h.write_error.empty()) h.error = h.write_error;
    std::string names;
    for (const std::string &u : unwritten) names += (names.empty() ? "" : ", ") + u;
    fprintf(stderr, "kesp-batch: --db %s: %zu record%s of units could not be written (%s)%s%s\n",
            record_name(db).c_str(), unwritten.size(), unwritten.size() == 1 ? "" : "s",
            names.c_str(), h.error.empty() ? "" : ": ", h.error.c_str());
    return false;
  }
  if (!h.refused.empty()) {
    fprintf(stderr, "kesp-batch: --db %s: %s\n", record_name(db).c_str(), h.refused.c_str());
    return false;
  }
  return true;
}

// What holds a station back, each said once when it comes up.
struct station_notes {
  std::string closed;             // why no new unit starts at all
  std::vector<std::string> held;  // per slot: why its board is not taken
};

void say_notes(const plan &p, unit_desk *desk, station_state *state, console *out,
               station_notes *notes) {
  // Without a terminal's slot lines, a board left untouched is said once.
  for (size_t s = 0; s < notes->held.size() && !out->smart(); ++s) {
    const std::string &why = state->slots[s].held;
    if (why != notes->held[s] && !why.empty()) {
      const board &b = p.boards[s];
      out->print((b.label.empty() ? "" : b.label + " ") + b.name + ": board not taken: " + why);
    }
    notes->held[s] = why;
  }
  if (desk == nullptr) return;
  std::string warning = desk->take_warning();
  if (!warning.empty()) {
    state->warning = warning;
    fprintf(stderr, "kesp-batch: %s\n", warning.c_str());
  }
  if (notes->closed.empty() && !desk->closed().empty()) {
    notes->closed = desk->closed();
    state->warning = notes->closed;
    fprintf(stderr, "kesp-batch: %s\n", notes->closed.c_str());
  }
}

// Runs the station and reports it; returns the exit status.
int run_station_mode(const plan &p, console *out, FILE *people) {
  station_state state;
  station_report rec(p, state);
  std::string error;
  if (!rec.open(&error)) return usage_failure(error);
  std::string name = station_name(p.opt);
  // Held until the process ends: the recorder's last writes are this
  // station's too.
  std::unique_ptr<station_claim> claim;
  std::unique_ptr<unit_recorder> recorder;
  if (!start_record(p, name, &recorder, &claim, &error)) return usage_failure(error);
  bool per_unit = std::ranges::any_of(p.steps, [](const step &s) { return per_unit_image(s); });
  std::unique_ptr<unit_desk> desk;
  if (recorder != nullptr || per_unit) desk = std::make_unique<unit_desk>(p, name, recorder.get());
  if (desk != nullptr) {
    rec.set_step_hook([&](size_t slot, size_t step, const step_outcome &o) {
      desk->step_ended(slot, step, o);
    });
    rec.set_kept([&](size_t slot, size_t step) { return desk->kept(slot, step); });
  }
  if (recorder != nullptr) find_passed_before(p, name, &state);
  int64_t started_ms = wall_clock_ms();
  rec.begin(started_ms);
  const char *no_colour = getenv("NO_COLOR");
  // Keys only where the view that names them is shown.
  key_reader keys;
  bool keyed = out->smart() && !p.opt.quiet && keys.take(STDIN_FILENO);
  station_view v(p, state, out, p.opt.quiet, no_colour == nullptr || *no_colour == '\0', keyed);
  station_observer observer;
  // The plant's dashboard reads the station's row: told after every change.
  auto announce = [&] {
    if (recorder != nullptr) recorder->announce(station_row_of(p, state, monotonic_ms(), started_ms));
  };
  observer.unit_started = [&](size_t slot) {
    v.unit_started(slot);
    announce();
  };
  observer.step_ended = [&](size_t slot, size_t step) {
    rec.step_ended(slot, step);
    v.step_ended(slot, step);
  };
  observer.stopping = [&] { v.stopping(); };
  observer.unit_ended = [&](size_t slot) {
    if (desk != nullptr) desk->unit_ended(state.units.back());
    rec.unit_ended(slot);
    v.unit_ended(slot);
    announce();
  };
  station_notes notes;
  notes.held.resize(p.boards.size());
  observer.tick = [&] {
    if (keys.pressed().find(RELEASE_KEY) != std::string::npos) ask_release();
    say_notes(p, desk.get(), &state, out, &notes);
    v.tick(monotonic_ms());
    announce();
  };
  observer.tick_ms = out->smart() ? LIVE_TICK_MS : PLAIN_TICK_MS;
  int64_t began = monotonic_ms();
  run_station(p, &state, observer, desk.get());
  observer.tick();
  double seconds = static_cast<double>(monotonic_ms() - began) / 1000.0;
  v.summary(seconds);
  rec.finish(started_ms, seconds);
  say_write_errors(rec.errors(), *out, people);
  bool recorded = recorder == nullptr || close_record(p.opt.db, &recorder);
  int status = station_status(state, rec);
  // Serials that clash stop a station as a wrong command line would have.
  if (desk != nullptr && desk->serials_clash() && !state.stopped) status = EXIT_USAGE;
  return status == EXIT_PASSED && !recorded ? EXIT_RECORDS : status;
}

// Runs the boards once each and reports them; returns the exit status.
int run_line_mode(const plan &p, line_state *state, records *rec, console *out, FILE *people) {
  view v(p, *state, out, p.opt.quiet);
  line_observer observer;
  observer.step_ended = [&](size_t board, size_t step) {
    rec->step_ended(board, step);
    v.step_ended(board, step);
  };
  observer.board_ended = [&](size_t board) {
    rec->board_ended(board);
    v.board_ended(board);
  };
  observer.tick = [&] { v.tick(monotonic_ms()); };
  observer.tick_ms = out->smart() ? LIVE_TICK_MS : PLAIN_TICK_MS;

  int64_t started_ms = wall_clock_ms();
  int64_t began = monotonic_ms();
  run_line(p, state, observer);
  double seconds = static_cast<double>(monotonic_ms() - began) / 1000.0;
  v.summary(seconds);
  rec->finish(started_ms, seconds);

  say_write_errors(rec->errors(), *out, people);

  tally t = count_boards(state->outcomes);
  if (state->interrupts > 0) return EXIT_INTERRUPTED;
  if (t.failed > 0 || t.not_run > 0) return EXIT_FAILED;
  if (!rec->errors().empty()) return EXIT_RECORDS;
  return EXIT_PASSED;
}

}  // namespace

int main(int argc, char *argv[]) {
  // Before anything is opened: a socket on a closed standard number would
  // get our own text on the wire.
  if (!open_std_fds()) return EXIT_USAGE;
  // A reader of our output that goes away must not end the line half way,
  // nor a file-size limit: both are write errors, said at the end.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  // A parent that ignores SIGCHLD (some service managers and shells do)
  // would have the kernel reap our data commands before we read how they
  // ended.
  signal(SIGCHLD, SIG_DFL);

  plan p;
  std::string error;
  switch (parse_command_line(argc, argv, &p, &error)) {
    case parse_end::run:
      break;
    case parse_end::done:
      return fflush(stdout) == 0 ? EXIT_PASSED : EXIT_USAGE;
    case parse_end::usage:
      return usage_failure(error);
  }
  // Before the checks, which hold every image's snapshot open.
  if (!make_room_for(p, &p.opt, &error)) return usage_failure(error);
  if (!check_plan(&p, &error)) return usage_failure(error);
  if (!check_outputs(p, &error)) return usage_failure(error);
  if (!resolve_boards(&p, &error)) return usage_failure(error);
  if (!check_slots(p, &error)) return usage_failure(error);
  // With the report on standard output, the lines for people go to
  // standard error, so that a reader of the one never gets the other.
  FILE *people = p.opt.report == "-" ? stderr : stdout;
  if (p.opt.dry_run) {
    fputs(describe_plan(p).c_str(), people);
    return fflush(people) == 0 ? EXIT_PASSED : EXIT_USAGE;
  }
  if (!install_wakeup_signals()) return usage_failure(std::string("signals: ") + strerror(errno));

  const char *term = getenv("TERM");
  console out(isatty(fileno(people)) != 0 && (term == nullptr || strcmp(term, "dumb") != 0),
              people);
  if (p.opt.station) return run_station_mode(p, &out, people);
  line_state state;
  records rec(p, state);
  if (!rec.open(&error)) return usage_failure(error);
  return run_line_mode(p, &state, &rec, &out, people);
}
