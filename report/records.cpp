#include "records.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "net.h"
#include "outcome.h"
#include "text.h"
#include "wire.h"

namespace {

using json = nlohmann::ordered_json;  // fields in the documented order

}  // namespace

std::string hex_word(uint32_t value, int digits) {
  char text[16];
  snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

namespace {

// The length of the well-formed UTF-8 sequence at text[i] that XML may
// carry, or 0.
size_t utf8_length(const std::string &text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  size_t n = 0;
  uint32_t code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) {
    n = 2;
    code = lead & 0x1fU;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    n = 3;
    code = lead & 0x0fU;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    n = 4;
    code = lead & 0x07U;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xc0U) != 0x80) return 0;
    code = code << 6 | (byte(i + k) & 0x3fU);
  }
  // Overlong forms, surrogates, and the two non-characters XML excludes.
  bool shortest = (n == 3 && code >= 0x800) || (n == 4 && code >= 0x10000) || n == 2;
  bool allowed = code < 0xd800 || (code > 0xdfff && code != 0xfffe && code != 0xffff);
  return shortest && allowed && code <= 0x10ffff ? n : 0;
}

}  // namespace

std::string xml_escape(const std::string &text, bool attribute) {
  // Broken UTF-8 goes as in the JSON report and the unit record; what is
  // left to replace here is what XML alone cannot carry.
  const std::string valid = valid_utf8(text);
  std::string out;
  for (size_t i = 0; i < valid.size();) {
    char c = valid[i];
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      // An attribute's value loses its line breaks and tabs unless they
      // are written as references.
      case '\n':
        out += attribute ? "&#10;" : "\n";
        break;
      case '\t':
        out += attribute ? "&#9;" : "\t";
        break;
      case '\r':
        out += "&#13;";
        break;
      default: {
        auto byte = static_cast<unsigned char>(c);
        size_t n = byte < 0x20 ? 0 : utf8_length(valid, i);
        if (n == 0) {
          out += REPLACEMENT_CHARACTER;
          ++i;
          continue;
        }
        out.append(valid, i, n);
        i += n;
        continue;
      }
    }
    ++i;
  }
  return out;
}

records::~records() {
  if (files_.report >= 0 && files_.report != STDOUT_FILENO) close(files_.report);
  if (files_.junit >= 0) close(files_.junit);
}

void records::note(const std::string &what, int err) {
  errors_.push_back(what + ": " + strerror(err != 0 ? err : EIO));
}

bool records::open(std::string *error) {
  logged_.assign(p_.boards.size(), false);
  return claim_outputs(p_, &files_, error);
}

void records::write_object(const json &j) {
  if (files_.report < 0 || report_failed_) return;
  std::string text = j.dump(-1, ' ', false, json::error_handler_t::replace);
  // A line in one write, so that a station reading the file as it grows,
  // or after a crash, never sees half an object; one that went out only
  // in part is cut off again.
  off_t whole = lseek(files_.report, 0, SEEK_CUR);
  if (write_whole(files_.report, text + "\n")) return;
  int err = errno;
  report_failed_ = true;
  note("--report " + p_.opt.report, err);
  struct stat st {};
  if (whole >= 0 && fstat(files_.report, &st) == 0 && S_ISREG(st.st_mode) &&
      ftruncate(files_.report, whole) != 0) {
    note("--report " + p_.opt.report + ": cutting back to the last whole line", errno);
  }
}

void records::close_report() {
  if (files_.report < 0) return;
  if (files_.report != STDOUT_FILENO && close(files_.report) != 0 && !report_failed_)
    note("--report " + p_.opt.report, errno);
  files_.report = -1;
}

void add_expect_id(json *j, const step &s) {
  (*j)["expect_id"] = s.check_id ? json(hex_word(s.expect_id, 4)) : json(nullptr);
}

namespace {

// A board's address in a step object: null when its name did not resolve.
json address_json(const board &b) {
  if (!b.resolved) return nullptr;
  char text[INET_ADDRSTRLEN];
  address_text(b.address.sin_addr, text);
  return text;
}

}  // namespace

void add_step_fields(json *out, const plan &p, size_t board, size_t step, const step_outcome &o) {
  const struct board &b = p.boards[board];
  const struct step &s = p.steps[step];
  bool image = s.mode != step_mode::start;
  bool ran = o.result != step_result::not_run;
  json &j = *out;
  j["board"] = b.name;
  j["address"] = address_json(b);
  j["step"] = step + 1;
  j["steps"] = p.steps.size();
  j["mode"] = mode_name(s.mode);
  j["device"] = image ? json(device_name(s.flags)) : json(nullptr);
  j["flags"] = image ? json(hex_word(s.flags, 8)) : json(nullptr);
  j["flash_address"] = image ? json(hex_word(s.address, 8)) : json(nullptr);
  j["image"] = image ? json(o.file.empty() ? b.files[step] : o.file) : json(nullptr);
  j["size"] = image ? json(o.size) : json(nullptr);
  j["sha256"] = image ? json(o.sha256) : json(nullptr);
  j["result"] = result_name(o.result);
  j["failure"] = o.result == step_result::failed ? json(failure_name(o.failure)) : json(nullptr);
  j["failure_class"] =
      o.result == step_result::failed ? json(failure_class_of(o)) : json(nullptr);
  j["reason"] = o.reason.empty() ? json(nullptr) : json(o.reason);
  j["flash_id"] = o.have_flash_id ? json(hex_word(o.flash_id, 4)) : json(nullptr);
  j["error"] = o.have_verdict ? json(o.error) : json(nullptr);
  j["error_text"] = o.have_verdict ? json(flash_error_str(o.error)) : json(nullptr);
  j["crc"] = image && ran ? json(hex_word(o.crc, 8)) : json(nullptr);
  j["target_crc"] = o.have_verdict ? json(hex_word(o.target_crc, 8)) : json(nullptr);
  j["sent"] = image && ran ? json(o.sent) : json(nullptr);
  j["attempts"] = o.attempts;
  j["started"] = ran ? json(iso_time(o.started_ms)) : json(nullptr);
  j["seconds"] = ran ? json(o.seconds) : json(nullptr);
}

void records::write_step(size_t board, size_t step) {
  if (files_.report < 0) return;
  json j;
  j["type"] = "step";
  j["schema"] = REPORT_SCHEMA;
  add_step_fields(&j, p_, board, step, state_.outcomes[board][step]);
  // Only where one was given, so that the objects of a run without stay
  // as they were; a station's name it always.
  if (p_.steps[step].check_id) add_expect_id(&j, p_.steps[step]);
  write_object(j);
}

void records::step_ended(size_t board, size_t step) {
  write_step(board, step);
  if (!p_.opt.log_dir.empty()) write_board_log(board, step);
}

void records::write_board_log(size_t board, size_t step) {
  const step_outcome &o = state_.outcomes[board][step];
  if (o.kesp_lines.empty() && logged_[board]) return;
  // The first step of the run replaces an older log of the same board.
  std::string path = p_.opt.log_dir + "/" + p_.boards[board].log_name;
  std::string why;
  int log = open_log(path, !logged_[board], &why);
  if (log < 0) {
    errors_.push_back("--log-dir " + path + ": " + why);
    return;
  }
  logged_[board] = true;
  write_log(log, path, o.kesp_lines);
}

// A log is whole only once closed: a close that fails is a write error too.
void records::write_log(int log, const std::string &path, const std::string &text) {
  bool ok = write_whole(log, text);
  int err = errno;
  if (close(log) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) note("--log-dir " + path, err);
}

void records::board_ended(size_t board) {
  const std::vector<step_outcome> &outcomes = state_.outcomes[board];
  for (size_t i = 0; i < outcomes.size(); ++i) {
    if (outcomes[i].result == step_result::not_run) write_step(board, i);
  }
}

void records::finish(int64_t started_ms, double seconds) {
  tally t = count_boards(state_.outcomes);
  if (files_.report >= 0) {
    json j;
    j["type"] = "summary";
    j["schema"] = REPORT_SCHEMA;
    j["boards"] = p_.boards.size();
    j["passed"] = t.passed;
    j["failed"] = t.failed;
    j["not_run"] = t.not_run;
    j["steps"] = p_.steps.size();
    j["interrupted"] = state_.interrupts > 0;
    j["result"] = state_.interrupts > 0 ? "interrupted" : t.failed > 0 ? "failed" : "passed";
    j["started"] = iso_time(started_ms);
    j["seconds"] = seconds;
    j["bytes_sent"] = state_.bytes_sent;
    write_object(j);
    close_report();
  }
  write_junit(started_ms, seconds);
}

// One board's test case: a failure naming its first failed step, or
// skipped when it did not run to its end, and a line per step.
std::string records::junit_case(size_t board) const {
  const std::vector<step_outcome> &outcomes = state_.outcomes[board];
  double time = 0;
  std::string story;
  std::string failure;
  std::string failure_type;
  std::string failure_class;
  for (size_t i = 0; i < outcomes.size(); ++i) {
    const step_outcome &o = outcomes[i];
    time += o.seconds;
    std::string title = step_title(p_, board, i);
    story += title + ": ";
    if (o.result == step_result::passed) {
      story += "passed\n";
      continue;
    }
    story += (o.result == step_result::failed ? "FAILED: " : "") + o.reason + "\n";
    if (o.result == step_result::failed && failure.empty()) {
      failure = title + ": " + o.reason;
      failure_type = failure_name(o.failure);
      failure_class = failure_class_of(o);
    }
  }
  char attrs[64];
  snprintf(attrs, sizeof attrs, R"(" time="%.3f">)", time);
  std::string text = R"(    <testcase classname="kesp-batch" name=")" +
                     xml_escape(p_.boards[board].name, true) + attrs + "\n";
  switch (verdict_of(outcomes)) {
    case board_verdict::failed:
      // The class as a property of the case, where CI systems show one,
      // so that the failure's type stays the report's kind.
      text += R"(      <properties><property name="failure_class" value=")" + failure_class +
              "\"/></properties>\n";
      text += R"(      <failure type=")" + failure_type + R"(" message=")" +
              xml_escape(failure, true) + "\"/>\n";
      break;
    case board_verdict::not_run:
      text += R"(      <skipped message=")" + xml_escape(outcomes.back().reason, true) + "\"/>\n";
      break;
    case board_verdict::passed:
      break;
  }
  return text + "      <system-out>" + xml_escape(story, false) +
         "</system-out>\n    </testcase>\n";
}

void records::write_junit(int64_t started_ms, double seconds) {
  if (files_.junit < 0) return;
  tally t = count_boards(state_.outcomes);
  char counts[200];
  snprintf(counts, sizeof counts,
           R"(name="kesp-batch" tests="%zu" failures="%zu" errors="0" skipped="%zu" time="%.3f")",
           p_.boards.size(), t.failed, t.not_run, seconds);
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites " +
                    std::string(counts) + ">\n  <testsuite " + counts + " timestamp=\"" +
                    iso_time(started_ms) + "\">\n";
  for (size_t b = 0; b < p_.boards.size(); ++b) doc += junit_case(b);
  doc += "  </testsuite>\n</testsuites>\n";
  // Whole under its temporary name first, then renamed into place: after
  // any crash the file is absent or whole.
  bool ok = write_whole(files_.junit, doc);
  bool temp = !files_.junit_temp.empty();
  if (ok && temp) ok = fsync(files_.junit) == 0;
  if (ok && temp) ok = rename(files_.junit_temp.c_str(), files_.junit_final.c_str()) == 0;
  int err = errno;
  if (!ok && temp) unlink(files_.junit_temp.c_str());
  if (close(files_.junit) != 0 && ok) {
    ok = false;
    err = errno;
  }
  files_.junit = -1;
  if (!ok) note("--junit " + p_.opt.junit, err);
}
