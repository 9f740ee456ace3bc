#include "outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

namespace {

// Beside the JUnit file, in the same folder so that the rename at the end
// is one step: the file is absent or whole whenever anyone looks.
constexpr char JUNIT_TEMP_SUFFIX[] = ".kesp-batch-new";

std::string resolved(const std::string &path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
  return ec ? path : p.string();
}

// A file as the checks compare it: by device and inode where it exists,
// else by the path it would be made at. "" for a device or a FIFO, which
// hold nothing a run could destroy.
std::string identity(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return "";
    return "inode " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }
  return "path " + resolved(path);
}

// The JUnit file's real place: a link the user named is followed to its
// file, as any program writing that name would.
std::string junit_target(const std::string &junit) {
  struct stat st {};
  if (lstat(junit.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return resolved(junit);
  return junit;
}

// Written in place: a device or FIFO named as the JUnit file, which a
// rename would replace rather than write to.
bool junit_in_place(const std::string &junit) {
  struct stat st {};
  return stat(junit.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

std::string log_path(const plan &p, const board &b) { return p.opt.log_dir + "/" + b.log_name; }

// A name in --log-dir where a log will be made must hold nothing but an
// older log: a link there is not followed, a file with other names not
// emptied.
bool check_log_names(const plan &p, std::string *error) {
  if (p.opt.log_dir.empty()) return true;
  for (const board &b : p.boards) {
    std::string path = log_path(p, b);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    const char *what = S_ISLNK(st.st_mode)    ? "a symbolic link"
                       : !S_ISREG(st.st_mode) ? "not a regular file"
                       : st.st_nlink > 1      ? "a file with other names"
                                              : nullptr;
    if (what != nullptr) {
      *error = "--log-dir " + p.opt.log_dir + ": " + path + " is " + what +
               "; a board's log is written only as a plain file of its own";
      return false;
    }
  }
  return true;
}

// Takes the run's lock on fd's file. Files of other kinds are not locked;
// neither are files where the system has no locks to give.
bool lock(int fd, const std::string &what, std::string *error) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return true;
  // A POSIX record lock, not flock: the system reports which process holds it.
  struct flock want {};
  want.l_type = F_WRLCK;
  want.l_whence = SEEK_SET;
  if (fcntl(fd, F_SETLK, &want) == 0) return true;
  if (errno != EACCES && errno != EAGAIN) return true;
  std::string holder;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK && probe.l_pid > 0) {
    holder = " (process " + std::to_string(probe.l_pid) + ")";
  }
  *error = what + ": in use by another run" + holder;
  return false;
}

bool claim_report(const plan &p, output_files *out, std::string *error) {
  const std::string &report = p.opt.report;
  if (report.empty()) return true;
  if (report == "-") {
    out->report = STDOUT_FILENO;
    return true;
  }
  // Not emptied yet: that waits until the run is sure to start.
  int fd = open(report.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0 && errno == ENOENT) {
    fd = open(report.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    out->report_created = fd >= 0;
  }
  if (fd < 0) {
    *error = "--report " + report + ": " + strerror(errno);
    return false;
  }
  out->report = fd;
  return lock(fd, "--report " + report, error);
}

// The temporary's name is fixed, so that a run that ended without
// finishing leaves one file, which the next run takes over once it has
// made sure it is a plain file of ours that no run at work holds.
bool claim_junit(const plan &p, output_files *out, std::string *error) {
  const std::string &junit = p.opt.junit;
  if (junit.empty()) return true;
  std::string what = "--junit " + junit;
  if (junit_in_place(junit)) {
    out->junit = open(junit.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (out->junit >= 0) return true;
    *error = what + ": " + strerror(errno);
    return false;
  }
  out->junit_final = junit_target(junit);
  out->junit_temp = out->junit_final + JUNIT_TEMP_SUFFIX;
  const std::string &temp = out->junit_temp;
  int fd =
      open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd >= 0) {
    out->junit = fd;
    out->junit_temp_created = true;
    return lock(fd, what, error);
  }
  if (errno != EEXIST) {
    *error = what + ": " + temp + ": " + strerror(errno);
    return false;
  }
  struct stat named {};
  if (lstat(temp.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) {
    *error = what + ": " + temp + " is " +
             (S_ISLNK(named.st_mode) ? "a symbolic link" : "not a regular file") +
             ", which kesp-batch does not follow or reuse; remove it";
    return false;
  }
  fd = open(temp.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) {
    *error = what + ": " + temp + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  out->junit = fd;
  if (!lock(fd, what, error)) return false;
  // Checked with the lock held: a run that held it may have renamed it
  // into place since it was opened.
  struct stat now {};
  bool same = lstat(temp.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
  if (!same || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid()) {
    *error = what + ": " + temp + " is not a plain file of this user's with one name; remove it";
    return false;
  }
  return true;
}

// Undoes a claim that failed: what was created goes, the rest is as it was.
void release(const plan &p, output_files *out) {
  if (out->report >= 0 && out->report != STDOUT_FILENO) close(out->report);
  if (out->junit >= 0) close(out->junit);
  if (out->report_created) unlink(p.opt.report.c_str());
  if (out->junit_temp_created) unlink(out->junit_temp.c_str());
  *out = output_files{};
}

// Files by path, each with what it is to the run, for messages.
using named_files = std::vector<std::pair<std::string, std::string>>;

named_files inputs_of(const plan &p) {
  named_files inputs;
  for (const board &b : p.boards) {
    for (const std::string &file : b.files) {
      if (!file.empty()) inputs.emplace_back(file, "the image " + file);
    }
  }
  if (!p.recipe_file.empty()) inputs.emplace_back(p.recipe_file, "the recipe " + p.recipe_file);
  std::transform(
      p.board_lists.begin(), p.board_lists.end(), std::back_inserter(inputs),
      [](const std::string &list) { return std::make_pair(list, "the board list " + list); });
  return inputs;
}

named_files outputs_of(const plan &p) {
  named_files outputs;
  if (!p.opt.log_dir.empty()) {
    for (const board &b : p.boards) {
      std::string log = log_path(p, b);
      outputs.emplace_back(log, "the log of board " + b.name + ", " + log);
    }
  }
  if (!p.opt.report.empty()) outputs.emplace_back(p.opt.report, "--report " + p.opt.report);
  if (!p.opt.junit.empty() && !junit_in_place(p.opt.junit)) {
    std::string temp = junit_target(p.opt.junit) + JUNIT_TEMP_SUFFIX;
    outputs.emplace_back(p.opt.junit, "--junit " + p.opt.junit);
    outputs.emplace_back(temp, "the JUnit file's temporary " + temp);
  }
  return outputs;
}

}  // namespace

bool check_outputs(const plan &p, std::string *error) {
  if (!check_log_names(p, error)) return false;
  std::map<std::string, std::string> seen;  // identity -> what the file is
  for (const auto &[path, what] : inputs_of(p)) {
    std::string id = path == "-" ? "" : identity(path);
    if (!id.empty()) seen.emplace(id, what);
  }
  for (const auto &[path, what] : outputs_of(p)) {
    std::string id = path == "-" ? "" : identity(path);
    if (id.empty()) continue;
    auto [at, fresh] = seen.emplace(id, what);
    if (!fresh) {
      *error = what + ": the same file as " + at->second;
      return false;
    }
  }
  return true;
}

bool claim_outputs(const plan &p, output_files *out, std::string *error) {
  if (!claim_report(p, out, error) || !claim_junit(p, out, error)) {
    release(p, out);
    return false;
  }
  // Every check has passed: now the outputs may change.
  bool made_dir = false;
  const std::string &dir = p.opt.log_dir;
  if (!dir.empty()) {
    made_dir = mkdir(dir.c_str(), 0777) == 0;
    if (!made_dir && errno != EEXIST) {
      *error = "--log-dir " + dir + ": " + strerror(errno);
      release(p, out);
      return false;
    }
  }
  // A JUnit file that exists belongs to its run: an older one goes now.
  if (!out->junit_temp.empty() && unlink(out->junit_final.c_str()) != 0 && errno != ENOENT) {
    *error = "--junit " + p.opt.junit + ": " + strerror(errno);
    if (made_dir) rmdir(dir.c_str());
    release(p, out);
    return false;
  }
  struct stat st {};
  if (out->report >= 0 && out->report != STDOUT_FILENO && fstat(out->report, &st) == 0 &&
      S_ISREG(st.st_mode) && ftruncate(out->report, 0) != 0) {
    *error = "--report " + p.opt.report + ": " + strerror(errno);
    return false;
  }
  if (!out->junit_temp.empty() && ftruncate(out->junit, 0) != 0) {
    *error = "--junit " + p.opt.junit + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool write_whole(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

int open_log(const std::string &path, bool fresh, std::string *why) {
  int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  int fd = open(path.c_str(), fresh ? flags : flags | O_APPEND, 0666);
  if (fd < 0) {
    *why = errno == ELOOP ? "a symbolic link, not followed" : strerror(errno);
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    *why = "not a plain file of one name, not written";
    close(fd);
    return -1;
  }
  if (fresh && ftruncate(fd, 0) != 0) {
    *why = strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

int open_new_log(const std::string &path, std::string *why) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) *why = errno == EEXIST ? "exists already, not written over" : strerror(errno);
  return fd;
}
