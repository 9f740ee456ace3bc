// The files a run writes, claimed before the run and made only once every
// check has passed: an output may name no input and no other output, a
// report another run is writing is not shared, and a file whose name we
// make up is never written through a link planted at that name.
#pragma once

#include <string>

#include "plan.h"

// What claim_outputs hands over; descriptors are -1 when not used.
struct output_files {
  int report = -1;          // the JSON Lines report, or standard output for "-"
  int junit = -1;           // the JUnit file's temporary, or the named file itself
  std::string junit_temp;   // the temporary's name; "" when written in place
  std::string junit_final;  // the name the temporary takes at the end
  bool report_created = false;
  bool junit_temp_created = false;
};

// The checks that change nothing on disk: every output against the inputs
// and the other outputs, by device and inode or by resolved path where it
// does not exist yet, and the names in --log-dir. False with *error.
bool check_outputs(const plan &p, std::string *error);

// Opens and locks the report and the JUnit file's temporary, then, when
// both are had, makes the log folder, removes a stale JUnit file and
// empties the report. On failure whatever it created is removed again and
// nothing else has changed. False with *error.
bool claim_outputs(const plan &p, output_files *out, std::string *error);

// Writes all of text to fd, again after a short write. False with errno.
bool write_whole(int fd, const std::string &text);

// Opens a board's log in a folder, fresh (emptied) or to append, as the
// plain file of one name it must be: a link, a file of other kinds or one
// with more names is refused, never followed. -1 with *why.
int open_log(const std::string &path, bool fresh, std::string *why);
// Makes a log that must not exist yet: nothing at path, whatever it is,
// is opened or written. -1 with *why.
int open_new_log(const std::string &path, std::string *why);
