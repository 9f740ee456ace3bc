// The plant at a glance: a read-only web page over the unit record (its
// stations live or silent, their slots, yield, failures, units) and the
// record's figures for the plant's monitoring, in Prometheus' text format.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

inline constexpr const char *DASHBOARD_LISTEN = "127.0.0.1:8057";
// A station whose row is older than this is shown as silent.
inline constexpr int64_t SILENT_AFTER_MS = 30000;

struct dashboard_options {
  std::string db;                       // as kesp-units' --db
  std::string listen = DASHBOARD_LISTEN;  // ADDR:PORT; port 0 for any free one
  int64_t silent_after_ms = SILENT_AFTER_MS;
};

// Whether ADDR:PORT names only this host, so that no one else can reach it.
bool loopback_listen(const std::string &listen);

// Serves until SIGINT or SIGTERM; says on stderr where it listens (and, on
// an address others reach, that the page has no login). The exit status.
int serve_dashboard(const dashboard_options &o);
