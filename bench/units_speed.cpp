// The unit record's speed: a unit's row and serial, committed durably, on
// SQLite (milliseconds per unit), and stations allocating at once from one
// PostgreSQL database (allocations per second in all, every serial unique).
// usage: units_speed sqlite FILE UNITS
//        units_speed station FILE UNITS
//        units_speed postgres URL STATIONS UNITS
// "station" times kesp-batch's own path: the recorder's thread writes the
// row and the answer comes back through its descriptor, as the station's
// poll loop sees it.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <poll.h>

#include "unit_recorder.h"
#include "unit_store.h"

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t) {
  return std::chrono::duration<double, std::milli>(clock_type::now() - t).count();
}

int die(const std::string &why) {
  fprintf(stderr, "units_speed: %s\n", why.c_str());
  return 1;
}

// One station's run: units begun and ended, as fast as the store allows.
// Each unit's begin is timed, the end is not (it is queued in a station).
std::string station(const std::string &db, const std::string &name, int units,
                    std::vector<double> *times) {
  std::string why;
  auto store = unit_store::open(db, &why);
  if (store == nullptr) return why;
  serial_pool pool;
  why = parse_serials("BX{:08}", &pool);
  if (!why.empty()) return why;
  for (int i = 1; i <= units; ++i) {
    begun_unit b;
    auto t = clock_type::now();
    why = store->begin_unit({.station = name, .slot = "s1", .unit_number = i}, &pool, &b);
    if (!why.empty()) return why;
    if (times != nullptr) times->push_back(ms_since(t));
    why = store->end_unit(b.id, unit_result::passed, "", "");
    if (!why.empty()) return why;
  }
  return "";
}

// A station's path: begin_unit asked of the recorder, its answer awaited
// on the recorder's descriptor, the unit's end queued.
std::string through_recorder(const std::string &db, int units, std::vector<double> *times) {
  serial_pool pool;
  std::string why = parse_serials("SX{:08}", &pool);
  if (!why.empty()) return why;
  unit_recorder rec(db, "bench-station", pool);
  why = rec.start();
  if (!why.empty()) return why;
  for (int i = 1; i <= units; ++i) {
    auto t = clock_type::now();
    uint64_t ticket = rec.begin_unit("s1", i);
    std::vector<begin_answer> got;
    while (got.empty()) {
      pollfd p{rec.fd(), POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) return "no answer in 10 s";
      got = rec.answers();
    }
    if (got[0].ticket != ticket || !got[0].error.empty()) return got[0].error;
    times->push_back(ms_since(t));
    rec.end_unit(got[0].unit.id, unit_result::passed, "", "");
  }
  return rec.flush(10000) ? "" : "records left unwritten";
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "sqlite") {
    std::vector<double> times;
    std::string why = station(args[1], "bench", std::atoi(args[2].c_str()), &times);
    if (!why.empty()) return die(why);
    std::sort(times.begin(), times.end());
    printf(
        "sqlite: %zu units, begin_unit median %.2f ms, 90th percentile %.2f ms, slowest %.2f ms\n",
        times.size(), times[times.size() / 2], times[times.size() * 9 / 10], times.back());
    return 0;
  }
  if (args.size() == 3 && args[0] == "station") {
    std::vector<double> times;
    std::string why = through_recorder(args[1], std::atoi(args[2].c_str()), &times);
    if (!why.empty()) return die(why);
    std::sort(times.begin(), times.end());
    printf("station path (sqlite): %zu units, row and serial durable: median %.2f ms, 90th "
           "percentile %.2f ms, slowest %.2f ms\n",
           times.size(), times[times.size() / 2], times[times.size() * 9 / 10], times.back());
    return 0;
  }
  if (args.size() == 4 && args[0] == "postgres") {
    int stations = std::atoi(args[2].c_str());
    int units = std::atoi(args[3].c_str());
    std::string why;
    {
      auto setup = unit_store::open(args[1], &why);
      if (setup == nullptr) return die(why);
    }
    int go[2];
    if (pipe(go) != 0) return die("pipe");
    std::vector<pid_t> pids;
    for (int k = 0; k < stations; ++k) {
      pid_t pid = fork();
      if (pid == 0) {
        close(go[1]);
        char c;
        if (read(go[0], &c, 1) != 0) _exit(3);
        why = station(args[1], "station" + std::to_string(k), units, nullptr);
        if (!why.empty()) fprintf(stderr, "station%d: %s\n", k, why.c_str());
        _exit(why.empty() ? 0 : 1);
      }
      pids.push_back(pid);
    }
    close(go[0]);
    auto t = clock_type::now();
    close(go[1]);  // all start at once
    bool ok = true;
    for (pid_t pid : pids) {
      int status = 0;
      waitpid(pid, &status, 0);
      ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    double seconds = ms_since(t) / 1000;
    if (!ok) return die("a station failed");
    auto store = unit_store::open(args[1], &why);
    if (store == nullptr) return die(why);
    db_rows rows;
    why = store->query("SELECT COUNT(*), COUNT(DISTINCT serial) FROM units", {}, &rows);
    if (!why.empty()) return die(why);
    printf(
        "postgres: %d stations x %d units in %.2f s: %.0f allocations/s in all;"
        " %s units, %s distinct serials\n",
        stations, units, seconds, stations * units / seconds, rows.rows[0][0]->c_str(),
        rows.rows[0][1]->c_str());
    return *rows.rows[0][0] == *rows.rows[0][1] ? 0 : 1;
  }
  return die(
      "usage: units_speed sqlite FILE UNITS | units_speed station FILE UNITS | units_speed "
      "postgres URL STATIONS UNITS");
}
