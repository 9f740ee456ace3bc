// The simulator's flash file changing all at once: a write that died
// midway is completed from its journal at the next start when the journal
// is whole, and dropped, with the old content intact, when it is torn; a
// journal that cannot be written leaves the file alone and fails the reply.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sim_client.h"
#include "support.h"
#include "target.h"
#include "wire.h"

namespace {

constexpr uint64_t DEVICE_SIZE = 256 * 1024;
constexpr uint64_t DEVICE_BLOCK = 16 * 1024;
constexpr uint32_t ADDRESS = 0x4321;  // mid-block, so that erased surroundings are journaled
constexpr uint32_t IMAGE_SIZE = 40'000;
constexpr int IDLE_MS = 2000;  // bounds every wait of the simulator here
// What the journal ends with: the commit word and the content's CRC-32.
constexpr size_t MARKER_SIZE = 12;

std::string journal_of(const std::string &path) { return path + ".journal"; }

class SimJournal : public testing::Test {
 protected:
  void SetUp() override {
    path = temp_path("journaled-" + std::to_string(++count));
    old = pattern_bytes(DEVICE_SIZE, 21);
    write_file(path, old);
    fresh = old;
    program_flash(fresh, DEVICE_BLOCK, ADDRESS, image);
    t.idle_timeout_ms = IDLE_MS;
  }
  void TearDown() override { close_device(t.nor); }

  void open_device() {
    close_device(t.nor);
    t.nor = {"nor", 0x0101, DEVICE_SIZE, DEVICE_BLOCK, -1, {}, {}};
    ASSERT_EQ(open_backing_file(t.nor, path), "");
  }

  // Sends the image as a download over a socketpair; returns the final
  // reply's error code, or INT32_MIN if none came, and the simulator's log
  // line in *line when asked.
  int32_t download(std::string *line = nullptr) {
    uint8_t words[2 * WORD_SIZE];
    encode_header(words, IMAGE_SIZE, FLAG_ADDRESS);
    encode_address(words + WORD_SIZE, ADDRESS);
    std::string bytes = std::string(reinterpret_cast<char *>(words), sizeof words) + image;
    session_record rec;
    std::string replies = serve_over_socketpair(t, bytes, false, &rec);
    if (line != nullptr) *line = describe(rec);
    if (replies.size() != 2 * REPLY_SIZE) return INT32_MIN;
    return decode_reply(reinterpret_cast<const uint8_t *>(replies.data()) + REPLY_SIZE).error;
  }

  // Leaves a whole journal beside an untouched file, as a simulator killed
  // between the two would.
  void journal_without_applying() {
    open_device();
    t.nor.inject = [](write_step step) { return step == write_step::apply ? EIO : 0; };
    EXPECT_EQ(download(), ERR_REPROGRAM);
    close_device(t.nor);
    ASSERT_TRUE(read_file(path) == old) << "the file changed before the journal was applied";
    ASSERT_EQ(access(journal_of(path).c_str(), F_OK), 0) << "no journal was left";
  }

  static inline int count = 0;
  std::string path;
  std::string image = pattern_bytes(IMAGE_SIZE, 22);
  std::string old;    // the file before the download
  std::string fresh;  // the file after it
  target t;
};

TEST_F(SimJournal, DownloadLeavesNewContentAndNoJournal) {
  open_device();
  EXPECT_EQ(download(), ERR_NONE);
  EXPECT_TRUE(read_file(path) == fresh);
  EXPECT_NE(access(journal_of(path).c_str(), F_OK), 0) << "the journal was kept";
}

// What happened to the journal before the next start, and what the blocks
// must read after it.
struct leftover {
  const char *name;
  std::function<void(const std::string &journal)> damage;
  bool applied;
};

void cut_to(const std::string &journal, size_t size) {
  EXPECT_EQ(truncate(journal.c_str(), static_cast<off_t>(size)), 0);
}

void flip(const std::string &journal, size_t at) {
  std::string bytes = read_file(journal);
  ASSERT_LT(at, bytes.size());
  bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
  write_file(journal, bytes);
}

size_t size_of(const std::string &journal) { return read_file(journal).size(); }

const leftover LEFTOVERS[] = {
    {"Whole", [](const std::string &) {}, true},
    {"WithoutCommitMarker", [](const std::string &j) { cut_to(j, size_of(j) - MARKER_SIZE); },
     false},
    {"CommitMarkerCut", [](const std::string &j) { cut_to(j, size_of(j) - 1); }, false},
    {"CutMidContent", [](const std::string &j) { cut_to(j, size_of(j) / 2); }, false},
    {"HeaderOnlyInPart", [](const std::string &j) { cut_to(j, 10); }, false},
    {"Empty", [](const std::string &j) { cut_to(j, 0); }, false},
    {"ContentByteWrong", [](const std::string &j) { flip(j, size_of(j) / 2); }, false},
    {"HeaderByteWrong", [](const std::string &j) { flip(j, 9); }, false},
    {"CommitMarkerWrong", [](const std::string &j) { flip(j, size_of(j) - 1); }, false},
    {"LongerThanItSays",
     [](const std::string &j) { write_file(j, read_file(j) + std::string(100, '\xff')); }, false},
};

class SimJournalLeftover : public SimJournal, public testing::WithParamInterface<int> {};

TEST_P(SimJournalLeftover, NextStartAppliesOrDropsIt) {
  const leftover &c = LEFTOVERS[GetParam()];
  journal_without_applying();
  c.damage(journal_of(path));
  open_device();
  EXPECT_TRUE(read_file(path) == (c.applied ? fresh : old))
      << (c.applied ? "a whole journal was not applied" : "a torn journal was applied");
  EXPECT_NE(access(journal_of(path).c_str(), F_OK), 0) << "the journal outlived the start";
  // The device goes on working either way.
  EXPECT_EQ(download(), ERR_NONE);
  EXPECT_TRUE(read_file(path) == fresh);
}

INSTANTIATE_TEST_SUITE_P(Leftovers, SimJournalLeftover,
                         testing::Range(0, static_cast<int>(std::size(LEFTOVERS))),
                         [](const testing::TestParamInfo<int> &p) {
                           return LEFTOVERS[p.param].name;
                         });

// A journal with nothing to say about this file: made for a file that has
// since been removed.
TEST_F(SimJournal, JournalOfAVanishedFileIsDropped) {
  journal_without_applying();
  ASSERT_EQ(unlink(path.c_str()), 0);
  open_device();
  EXPECT_TRUE(read_file(path) == std::string(DEVICE_SIZE, '\xff'));
  EXPECT_NE(access(journal_of(path).c_str(), F_OK), 0);
}

TEST_F(SimJournal, JournalThatCannotBeWrittenFailsTheEraseAndKeepsTheFile) {
  for (int code : {ENOSPC, EIO}) {
    open_device();
    t.nor.inject = [code](write_step step) { return step == write_step::journal ? code : 0; };
    EXPECT_EQ(download(), ERR_ERASE) << strerror(code);
    EXPECT_TRUE(read_file(path) == old) << "the file changed though its journal failed";
    EXPECT_NE(access(journal_of(path).c_str(), F_OK), 0);
  }
}

// A write that fails for the simulator's own host is answered as the part
// would answer, and the log tells the host's trouble apart from the board's.
struct host_trouble_case {
  const char *name;
  write_step step;
  int code;
  int32_t reply;
  const char *where;  // the name the log gives the trouble: "journal" or "file"
};

const host_trouble_case HOST_TROUBLE[] = {
    {.name = "JournalDiskFull",
     .step = write_step::journal,
     .code = ENOSPC,
     .reply = ERR_ERASE,
     .where = "journal"},
    {.name = "JournalOutOfDescriptors",
     .step = write_step::journal,
     .code = EMFILE,
     .reply = ERR_ERASE,
     .where = "journal"},
    {.name = "FileIoError",
     .step = write_step::apply,
     .code = EIO,
     .reply = ERR_REPROGRAM,
     .where = "file"},
};

class SimJournalHostTrouble : public SimJournal, public testing::WithParamInterface<int> {};

TEST_P(SimJournalHostTrouble, IsLoggedBesideTheReply) {
  const host_trouble_case &c = HOST_TROUBLE[GetParam()];
  open_device();
  t.nor.inject = [&c](write_step step) { return step == c.step ? c.code : 0; };
  std::string line;
  EXPECT_EQ(download(&line), c.reply);
  const std::string name = c.where == std::string("journal") ? journal_of(path) : path;
  const std::string says = std::string("error = \"") + flash_error_str(c.reply) +
                           "\") [host: " + name + ": " + strerror(c.code) + "]";
  EXPECT_NE(line.find(says), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Steps, SimJournalHostTrouble,
                         testing::Range(0, static_cast<int>(std::size(HOST_TROUBLE))),
                         [](const testing::TestParamInfo<int> &p) {
                           return HOST_TROUBLE[p.param].name;
                         });

// A write that failed half way keeps its journal, and the device completes
// it before it takes anything else; while it cannot, it refuses, and the
// file never mixes the two downloads.
TEST_F(SimJournal, KeptJournalIsCompletedBeforeTheNextDownload) {
  open_device();
  int apply_fails = EIO;
  t.nor.inject = [&apply_fails](write_step step) {
    return step == write_step::apply ? apply_fails : 0;
  };
  EXPECT_EQ(download(), ERR_REPROGRAM);
  ASSERT_EQ(access(journal_of(path).c_str(), F_OK), 0) << "no journal was kept";
  // Still failing: the next download is refused and the journal kept.
  std::string line;
  EXPECT_EQ(download(&line), ERR_ERASE);
  EXPECT_NE(line.find("[host: " + journal_of(path) + " is not yet in the file: "),
            std::string::npos)
      << line;
  ASSERT_EQ(access(journal_of(path).c_str(), F_OK), 0) << "the kept journal was lost";
  // Once the file takes writes again, the first download is completed
  // before the next is written over it.
  apply_fails = 0;
  image = pattern_bytes(IMAGE_SIZE, 23);
  EXPECT_EQ(download(), ERR_NONE);
  std::string both = fresh;
  program_flash(both, DEVICE_BLOCK, ADDRESS, image);
  EXPECT_TRUE(read_file(path) == both);
  EXPECT_NE(access(journal_of(path).c_str(), F_OK), 0);
}

// Names the simulator makes up beside the flash file, found taken by
// something it did not make: what is there is never followed or written
// through, and the file is made or changed only when the name is free.
enum class planted { symlink, hard_link, fifo };
enum class planted_when { before_creating, before_start, before_download };

struct planted_case {
  const char *name;
  const char *suffix;  // appended to the flash file's name
  planted what;
  planted_when when;
};

const planted_case PLANTED[] = {
    {.name = "SymlinkAtTemporary",
     .suffix = ".kesp-sim-new",
     .what = planted::symlink,
     .when = planted_when::before_creating},
    {.name = "HardLinkAtTemporary",
     .suffix = ".kesp-sim-new",
     .what = planted::hard_link,
     .when = planted_when::before_creating},
    {.name = "FifoAtTemporary",
     .suffix = ".kesp-sim-new",
     .what = planted::fifo,
     .when = planted_when::before_creating},
    {.name = "SymlinkAtJournalBeforeStart",
     .suffix = ".journal",
     .what = planted::symlink,
     .when = planted_when::before_start},
    {.name = "FifoAtJournalBeforeStart",
     .suffix = ".journal",
     .what = planted::fifo,
     .when = planted_when::before_start},
    {.name = "SymlinkAtJournal",
     .suffix = ".journal",
     .what = planted::symlink,
     .when = planted_when::before_download},
    {.name = "HardLinkAtJournal",
     .suffix = ".journal",
     .what = planted::hard_link,
     .when = planted_when::before_download},
    {.name = "FifoAtJournal",
     .suffix = ".journal",
     .what = planted::fifo,
     .when = planted_when::before_download},
};

constexpr unsigned PLANTED_WATCHDOG_S = 20;  // a FIFO followed would block for good

class SimJournalPlanted : public SimJournal, public testing::WithParamInterface<int> {
 protected:
  void TearDown() override {
    alarm(0);
    SimJournal::TearDown();
  }
};

TEST_P(SimJournalPlanted, IsRefusedNotFollowed) {
  const planted_case &c = PLANTED[GetParam()];
  alarm(PLANTED_WATCHDOG_S);
  const std::string victim = path + ".victim";
  const std::string kept = "someone else's file";
  write_file(victim, kept);
  const std::string name = path + c.suffix;
  auto plant = [&] {
    switch (c.what) {
      case planted::symlink:
        ASSERT_EQ(symlink(victim.c_str(), name.c_str()), 0);
        break;
      case planted::hard_link:
        ASSERT_EQ(link(victim.c_str(), name.c_str()), 0);
        break;
      case planted::fifo:
        ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
        break;
    }
  };
  t.nor = {"nor", 0x0101, DEVICE_SIZE, DEVICE_BLOCK, -1, {}, {}};
  if (c.when == planted_when::before_creating) {
    ASSERT_EQ(unlink(path.c_str()), 0);
  }
  if (c.when != planted_when::before_download) {
    plant();
    std::string why = open_backing_file(t.nor, path);
    EXPECT_NE(why.find(name + ": "), std::string::npos) << "not refused, naming it: " << why;
    EXPECT_NE(why.find("remove what is there"), std::string::npos) << why;
  } else {
    ASSERT_EQ(open_backing_file(t.nor, path), "");
    plant();
    EXPECT_EQ(download(), ERR_ERASE);
  }
  EXPECT_EQ(read_file(victim), kept) << "written through " << name;
  struct stat st {};
  EXPECT_EQ(lstat(name.c_str(), &st), 0) << "what was planted is gone";
  if (c.when == planted_when::before_creating) {
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the flash file was made through it";
  } else {
    EXPECT_TRUE(read_file(path) == old) << "the flash file changed";
  }
}

INSTANTIATE_TEST_SUITE_P(Names, SimJournalPlanted,
                         testing::Range(0, static_cast<int>(std::size(PLANTED))),
                         [](const testing::TestParamInfo<int> &p) {
                           return PLANTED[p.param].name;
                         });

}  // namespace
