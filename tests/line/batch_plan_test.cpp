// kesp-batch's plan as units: recipe lines into steps, board lists, the
// command line's steps, and the escaping of what goes into the reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"
#include "outcome.h"
#include "plan.h"
#include "recipe.h"
#include "records.h"
#include "support.h"
#include "text.h"
#include "wire.h"

namespace {

struct recipe_line {
  std::string text;
  step_mode mode;
  uint32_t flags;
  uint32_t address;
  std::string file;  // as the step holds it, with the folder "line" put in front
  bool keep = false;  // the record keeps the unit's own image
};

TEST(BatchRecipe, LinesBecomeStepsAsKespReadsItsOptions) {
  const std::vector<recipe_line> cases = {
      {"boot.bin", step_mode::update, 0, 0, "line/boot.bin"},
      {"-a 0x10000 app.bin", step_mode::update, FLAG_ADDRESS, 0x10000, "line/app.bin"},
      {"-a0x10 app.bin", step_mode::update, FLAG_ADDRESS, 0x10, "line/app.bin"},
      {"app.bin -a 010", step_mode::update, FLAG_ADDRESS, 8, "line/app.bin"},
      {"-n -a 0x200000 rootfs.img", step_mode::update, FLAG_NAND | FLAG_ADDRESS, 0x200000,
       "line/rootfs.img"},
      {"-cn rootfs.img", step_mode::compare, FLAG_COMPARE | FLAG_NAND | FLAG_ADDRESS, 0,
       "line/rootfs.img"},
      {"-c -a 4096 /abs/boot.bin", step_mode::compare, FLAG_COMPARE | FLAG_ADDRESS, 4096,
       "/abs/boot.bin"},
      {"  -s  ", step_mode::start, 0, 0, ""},
      {"-s # start it", step_mode::start, 0, 0, ""},
      {"-a 1 'my image.bin'", step_mode::update, FLAG_ADDRESS, 1, "line/my image.bin"},
      {"\"-dash.bin\"", step_mode::update, 0, 0, "line/-dash.bin"},
      {"-- -dash.bin", step_mode::update, 0, 0, "line/-dash.bin"},
      {"serial-{board}.bin\r", step_mode::update, 0, 0, "line/serial-{board}.bin"},
      // The top of the 32 bits, written either way kesp reads it.
      {"-a 0xffffffff app.bin", step_mode::update, FLAG_ADDRESS, 0xffffffff, "line/app.bin"},
      {"-a -1 app.bin", step_mode::update, FLAG_ADDRESS, 0xffffffff, "line/app.bin"},
      {"-a 0x3000 --from-command 'make-mac' --keep", step_mode::update, FLAG_ADDRESS, 0x3000, "",
       true},
      {"--keep -a 0x3000 data/{serial}.bin", step_mode::update, FLAG_ADDRESS, 0x3000,
       "line/data/{serial}.bin", true},
  };
  for (const recipe_line &c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<step> steps;
    std::string error;
    ASSERT_TRUE(parse_recipe(c.text + "\n", "r.txt", "line", &steps, &error)) << error;
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].mode, c.mode);
    EXPECT_EQ(steps[0].flags, c.flags);
    EXPECT_EQ(steps[0].address, c.address);
    EXPECT_EQ(steps[0].file, c.file);
    EXPECT_EQ(steps[0].keep, c.keep);
    EXPECT_EQ(steps[0].origin, "r.txt:1");
  }
}

TEST(BatchRecipe, CommentsAndBlankLinesAreSkippedAndLinesCounted) {
  std::vector<step> steps;
  std::string error;
  ASSERT_TRUE(
      parse_recipe("# head\n\n  # indented\n-a 0 a.bin\n\n-s\n", "r.txt", ".", &steps, &error))
      << error;
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].file, "a.bin");  // a recipe in the current folder adds nothing
  EXPECT_EQ(steps[0].origin, "r.txt:4");
  EXPECT_EQ(steps[1].origin, "r.txt:6");
}

TEST(BatchRecipe, BadLinesNameTheirFileAndLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"-x a.bin", "r.txt:2: unknown option -x (a step takes -a, -n, -c or -s)"},
      {"--nand a.bin", "r.txt:2: unknown option --nand (a step takes -a, -n, -c or -s)"},
      {"-a", "r.txt:2: -a needs an address"},
      {"-a 12z a.bin", "r.txt:2: invalid address: 12z"},
      {"-a '' a.bin", "r.txt:2: invalid address: "},
      {"-a 0x100000000 a.bin",
       "r.txt:2: address 0x100000000 is past the flash's 32 bits (at most 0xffffffff)"},
      {"-a -4294967296 a.bin",
       "r.txt:2: address -4294967296 is past the flash's 32 bits (at most 0xffffffff)"},
      {"-a99999999999999999999 a.bin",
       "r.txt:2: address 99999999999999999999 is past the flash's 32 bits (at most 0xffffffff)"},
      {"--expect-idd 0101 a.bin",
       "r.txt:2: unknown option --expect-idd; did you mean --expect-id?"},
      {"a.bin b.bin", "r.txt:2: more than one file: a.bin and b.bin"},
      {"-a 0x100", "r.txt:2: no image file"},
      {"''", "r.txt:2: empty file name"},
      {"-s a.bin", "r.txt:2: -s starts the program and takes no file or other option"},
      {"-s -n", "r.txt:2: -s starts the program and takes no file or other option"},
      {"-s --keep", "r.txt:2: -s starts the program and takes no file or other option"},
      // Only a unit's own data is kept: a shared image is no identity.
      {"--keep a.bin",
       "r.txt:2: --keep keeps a unit's own image: it takes --from-command or a {serial} file"},
      {"\"a.bin", "r.txt:2: unmatched \""},
  };
  for (const auto &[line, message] : cases) {
    SCOPED_TRACE(line);
    std::vector<step> steps;
    std::string error;
    EXPECT_FALSE(parse_recipe("-s\n" + line + "\n-s\n", "r.txt", "line", &steps, &error));
    EXPECT_EQ(error, message);
  }
  std::vector<step> steps;
  std::string error;
  EXPECT_FALSE(parse_recipe("# only a comment\n\n", "r.txt", "line", &steps, &error));
  EXPECT_EQ(error, "r.txt: no steps in the recipe");
}

TEST(BatchRecipe, BoardMarkStandsForTheBoardsName) {
  EXPECT_EQ(board_file("serial-{board}.bin", "b7"), "serial-b7.bin");
  EXPECT_EQ(board_file("{board}/{board}.img", "10.0.0.7"), "10.0.0.7/10.0.0.7.img");
  EXPECT_EQ(board_file("plain.bin", "b7"), "plain.bin");
  EXPECT_EQ(board_file("{boa{board}rd}", "x"), "{boaxrd}");
  EXPECT_EQ(board_file("{board", "x"), "{board");
}

TEST(BatchBoardList, OneBoardPerLineWithComments) {
  std::vector<std::string> boards;
  std::string error;
  ASSERT_TRUE(parse_board_list("# line 3\nb1\n  b2  # spare\n\n#b3\n10.0.0.4\r\n", "l.txt", &boards,
                               &error))
      << error;
  EXPECT_EQ(boards, (std::vector<std::string>{"b1", "b2", "10.0.0.4"}));
  EXPECT_FALSE(parse_board_list("b1\nb2 b3\n", "l.txt", &boards, &error));
  EXPECT_EQ(error, "l.txt:2: one board per line, not \"b2\" and \"b3\"");
}

// The command line's steps, as a vector of (mode, flags) pairs.
std::vector<std::pair<step_mode, uint32_t>> steps_of(std::vector<std::string> words) {
  plan p;
  std::string error;
  words.insert(words.begin(), "kesp-batch");
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::vector<std::pair<step_mode, uint32_t>> steps;
  if (parse_command_line(static_cast<int>(words.size()), argv.data(), &p, &error) !=
      parse_end::run) {
    ADD_FAILURE() << error;
    return steps;
  }
  for (const step &s : p.steps) steps.emplace_back(s.mode, s.flags);
  return steps;
}

TEST(BatchCommandLine, OptionsBecomeSteps) {
  using v = std::vector<std::pair<step_mode, uint32_t>>;
  EXPECT_EQ(steps_of({"-i", "a.bin", "b1"}), (v{{step_mode::update, 0}}));
  EXPECT_EQ(steps_of({"b1", "-c", "-i", "a.bin"}), (v{{step_mode::compare, FLAG_COMPARE}}));
  EXPECT_EQ(steps_of({"-n", "-i", "a.bin", "--verify", "-s", "b1"}),
            (v{{step_mode::update, FLAG_NAND | FLAG_ADDRESS},
               {step_mode::compare, FLAG_NAND | FLAG_ADDRESS | FLAG_COMPARE},
               {step_mode::start, 0}}));
  // A compare needs no second compare.
  EXPECT_EQ(steps_of({"-c", "-i", "a.bin", "--verify", "b1"}),
            (v{{step_mode::compare, FLAG_COMPARE}}));
  EXPECT_EQ(steps_of({"-s", "b1", "b2"}), (v{{step_mode::start, 0}}));
}

// The command line's words, parsed: the plan, or the error.
parse_end parse_words(std::vector<std::string> words, plan *p, std::string *error) {
  words.insert(words.begin(), "kesp-batch");
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return parse_command_line(static_cast<int>(words.size()), argv.data(), p, error);
}

TEST(BatchCommandLine, UnknownOptionsGetTheNearest) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--compair", "unknown option --compair; did you mean --compare?"},
      {"--retires=2", "unknown option --retires=2; did you mean --retries?"},
      {"--dryrun", "unknown option --dryrun; did you mean --dry-run?"},
      {"--EXPECT-ID", "unknown option --EXPECT-ID; did you mean --expect-id?"},
      {"--st",
       "unknown option --st; did you mean --start, --step-timeout, --station or "
       "--station-name?"},
      {"--frobnicate", "unknown option --frobnicate"},
      {"--xyz", "unknown option --xyz"},
      {"--verify=yes", "--verify takes no value"},
      {"--verif=yes", "--verify takes no value"},
  };
  for (const auto &[word, message] : cases) {
    SCOPED_TRACE(word);
    plan p;
    std::string error;
    EXPECT_EQ(parse_words({"-i", "a.bin", word, "b1"}, &p, &error), parse_end::usage);
    EXPECT_EQ(error, message + "\n(kesp-batch --help lists the options)");
  }
  EXPECT_EQ(edit_distance("kitten", "sitting"), 3u);
  EXPECT_EQ(edit_distance("compair", "compare"), 2u);
  EXPECT_EQ(edit_distance("retires", "retries"), 1u);  // a swap is one
  EXPECT_EQ(edit_distance("", "db"), 2u);
  EXPECT_EQ(edit_distance("db", "db"), 0u);
}

// A flash id from the command line holds for its own device's steps: the
// NOR's for -a steps, the NAND's for -n steps, never a start; a recipe
// line's own id wins. An id no step is checked against is refused.
TEST(BatchCommandLine, FlashIdsHoldForTheirDevice) {
  const std::string recipe = temp_path("ids-recipe.txt");
  write_file(recipe,
             "-a 0 boot.bin\n"
             "-n -a 0x20000 rootfs.img\n"
             "--expect-id 0303 -n data.img\n"
             "-c -a 0 boot.bin\n"
             "-s\n");
  struct id_case {
    std::vector<std::string> words;
    std::vector<int> ids;  // per step: the id checked, or -1 for none
  };
  const std::vector<id_case> cases = {
      {{"-r", recipe, "--expect-id", "0101"}, {0x0101, -1, 0x0303, 0x0101, -1}},
      {{"-r", recipe, "--expect-nand-id", "0202"}, {-1, 0x0202, 0x0303, -1, -1}},
      {{"-r", recipe, "--expect-id", "0101", "--expect-nand-id", "0x202"},
       {0x0101, 0x0202, 0x0303, 0x0101, -1}},
      {{"-r", recipe}, {-1, -1, 0x0303, -1, -1}},
      {{"-n", "-i", "a.bin", "--verify", "--expect-nand-id", "0202", "-s"}, {0x0202, 0x0202, -1}},
  };
  for (const id_case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.words));
    plan p;
    std::string error;
    std::vector<std::string> words = c.words;
    words.push_back("b1");
    ASSERT_EQ(parse_words(words, &p, &error), parse_end::run) << error;
    std::vector<int> ids;
    for (const step &s : p.steps) ids.push_back(s.check_id ? s.expect_id : -1);
    EXPECT_EQ(ids, c.ids);
  }
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"-n", "-i", "a.bin", "--expect-id", "0101"},
       "--expect-id holds for the NOR steps, and every step is on the NAND: give the NAND's id "
       "with --expect-nand-id"},
      {{"-i", "a.bin", "--expect-nand-id", "0202"},
       "--expect-nand-id holds for the NAND steps (-n), and no step is on the NAND"},
      {{"-s", "--expect-nand-id", "0202"},
       "--expect-nand-id needs an image: a start has no flash id to check\n"
       "(kesp-batch --help lists the options)"},
      {{"-i", "a.bin", "--expect-nand-id", "12345"},
       "invalid --expect-nand-id: 12345\n(kesp-batch --help lists the options)"},
  };
  for (const auto &[words, message] : refused) {
    SCOPED_TRACE(testing::PrintToString(words));
    plan p;
    std::string error;
    std::vector<std::string> w = words;
    w.push_back("b1");
    EXPECT_EQ(parse_words(w, &p, &error), parse_end::usage);
    EXPECT_EQ(error, message);
  }
}

TEST(BatchCommandLine, DefaultsAndLimits) {
  plan p;
  std::string error;
  std::vector<std::string> words = {"kesp-batch", "-s", "b1", "b2", "--connect-timeout", "1.5"};
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  ASSERT_EQ(parse_command_line(static_cast<int>(argv.size()), argv.data(), &p, &error),
            parse_end::run);
  EXPECT_EQ(p.opt.jobs, 2u);  // every board at once, when there are few
  EXPECT_EQ(p.opt.retries, 2);
  EXPECT_EQ(p.opt.connect_timeout_ms, 1500);
  EXPECT_EQ(p.opt.step_timeout_ms, 0);
  EXPECT_EQ(p.boards[1].log_name, "b2.log");
  for (const char *bad : {"0", "-1", "x", "1e9", ""}) {
    plan q;
    std::vector<std::string> w = {"kesp-batch", "-s", "b1", "--step-timeout", bad};
    std::vector<char *> a;
    for (auto &x : w) a.push_back(x.data());
    EXPECT_EQ(parse_command_line(static_cast<int>(a.size()), a.data(), &q, &error),
              parse_end::usage)
        << bad;
  }
}

// Each kind of failure has the class yield counts it under: the unit's
// own (board, part, link) or not (operator, station).
TEST(BatchRecords, FailureClassesSayWhoseFailureItWas) {
  const struct {
    failure_kind kind;
    int32_t error;
    const char *failure_class;
  } rows[] = {
      {failure_kind::connect, 0, "link"},
      {failure_kind::connection, 0, "link"},
      {failure_kind::crc_mismatch, 0, "board"},
      {failure_kind::timeout, 0, "board"},
      {failure_kind::flash_id, 0, "part"},
      {failure_kind::target_error, ERR_ERASE, "part"},
      {failure_kind::target_error, ERR_REPROGRAM, "part"},
      {failure_kind::target_error, ERR_COMPARE_FAILED, "part"},
      {failure_kind::target_error, ERR_NO_DEVICE, "part"},
      {failure_kind::target_error, 99, "part"},
      // The recipe asks for what the device does not hold: every unit would fail.
      {failure_kind::target_error, ERR_INVALID_ADDRESS, "station"},
      {failure_kind::target_error, -ERR_INVALID_SIZE, "station"},
      {failure_kind::unresolved, 0, "station"},
      {failure_kind::local, 0, "station"},
      {failure_kind::interrupted, 0, "operator"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(failure_name(r.kind)) + " " + std::to_string(r.error));
    step_outcome o;
    o.result = step_result::failed;
    o.failure = r.kind;
    o.error = r.error;
    EXPECT_STREQ(failure_class_of(o), r.failure_class);
    o.result = step_result::not_run;
    EXPECT_STREQ(failure_class_of(o), "");
  }
}

TEST(BatchRecords, XmlEscapingKeepsTheDocumentWellFormed) {
  EXPECT_EQ(xml_escape("a<b>&\"c'", true), "a&lt;b&gt;&amp;&quot;c&apos;");
  EXPECT_EQ(xml_escape("line\nnext\ttab", true), "line&#10;next&#9;tab");
  EXPECT_EQ(xml_escape("line\nnext", false), "line\nnext");
  // Characters XML 1.0 cannot carry at all, and broken UTF-8.
  EXPECT_EQ(xml_escape(std::string("a\x01z\x1b", 4), false), "a\xef\xbf\xbdz\xef\xbf\xbd");
  EXPECT_EQ(xml_escape("\xff\xc3", false), "\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(xml_escape("\xc0\xaf", false), "\xef\xbf\xbd\xef\xbf\xbd");  // overlong "/"
  EXPECT_EQ(xml_escape("\xed\xa0\x80", false),
            "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");  // surrogate
  // A character cut short is one replacement, as in the JSON report.
  EXPECT_EQ(xml_escape("\xe2\x82" "x", false), "\xef\xbf\xbd" "x");
  EXPECT_EQ(xml_escape("gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80", false),
            "gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80");
}

TEST(BatchRecords, TimesAreUtcWithMilliseconds) {
  EXPECT_EQ(iso_time(0), "1970-01-01T00:00:00.000Z");
  // 2026-12-08 10:11:32.045 UTC
  EXPECT_EQ(iso_time(1796724692045), "2026-12-08T10:11:32.045Z");
}

}  // namespace
