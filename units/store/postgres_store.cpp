// The record in a PostgreSQL database, through libpq, which is loaded
// when the first database is named rather than linked: libpq brings
// Kerberos and LDAP with it, over twenty libraries that a line without a
// database would otherwise load at every start.
#include <libpq-fe.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>

#include "store_engines.h"

namespace {

// Every libpq function the engine calls, each with the type libpq-fe.h
// gives it, so that a call cannot go out with the wrong arguments.
// clang-format off
#define KESP_LIBPQ_FUNCTIONS(F) \
  F(PQconninfoParse) F(PQconninfoFree) F(PQfreemem) \
  F(PQconnectdbParams) F(PQstatus) F(PQerrorMessage) F(PQfinish) \
  F(PQsetNoticeProcessor) F(PQsocket) \
  F(PQexecParams) F(PQresultStatus) F(PQresultErrorMessage) F(PQresultErrorField) F(PQclear) \
  F(PQnfields) F(PQfname) F(PQntuples) F(PQgetisnull) F(PQgetvalue) F(PQgetlength)
// clang-format on

struct libpq_calls {
// A declaration, where a macro argument cannot go in parentheses.
// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define KESP_LIBPQ_POINTER(name) decltype(&::name) name = nullptr;
  KESP_LIBPQ_FUNCTIONS(KESP_LIBPQ_POINTER)
#undef KESP_LIBPQ_POINTER
  void *library = nullptr;  // never closed: a store may live until the process ends
  std::string why;          // "" once every function is found
};

// The soname for this ABI: the one the package ships.
constexpr client_library LIBPQ{"PostgreSQL client library", "libpq.so.5", "libpq5"};

libpq_calls load_libpq() {
  libpq_calls calls;
  calls.library = open_client_library(LIBPQ, &calls.why);
  if (calls.library == nullptr) return calls;
#define KESP_LIBPQ_FIND(name)                          \
  calls.name = reinterpret_cast<decltype(calls.name)>( \
      client_symbol(LIBPQ, calls.library, #name, &calls.why));
  KESP_LIBPQ_FUNCTIONS(KESP_LIBPQ_FIND)
#undef KESP_LIBPQ_FIND
  return calls;
}

// Loaded once for the process, by whichever thread asks first.
const libpq_calls &pq() {
  static const libpq_calls calls = load_libpq();
  return calls;
}

std::string trimmed(std::string text) {
  while (!text.empty() && isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

// The statements are written with "?" for both engines; libpq wants $n.
std::string numbered_marks(const std::string &sql) {
  std::string numbered;
  int n = 0;
  for (char c : sql) {
    if (c == '?') {
      numbered += '$';
      numbered += std::to_string(++n);
    } else {
      numbered += c;
    }
  }
  return numbered;
}

void read_rows(const PGresult *res, db_rows *out) {
  int columns = pq().PQnfields(res);
  for (int c = 0; c < columns; ++c) out->columns.emplace_back(pq().PQfname(res, c));
  for (int r = 0; r < pq().PQntuples(res); ++r) {
    db_row row;
    for (int c = 0; c < columns; ++c) {
      if (pq().PQgetisnull(res, r, c) != 0) {
        row.emplace_back(std::nullopt);
      } else {
        row.emplace_back(std::string(pq().PQgetvalue(res, r, c),
                                     static_cast<size_t>(pq().PQgetlength(res, r, c))));
      }
    }
    out->rows.push_back(std::move(row));
  }
}

class postgres_store : public unit_store {
 public:
  explicit postgres_store(PGconn *conn) : conn_(conn) {}
  ~postgres_store() override { pq().PQfinish(conn_); }
  postgres_store(const postgres_store &) = delete;
  postgres_store &operator=(const postgres_store &) = delete;
  postgres_store(postgres_store &&) = delete;
  postgres_store &operator=(postgres_store &&) = delete;

  std::string query(const std::string &sql, const std::vector<db_value> &texts,
                    db_rows *out) override {
    if (out != nullptr) *out = db_rows{};
    std::vector<db_value> params = valid_params(texts);
    std::string numbered = numbered_marks(sql);
    std::vector<const char *> values(params.size());
    std::transform(params.begin(), params.end(), values.begin(),
                   [](const db_value &p) { return p ? p->c_str() : nullptr; });
    PGresult *res = pq().PQexecParams(conn_, numbered.c_str(), static_cast<int>(values.size()),
                                      nullptr, values.data(), nullptr, nullptr, 0);
    ExecStatusType status = pq().PQresultStatus(res);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      std::string why =
          trimmed(res != nullptr ? pq().PQresultErrorMessage(res) : pq().PQerrorMessage(conn_));
      if (why.empty()) why = trimmed(pq().PQerrorMessage(conn_));
      const char *state = res != nullptr ? pq().PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
      // A server shutting down answers the next statement with an error
      // while the connection still looks good: only errors in the data or
      // the statement itself are the statement's fault; anything else is
      // worth the same statement again on a new connection.
      std::string cls = state != nullptr ? std::string(state).substr(0, 2) : "";
      failed_ = cls != "22" && cls != "23" && cls != "42";
      pq().PQclear(res);
      return why;
    }
    if (out != nullptr) read_rows(res, out);
    pq().PQclear(res);
    failed_ = false;
    return "";
  }

  [[nodiscard]] bool lost() const override {
    return failed_ || pq().PQstatus(conn_) != CONNECTION_OK;
  }
  [[nodiscard]] bool postgres() const override { return true; }
  // The worker may be inside libpq, waiting for a server that never
  // answers: shutting the socket down ends that wait at once, with no
  // round trip (PQcancel's would wait on the same server), and leaves the
  // descriptor to PQfinish, so that it cannot be reused under libpq.
  void interrupt() override {
    int sock = pq().PQsocket(conn_);
    if (sock >= 0) shutdown(sock, SHUT_RDWR);
  }

 protected:
  std::string begin(bool /*write*/) override { return query("BEGIN", {}, nullptr); }

 private:
  PGconn *conn_;
  bool failed_ = false;
};

void ignore_notice(void * /*arg*/, const char * /*message*/) {}

}  // namespace

std::string postgres_name(const std::string &url) {
  if (!pq().why.empty()) return "URL";
  PQconninfoOption *options = pq().PQconninfoParse(url.c_str(), nullptr);
  if (options == nullptr) return "URL";
  std::string user;
  std::string host;
  std::string port;
  std::string dbname;
  for (PQconninfoOption *o = options; o->keyword != nullptr; ++o) {
    std::string key = o->keyword;
    std::string value = o->val != nullptr ? o->val : "";
    if (key == "user") user = value;
    if (key == "host") host = value;
    if (key == "port") port = value;
    if (key == "dbname") dbname = value;
  }
  pq().PQconninfoFree(options);
  // A socket's folder cannot stand where a host name does.
  bool socket = host.starts_with("/");
  std::string name = "postgresql://" + (user.empty() ? "" : user + "@") + (socket ? "" : host) +
                     (port.empty() ? "" : ":" + port) + "/" + dbname;
  return socket ? name + "?host=" + host : name;
}

std::string postgres_password_hint(const std::string &message) {
  if (message.find("no password supplied") == std::string::npos &&
      message.find("password authentication failed") == std::string::npos) {
    return "";
  }
  return "(the password comes from ~/.pgpass, or the file PGPASSFILE names, of mode 0600; its"
         " line's host field must be the URL's host name as written: localhost and 127.0.0.1"
         " do not match)";
}

std::unique_ptr<unit_store> connect_postgres(const std::string &url, std::string *why) {
  if (!pq().why.empty()) {
    *why = pq().why;
    return nullptr;
  }
  char *parse_error = nullptr;
  PQconninfoOption *options = pq().PQconninfoParse(url.c_str(), &parse_error);
  if (options == nullptr) {
    // libpq's message quotes no part of the URL's values.
    *why = parse_error != nullptr ? trimmed(parse_error) : "not a PostgreSQL URL";
    pq().PQfreemem(parse_error);
    return nullptr;
  }
  bool password = false;
  for (PQconninfoOption *o = options; o->keyword != nullptr; ++o) {
    if (std::string(o->keyword) == "password" && o->val != nullptr) password = true;
  }
  pq().PQconninfoFree(options);
  if (password) {
    *why =
        "the URL carries a password, which anyone could read with ps: put it in the"
        " password file instead (~/.pgpass, or the file PGPASSFILE names)";
    return nullptr;
  }
  // Bounded waits on a dead network; the URL's own values come later and win.
  const char *keys[] = {"connect_timeout",  "tcp_user_timeout", "keepalives_idle",
                        "application_name", "dbname",           nullptr};
  const char *values[] = {"10", "15000", "10", "kesp", url.c_str(), nullptr};
  PGconn *conn = pq().PQconnectdbParams(keys, values, 1);
  if (conn == nullptr) {
    *why = "out of memory";
    return nullptr;
  }
  if (pq().PQstatus(conn) != CONNECTION_OK) {
    *why = trimmed(pq().PQerrorMessage(conn));
    std::string hint = postgres_password_hint(*why);
    if (!hint.empty()) *why += "\n" + hint;
    pq().PQfinish(conn);
    return nullptr;
  }
  pq().PQsetNoticeProcessor(conn, ignore_notice, nullptr);
  auto store = std::make_unique<postgres_store>(conn);
  // Set after connecting, so that no URL or PGOPTIONS can leave them out.
  std::string fail = store->query(
      "SELECT set_config('statement_timeout', ?, false), set_config('lock_timeout', ?, false)",
      {std::to_string(STATEMENT_LIMIT_MS), std::to_string(LOCK_LIMIT_MS)}, nullptr);
  if (!fail.empty()) {
    *why = fail;
    return nullptr;
  }
  return store;
}
