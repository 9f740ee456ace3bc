#include "dashboard.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <pthread.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "assets.h"
#include "pages.h"
#include "unit_csv.h"

namespace {

// Nothing but the pages' own script and style: a value that slipped
// through as markup still could not run.
constexpr const char *CSP =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'";

// Units per part of an export: each part one query, written as it comes.
constexpr int64_t EXPORT_PART = 2000;

bool split_listen(const std::string &listen, std::string *host, int *port) {
  size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == listen.size()) return false;
  *host = listen.substr(0, colon);
  if (host->size() > 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  int p = 0;
  for (size_t i = colon + 1; i < listen.size(); ++i) {
    if (listen[i] < '0' || listen[i] > '9' || p > 65535) return false;
    p = p * 10 + (listen[i] - '0');
  }
  *port = p;
  return p <= 65535;
}

// The plant's state, which every open plant page fetches each second: made
// at most this often for all of them, so that the record is asked the same
// whether one page watches or fifty. A passed unit still shows within the
// second's fetch and this.
constexpr auto PLANT_FRESH = std::chrono::milliseconds(250);

struct plant_answer {
  std::mutex mutex;
  std::chrono::steady_clock::time_point made;
  web_reply reply;
  bool kept = false;  // only an answer that read the record is kept
};

void reply(httplib::Response &res, const web_reply &r) {
  res.status = r.status;
  res.set_content(r.body, r.type);
}

web_params params_of(const httplib::Request &req) {
  web_params q;
  for (const auto &[k, v] : req.params) q.emplace(k, v);
  return q;
}

// The CSV of kesp-units export, written a part at a time.
struct export_state {
  std::string what, since, until;
  int64_t after = 0;
  bool header = false;
  bool done = false;
};

bool export_part(const web_context &c, export_state *e, httplib::DataSink &sink) {
  std::vector<db_value> params;
  std::string sql = export_sql(e->what, e->since, e->until, e->after, EXPORT_PART, &params);
  std::string why;
  std::unique_ptr<unit_store> s = c.pool->take(&why);
  db_rows rows;
  if (s != nullptr) why = s->query(sql, params, &rows);
  c.pool->give(std::move(s));
  // Past the header, the only way left to say so is to end the download short.
  if (!why.empty()) return false;
  std::string out;
  if (!e->header) {
    out += csv_record(std::vector<db_value>(rows.columns.begin(), rows.columns.end()));
    e->header = true;
  }
  size_t id = e->what == "units" ? 0 : 1;  // steps: serial, then unit_id
  for (size_t i = 0; i < rows.columns.size(); ++i) {
    if (rows.columns[i] == (e->what == "units" ? "id" : "unit_id")) id = i;
  }
  int64_t before = e->after;
  for (const db_row &r : rows.rows) {
    out += csv_record(r);
    e->after = std::max(e->after, db_int(r[id]));
  }
  // A part with no unit after the last one ends the export; a part's
  // units without steps move it on all the same.
  if (e->what == "steps" && !rows.rows.empty()) {
    std::vector<db_value> p2;
    std::string last = export_sql("units", e->since, e->until, before, EXPORT_PART, &p2);
    db_rows ids;
    std::unique_ptr<unit_store> s2 = c.pool->take(&why);
    if (s2 == nullptr) return false;
    why = s2->query("SELECT MAX(id) FROM (" + last + ") t", p2, &ids);
    c.pool->give(std::move(s2));
    if (!why.empty()) return false;
    if (!ids.rows.empty()) e->after = std::max(e->after, db_int(ids.rows[0][0]));
  }
  if (rows.rows.empty()) e->done = true;
  if (!out.empty() && !sink.write(out.data(), out.size())) return false;
  if (e->done) sink.done();
  return true;
}

}  // namespace

bool loopback_listen(const std::string &listen) {
  std::string host;
  int port = 0;
  if (!split_listen(listen, &host, &port)) return false;
  in_addr a4{};
  if (inet_pton(AF_INET, host.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
  return host == "::1" || host == "localhost";
}

int serve_dashboard(const dashboard_options &o) {
  std::string host;
  int port = 0;
  if (!split_listen(o.listen, &host, &port)) {
    fprintf(stderr, "kesp-units: --listen is ADDR:PORT (such as %s), not %s\n", DASHBOARD_LISTEN,
            o.listen.c_str());
    return 2;
  }
  store_pool pool(o.db);
  std::string why = pool.open();
  if (!why.empty()) {
    fprintf(stderr, "kesp-units: %s\n", why.c_str());
    return 1;
  }
  metrics_cache cache;
  yield_cache yields;
  shift_cache shift;
  web_context c{&pool, o.silent_after_ms, &cache, &yields, &shift};
  httplib::Server server;
  server.set_default_headers({{"Content-Security-Policy", CSP},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"},
                              {"Cache-Control", "no-store"}});
  server.set_payload_max_length(1 << 16);
  // One request per connection. The server gives each open connection a
  // thread of its pool until it closes, so pages that kept theirs open
  // between their fetches every second would hold every thread once there
  // are more of them than threads, and the next page would wait for one.
  // A new connection costs the server about as much as the fetch itself.
  server.set_keep_alive_max_count(1);
  server.Get("/", [&](const httplib::Request &, httplib::Response &res) {
    reply(res, plant_page(c));
  });
  plant_answer plant;
  server.Get("/api/plant", [&](const httplib::Request &, httplib::Response &res) {
    // Held while the answer is made: the pages that ask meanwhile take it.
    std::lock_guard<std::mutex> lock(plant.mutex);
    auto now = std::chrono::steady_clock::now();
    if (!plant.kept || now - plant.made >= PLANT_FRESH) {
      plant.reply = plant_json(c);
      plant.made = now;
      plant.kept = plant.reply.status == 200;
    }
    reply(res, plant.reply);
  });
  server.Get("/unit", [&](const httplib::Request &req, httplib::Response &res) {
    reply(res, unit_page(c, params_of(req)));
  });
  server.Get("/yield", [&](const httplib::Request &req, httplib::Response &res) {
    reply(res, yield_page(c, params_of(req)));
  });
  server.Get("/export", [&](const httplib::Request &, httplib::Response &res) {
    reply(res, export_form(c));
  });
  server.Get("/export.csv", [&](const httplib::Request &req, httplib::Response &res) {
    auto e = std::make_shared<export_state>();
    web_params q = params_of(req);
    e->what = q.contains("what") ? q.find("what")->second : "units";
    std::string bad = period_of(q, -1, &e->since, &e->until);
    if (e->what != "units" && e->what != "steps") bad = "what is units or steps, not " + e->what;
    if (!bad.empty()) {
      res.status = 400;
      res.set_content(bad + "\n", "text/plain; charset=utf-8");
      return;
    }
    res.set_header("Content-Disposition", "attachment; filename=\"" + e->what + ".csv\"");
    res.set_chunked_content_provider("text/csv; charset=utf-8",
                                     [&c, e](size_t, httplib::DataSink &sink) {
                                       return export_part(c, e.get(), sink);
                                     });
  });
  server.Get("/metrics", [&](const httplib::Request &, httplib::Response &res) {
    reply(res, metrics_text(c));
  });
  // Browsers ask for it by themselves: none, rather than an error.
  server.Get("/favicon.ico", [](const httplib::Request &, httplib::Response &res) {
    res.status = 204;
  });
  server.Get("/app.js", [](const httplib::Request &, httplib::Response &res) {
    res.set_content(DASHBOARD_SCRIPT, "text/javascript; charset=utf-8");
  });
  server.Get("/style.css", [](const httplib::Request &, httplib::Response &res) {
    res.set_content(DASHBOARD_STYLE, "text/css; charset=utf-8");
  });
  // The server's threads start with these blocked, so that the signal
  // comes to the thread below that waits for it.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  if (port == 0) {
    port = server.bind_to_any_port(host);
  } else if (!server.bind_to_port(host, port)) {
    port = -1;
  }
  if (port < 0) {
    fprintf(stderr, "kesp-units: --listen %s: cannot listen there (in use, or no such address)\n",
            o.listen.c_str());
    return 1;
  }
  std::string printed_host = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  fprintf(stderr, "kesp-units: the dashboard is at http://%s:%d/ (Ctrl-C stops it)\n",
          printed_host.c_str(), port);
  if (!loopback_listen(o.listen)) {
    fprintf(stderr,
            "kesp-units: warning: the dashboard has no login and anyone who reaches %s can read "
            "the record: put it behind the plant's proxy\n",
            printed_host.c_str());
  }
  std::thread waiter([&server, stop_signals] {
    int sig = 0;
    sigwait(&stop_signals, &sig);
    server.stop();
  });
  bool served = server.listen_after_bind();
  // listen ended by itself: the waiter is let go with a signal of its own.
  if (server.is_running() || !served) kill(getpid(), SIGTERM);
  waiter.join();
  return served ? 0 : 1;
}
