// The transaction engine fed bytes and events directly, with no socket:
// each way a reply can be whole, missing, partial or early.
#include "engine.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "crc32.h"
#include "support.h"

namespace {

enum class op {
  send_request,     // n request bytes go out (all that are left when n is 0)
  receive,          // bytes arrive, fed in pieces of n (all at once when n is 0)
  send_image,       // n image bytes go out
  send_fails,       // a send fails with err
  close,            // the connection ends with err (0: closed by the target)
  nothing_to_send,  // neither request nor image bytes are left to send
};

struct step {
  op what;
  size_t n = 0;
  std::string bytes;
  int err = 0;
  // Events the step must report, in order.
  std::vector<txn_event> events;
};

struct engine_case {
  const char *name;
  uint32_t length;
  std::vector<step> steps;
  txn_result result;
  const char *failure;  // txn_failure_text when the connection failed
};

constexpr uint32_t LENGTH = 300;
const std::string IMAGE = pattern_bytes(LENGTH, 7);
const uint32_t IMAGE_CRC = crc_of(IMAGE);
const flash_reply FIRST{0x0101, 0, 0, LENGTH, 0};
const flash_reply DONE{0x0101, 0, 0, LENGTH, IMAGE_CRC};

step S(op what, size_t n = 0, std::string bytes = {}, int err = 0,
       std::vector<txn_event> events = {}) {
  return {what, n, std::move(bytes), err, std::move(events)};
}

std::vector<txn_event> run(transaction *t, const std::vector<step> &steps) {
  std::vector<txn_event> seen;
  auto note = [&](txn_event e) {
    if (e != txn_event::none) seen.push_back(e);
  };
  for (const step &s : steps) {
    switch (s.what) {
      case op::send_request: {
        const uint8_t *bytes = nullptr;
        size_t left = txn_request_bytes(t, &bytes);
        note(txn_request_sent(t, s.n == 0 ? left : s.n));
        break;
      }
      case op::receive: {
        size_t piece = s.n == 0 ? s.bytes.size() : s.n;
        for (size_t at = 0; at < s.bytes.size();) {
          size_t n = std::min(piece, s.bytes.size() - at);
          // Fed like a poll loop does: whatever arrived, the rest next time.
          while (n > 0) {
            size_t used = 0;
            note(txn_received(t, reinterpret_cast<const uint8_t *>(s.bytes.data()) + at, n, &used));
            EXPECT_GT(used, 0U);
            at += used;
            n -= used;
          }
        }
        break;
      }
      case op::send_image: {
        EXPECT_LE(s.n, txn_image_left(t));
        txn_image_sent(t, reinterpret_cast<const uint8_t *>(IMAGE.data()) + t->sent, s.n);
        break;
      }
      case op::send_fails:
        note(txn_send_failed(t, s.err));
        break;
      case op::close:
        note(txn_closed(t, s.err));
        break;
      case op::nothing_to_send: {
        const uint8_t *bytes = nullptr;
        EXPECT_EQ(txn_request_bytes(t, &bytes), 0U);
        EXPECT_EQ(txn_image_left(t), 0U);
        break;
      }
    }
  }
  return seen;
}

using E = txn_event;
const step REQUEST = S(op::send_request);
const step FIRST_IN = S(op::receive, 0, reply(FIRST), 0, {E::first_reply});
const step IMAGE_OUT = S(op::send_image, LENGTH);
const step NO_SENDS = S(op::nothing_to_send);

const std::vector<engine_case> &cases() {
  static const std::vector<engine_case> all = {
      {"Passes",
       LENGTH,
       {REQUEST, FIRST_IN, IMAGE_OUT, S(op::receive, 0, reply(DONE), 0, {E::verdict})},
       txn_result::passed,
       nullptr},
      {"RepliesDrippedByteByByte",
       LENGTH,
       {REQUEST, S(op::receive, 1, reply(FIRST), 0, {E::first_reply}), IMAGE_OUT,
        S(op::receive, 1, reply(DONE), 0, {E::verdict})},
       txn_result::passed,
       nullptr},
      {"ImageInUnevenPieces",
       LENGTH,
       {REQUEST, FIRST_IN, S(op::send_image, 1), S(op::send_image, 255), S(op::send_image, 44),
        S(op::receive, 0, reply(DONE), 0, {E::verdict})},
       txn_result::passed,
       nullptr},
      {"RequestSentInPieces",
       LENGTH,
       {S(op::send_request, 3), S(op::send_request, 1), FIRST_IN, IMAGE_OUT,
        S(op::receive, 0, reply(DONE), 0, {E::verdict})},
       txn_result::passed,
       nullptr},
      {"FirstReplyBeforeTheRequestWentOutWhole",
       LENGTH,
       {S(op::send_request, 2), FIRST_IN, S(op::send_request, 2), IMAGE_OUT,
        S(op::receive, 0, reply(DONE), 0, {E::verdict})},
       txn_result::passed,
       nullptr},
      {"ChecksumsDiffer",
       LENGTH,
       {REQUEST,
        FIRST_IN,
        IMAGE_OUT,
        {op::receive, 0, reply({1, 0, 0, LENGTH, IMAGE_CRC ^ 1}), 0, {E::verdict}}},
       txn_result::crc_mismatch,
       nullptr},
      {"TargetReportsAnError",
       LENGTH,
       {REQUEST,
        FIRST_IN,
        IMAGE_OUT,
        {op::receive, 0, reply({1, ERR_ERASE, 0x100, LENGTH, 0}), 0, {E::verdict}}},
       txn_result::target_error,
       nullptr},
      {"FirstReplyMissing",
       LENGTH,
       {REQUEST, S(op::close, 0, "", 0, {E::failed})},
       txn_result::connection_failed,
       "closed by target"},
      {"FirstReplyPartial",
       LENGTH,
       {REQUEST, S(op::receive, 0, reply(FIRST).substr(0, 10)),
        S(op::close, 0, "", 0, {E::failed})},
       txn_result::connection_failed,
       "closed by target"},
      {"FirstReplyReset",
       LENGTH,
       {REQUEST, S(op::close, 0, "", ECONNRESET, {E::failed})},
       txn_result::connection_failed,
       "Connection reset by peer"},
      {"FinalReplyMissing",
       LENGTH,
       {REQUEST, FIRST_IN, IMAGE_OUT, S(op::close, 0, "", 0, {E::failed})},
       txn_result::connection_failed,
       "closed by target"},
      {"FinalReplyPartial",
       LENGTH,
       {REQUEST, FIRST_IN, IMAGE_OUT, S(op::receive, 0, reply(DONE).substr(0, 17)),
        S(op::close, 0, "", ETIMEDOUT, {E::failed})},
       txn_result::connection_failed,
       "Connection timed out"},
      // A target that answers both at once and closes makes our next send
      // fail; its done verdict cannot be true of an image it never had.
      {"DoneAfterASendFailed",
       LENGTH,
       {REQUEST, FIRST_IN, S(op::send_image, 256), S(op::send_fails, 0, "", EPIPE),
        S(op::receive, 0, reply(DONE), 0, {E::verdict})},
       txn_result::connection_failed,
       "Broken pipe"},
      {"ErrorAfterASendFailedIsStillTheTargets",
       LENGTH,
       {REQUEST,
        FIRST_IN,
        S(op::send_image, 256),
        S(op::send_fails, 0, "", ECONNRESET),
        {op::receive, 0, reply({1, ERR_REPROGRAM, 0, 256, 0}), 0, {E::verdict}}},
       txn_result::target_error,
       nullptr},
      {"RequestSendFailed",
       LENGTH,
       {S(op::send_fails, 0, "", EPIPE), FIRST_IN, S(op::receive, 0, reply(DONE), 0, {E::verdict})},
       txn_result::connection_failed,
       "Broken pipe"},
      // After a failed send nothing more is sent, whatever arrives: the
      // connection is as good as gone, and only the verdict may still come.
      {"NoImageAfterTheRequestFailed",
       LENGTH,
       {S(op::send_fails, 0, "", EPIPE), NO_SENDS, FIRST_IN, NO_SENDS,
        S(op::receive, 0, reply(DONE), 0, {E::verdict})},
       txn_result::connection_failed,
       "Broken pipe"},
      {"NoMoreImageAfterAnImageSendFailed",
       LENGTH,
       {REQUEST, FIRST_IN, S(op::send_image, 256), S(op::send_fails, 0, "", ECONNRESET), NO_SENDS,
        S(op::close, 0, "", ECONNRESET, {E::failed})},
       txn_result::connection_failed,
       "Connection reset by peer"},
      {"BothRepliesInOneReceiveBeforeTheImage",
       LENGTH,
       {REQUEST, S(op::receive, 0, reply(FIRST) + reply(DONE), 0, {E::first_reply, E::verdict})},
       txn_result::connection_failed,
       "target replied before the whole image"},
      {"EarlyErrorVerdictMidImage",
       LENGTH,
       {REQUEST,
        FIRST_IN,
        S(op::send_image, 100),
        {op::receive, 0, reply({1, ERR_INVALID_SIZE, 0, 100, 0}), 0, {E::verdict}}},
       txn_result::target_error,
       nullptr},
      {"BytesAfterTheVerdictAndACloseChangeNothing",
       LENGTH,
       {REQUEST, FIRST_IN, IMAGE_OUT, S(op::receive, 0, reply(DONE) + "junk", 0, {E::verdict}),
        S(op::close, 0, "", ECONNRESET)},
       txn_result::passed,
       nullptr},
      {"FirstReplyErrorStillStreams",
       LENGTH,
       {REQUEST,
        {op::receive, 0, reply({1, ERR_INVALID_ADDRESS, 0, LENGTH, 0}), 0, {E::first_reply}},
        IMAGE_OUT,
        {op::receive, 0, reply({1, ERR_INVALID_ADDRESS, 0, LENGTH, 0}), 0, {E::verdict}}},
       txn_result::target_error,
       nullptr},
  };
  return all;
}

class Engine : public testing::TestWithParam<size_t> {};

TEST_P(Engine, EventsAndVerdict) {
  const engine_case &c = cases()[GetParam()];
  transaction t;
  txn_begin(&t, c.length, 0, 0);
  std::vector<txn_event> want;
  for (const step &s : c.steps) want.insert(want.end(), s.events.begin(), s.events.end());
  EXPECT_EQ(run(&t, c.steps), want);
  EXPECT_EQ(txn_judge(&t), c.result);
  if (c.failure != nullptr) {
    EXPECT_STREQ(txn_failure_text(&t), c.failure);
  }
  if (c.result == txn_result::passed) {
    EXPECT_EQ(t.crc, IMAGE_CRC);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Engine, testing::Range<size_t>(0, cases().size()),
                         [](const testing::TestParamInfo<size_t> &p) {
                           return std::string(cases()[p.param].name);
                         });

TEST(EngineRequest, BytesMatchTheHeaderAndAddressLayouts) {
  const struct {
    uint32_t flags, address;
    std::string bytes;
  } table[] = {
      {0, 0, std::string("\x00\x00\x01\x2c", 4)},
      {FLAG_COMPARE, 0, std::string("\x80\x00\x01\x2c", 4)},
      {FLAG_ADDRESS, 0x10000, std::string("\x40\x00\x01\x2c\x00\x01\x00\x00", 8)},
      {FLAG_NAND | FLAG_ADDRESS, 0, std::string("\x60\x00\x01\x2c\x00\x00\x00\x00", 8)},
  };
  for (const auto &c : table) {
    transaction t;
    txn_begin(&t, LENGTH, c.flags, c.address);
    const uint8_t *bytes = nullptr;
    size_t n = txn_request_bytes(&t, &bytes);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(bytes), n), c.bytes) << c.flags;
    // Nothing but the request may go out before the first reply.
    EXPECT_EQ(txn_image_left(&t), 0U);
    txn_request_sent(&t, n);
    EXPECT_EQ(txn_request_bytes(&t, &bytes), 0U);
    EXPECT_EQ(txn_reply_wanted(&t), REPLY_SIZE);
  }
}

TEST(EngineStart, FourZeroBytesThenDoneWithoutAReply) {
  transaction t;
  txn_begin_start(&t);
  const uint8_t *bytes = nullptr;
  ASSERT_EQ(txn_request_bytes(&t, &bytes), WORD_SIZE);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(bytes), WORD_SIZE), std::string(4, '\0'));
  EXPECT_EQ(txn_request_sent(&t, 3), txn_event::none);
  EXPECT_EQ(txn_judge(&t), txn_result::pending);
  EXPECT_EQ(txn_request_sent(&t, 1), txn_event::started);
  EXPECT_EQ(txn_judge(&t), txn_result::passed);
  EXPECT_EQ(txn_reply_wanted(&t), 0U);
  EXPECT_EQ(txn_closed(&t, 0), txn_event::none);
  EXPECT_EQ(txn_judge(&t), txn_result::passed);
}

TEST(EngineStart, SendFailureIsAFailedStart) {
  transaction t;
  txn_begin_start(&t);
  EXPECT_EQ(txn_send_failed(&t, EPIPE), txn_event::failed);
  EXPECT_EQ(txn_judge(&t), txn_result::connection_failed);
  EXPECT_EQ(txn_closed(&t, 0), txn_event::none);
  EXPECT_STREQ(txn_failure_text(&t), "Broken pipe");
}

// What the queries say at each point of a download, a start and a
// connection lost; a caller that waits on txn_finished for its verdict
// hangs or stops early if either is wrong.
TEST(EngineQueries, FinishedAndVerdictFollowTheTransaction) {
  struct point {
    const char *where;
    bool finished;
    bool verdict;
  };
  transaction t;
  std::vector<std::pair<point, point>> seen;  // {what the queries said, what they should say}
  auto look = [&](point want) {
    seen.push_back({{want.where, txn_finished(&t), txn_has_verdict(&t)}, want});
  };
  txn_begin(&t, LENGTH, 0, 0);
  look({.where = "request", .finished = false, .verdict = false});
  run(&t, {REQUEST, FIRST_IN, IMAGE_OUT});
  look({.where = "image out", .finished = false, .verdict = false});
  run(&t, {S(op::receive, 0, reply(DONE), 0, {E::verdict})});
  look({.where = "verdict in", .finished = true, .verdict = true});
  txn_begin_start(&t);
  look({.where = "start request", .finished = false, .verdict = false});
  run(&t, {REQUEST});
  look({.where = "start sent", .finished = true, .verdict = false});
  txn_begin(&t, LENGTH, 0, 0);
  run(&t, {REQUEST, S(op::close, 0, "", ECONNRESET, {E::failed})});
  look({.where = "reset", .finished = true, .verdict = false});
  for (const auto &[got, want] : seen) {
    EXPECT_EQ(got.finished, want.finished) << want.where;
    EXPECT_EQ(got.verdict, want.verdict) << want.where;
  }
}

}  // namespace
