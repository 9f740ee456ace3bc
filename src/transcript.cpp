#include "transcript.h"

#include <cstring>

namespace {

constexpr uint32_t BAR_WIDTH = 50;  // cells in the progress bar

void back_line(FILE *out) { fputs("\r", out); }

}  // namespace

void print_request_lines(FILE *out, uint32_t address, uint32_t flags) {
  fprintf(out, "kesp: address = %x\n", address);
  fprintf(out, "kesp: flags = %x\n", flags);
}

void print_first_reply_line(FILE *out, const transaction *t) {
  fprintf(out, "kesp: flash_id = %04x\n", t->first.flash_id);
}

// Drawn once per 256-byte chunk, so the line is built whole and written
// with one call rather than a call per cell.
void print_bar(FILE *out, uint32_t total, uint32_t done) {
  static constexpr char PREFIX[] = "loader: [";
  char line[sizeof PREFIX - 1 + BAR_WIDTH + 1];
  back_line(out);
  memcpy(line, PREFIX, sizeof PREFIX - 1);
  // An empty total counts as finished rather than dividing by zero.
  uint64_t stars = total == 0 ? BAR_WIDTH : static_cast<uint64_t>(done) * BAR_WIDTH / total;
  // kesp never draws past the total, but a caller that does must not
  // write past the line.
  if (stars > BAR_WIDTH) stars = BAR_WIDTH;
  char *cells = line + sizeof PREFIX - 1;
  memset(cells, '*', stars);
  memset(cells + stars, ' ', BAR_WIDTH - stars);
  cells[BAR_WIDTH] = ']';
  fwrite(line, 1, sizeof line, out);
}

void print_outcome_lines(FILE *out, const transaction *t) {
  const char *mode = (t->flags & FLAG_COMPARE) != 0 ? "compare" : "update";
  switch (txn_judge(t)) {
    case txn_result::target_error:
      fprintf(out, "kesp: flash %s failed (addr = %x, size = %u, error = \"%s\")\n", mode,
              t->final.addr, t->final.size, flash_error_str(t->final.error));
      break;
    case txn_result::passed:
    case txn_result::crc_mismatch:
      // The two checksums are shown side by side for the reader to judge.
      fprintf(out, "kesp: flash %s done, size = %u\n", mode, t->final.size);
      fprintf(out, "kesp: crc = %x, received = %x\n", t->crc, t->final.crc);
      break;
    case txn_result::connection_failed:
    case txn_result::pending:
      fprintf(out, "kesp: connection failed: %s\n", txn_failure_text(t));
      break;
  }
}
