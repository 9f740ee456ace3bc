#include "checks.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "net.h"
#include "reach.h"
#include "text.h"
#include "wire.h"

namespace {

constexpr size_t ERRORS_SHOWN = 20;  // check failures listed before "and N more"

std::string lower(std::string text) {
  for (char &c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// The folder is made only once the run starts; here it must exist, or
// its parent, and be writable.
bool check_log_dir(const std::string &dir, std::string *error) {
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) {
    int err = errno;
    std::string parent = folder_of(dir);
    if (err != ENOENT || stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      *error = "--log-dir " + dir + ": " + strerror(err);
      return false;
    }
    if (access(parent.c_str(), W_OK | X_OK) != 0) {
      *error = "--log-dir " + dir + ": " + strerror(errno);
      return false;
    }
    return true;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = "--log-dir " + dir + ": not a folder";
    return false;
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    *error = "--log-dir " + dir + ": " + strerror(errno);
    return false;
  }
  return true;
}

// Each board once, even when written with other capitals, and each with a
// log of its own.
bool check_names(const plan &p, std::string *error) {
  std::map<std::string, std::string> seen;  // lower-case name -> board
  for (const board &b : p.boards) {
    // An interface's name is taken as written: eth1 and ETH1 may both exist.
    std::string host = b.name.substr(0, b.name.find('%'));
    std::string key = lower(host) + b.name.substr(host.size());
    auto [at, fresh] = seen.emplace(key, b.name);
    if (!fresh) {
      *error = "board " + b.name + " is given twice";
      if (at->second != b.name) *error += " (as " + at->second + ")";
      return false;
    }
  }
  if (p.opt.log_dir.empty()) return true;
  std::map<std::string, std::string> logs;  // log name -> board
  for (const board &b : p.boards) {
    auto [at, fresh] = logs.emplace(b.log_name, b.name);
    if (!fresh) {
      *error = "boards " + at->second + " and " + b.name + " would share the log " + b.log_name;
      return false;
    }
  }
  return p.opt.dry_run || check_log_dir(p.opt.log_dir, error);
}

// A start has no image; one made for each unit as it begins is
// snapshotted by the station then. Whether s is either: its place in the
// board's lists is then kept.
bool unchecked_image(const step &s, const std::string &file, board *b) {
  if (s.mode != step_mode::start && !per_unit_image(s)) return false;
  std::string shown;
  if (s.mode != step_mode::start) shown = s.command.empty() ? file : "$(" + s.command + ")";
  b->files.push_back(shown);
  b->sizes.push_back(0);
  b->copies.push_back(0);
  return true;
}

// Fills every board's files, sizes and copies; the images that cannot be
// sent go to *problems. Boards mostly share their images: each file is
// copied once.
void check_images(plan *p, std::vector<std::string> *problems) {
  std::map<std::string, std::pair<std::string, size_t>> checked;  // file -> why not, copy
  p->images.clear();
  for (board &b : p->boards) {
    b.files.clear();
    b.sizes.clear();
    b.copies.clear();
    for (const step &s : p->steps) {
      std::string file = board_file(s.file, b.name);
      if (unchecked_image(s, file, &b)) continue;
      auto at = checked.find(file);
      if (at == checked.end()) {
        snapshot copy;
        std::string why = copy.take(file);
        at = checked.emplace(file, std::make_pair(why, p->images.size())).first;
        if (why.empty()) p->images.push_back(std::move(copy));
        std::string which = s.file == file ? "" : cat({" (board ", b.name, ")"});
        if (!why.empty())
          problems->push_back(cat({"image ", file, which, ", ", s.origin, ": ", why}));
      }
      bool good = at->second.first.empty();
      b.files.push_back(file);
      b.sizes.push_back(good ? p->images[at->second.second].size() : 0);
      b.copies.push_back(at->second.second);
    }
  }
}

// Each image must end within the flash's 32-bit addresses: the target
// refuses one that runs past them only after its last byte was sent.
void check_ends(const plan &p, std::vector<std::string> *problems) {
  constexpr uint64_t ADDRESSES = uint64_t{1} << 32;
  for (size_t i = 0; i < p.steps.size(); ++i) {
    const step &s = p.steps[i];
    if (s.mode == step_mode::start) continue;
    for (const board &b : p.boards) {
      if (uint64_t{s.address} + b.sizes[i] <= ADDRESSES) continue;
      char at[16];
      snprintf(at, sizeof at, "0x%x", s.address);
      problems->push_back(
          cat({"image ", b.files[i], ", ", s.origin, ": its ", std::to_string(b.sizes[i]),
               " bytes at ", at, " run past the flash's 32 bits (to 0xffffffff)"}));
      break;
    }
  }
}

// Words /bin/sh takes itself, before any search: a command that starts
// with one is not judged here.
const char *const SHELL_WORDS[] = {
    "!",        "{",      "}",      "case",  "do",      "done",   "elif",  "else",
    "esac",     "fi",     "for",    "if",    "in",      "then",   "until", "while",
    ".",        ":",      "[",      "alias", "bg",      "break",  "cd",    "command",
    "continue", "echo",   "eval",   "exec",  "exit",    "export", "false", "fg",
    "getopts",  "hash",   "jobs",   "kill",  "local",   "printf", "pwd",   "read",
    "readonly", "return", "set",    "shift", "source",  "test",   "times", "trap",
    "true",     "type",   "ulimit", "umask", "unalias", "unset",  "wait"};

// The program a command runs as the shell would find it, its first word:
// "" when that word is not plain text (quoted, expanded, an assignment, a
// redirection) or is the shell's own.
std::string program_of(const std::string &command) {
  size_t begin = command.find_first_not_of(" \t\n");
  if (begin == std::string::npos) return "";
  size_t end = command.find_first_of(" \t\n;&|<>()$`\\\"'*?[]{}~=#", begin);
  if (end == std::string::npos) end = command.size();
  if (end == begin ||
      (end < command.size() && std::string(" \t\n;&|").find(command[end]) == std::string::npos)) {
    return "";
  }
  std::string word = command.substr(begin, end - begin);
  return std::ranges::any_of(SHELL_WORDS, [&](const char *w) { return word == w; }) ? "" : word;
}

// Why the file at path cannot be run, or "".
std::string not_runnable(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return strerror(errno);
  if (S_ISDIR(st.st_mode)) return "a folder";
  if (access(path.c_str(), X_OK) != 0) return strerror(errno);
  return "";
}

// A per-unit command's program must be there when the first board comes:
// found from the folder the command runs in (the recipe's), by a path or
// through PATH, and executable. The command itself is not run: it may
// have side effects. Why not, or "".
std::string check_command(const step &s) {
  std::string folder = s.folder.empty() ? "." : s.folder;
  std::string where = cat({s.origin, ": --from-command '", s.command, "': "});
  if (access(folder.c_str(), X_OK) != 0) {
    return cat({where, "it runs in the recipe's folder ", folder, ": ", strerror(errno)});
  }
  std::string program = program_of(s.command);
  if (program.empty()) return "";
  std::string inside = cat({" (commands run in the recipe's folder ", folder, ")"});
  if (program.find('/') != std::string::npos) {
    std::string path = program[0] == '/' || folder == "." ? program : cat({folder, "/", program});
    std::string why = not_runnable(path);
    return why.empty() ? "" : cat({where, program, ": ", why, inside});
  }
  const char *search = getenv("PATH");
  if (search == nullptr) return "";
  std::string dirs = search;
  size_t at = 0;
  for (;;) {
    size_t colon = dirs.find(':', at);
    std::string dir = dirs.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
    // An empty entry is the working folder. push_back, not = ".": GCC 12
    // at -O3 takes the latter for an overlapping copy (-Wrestrict).
    if (dir.empty()) dir.push_back('.');
    if (dir[0] != '/' && folder != ".") dir = cat({folder, "/", dir});
    if (not_runnable(cat({dir, "/", program})).empty()) return "";
    if (colon == std::string::npos) break;
    at = colon + 1;
  }
  return cat({where, program, ": not found in PATH", inside});
}

}  // namespace

size_t count_images(const plan &p) {
  std::set<std::string> files;
  for (const board &b : p.boards) {
    for (const step &s : p.steps) {
      if (s.mode != step_mode::start && !per_unit_image(s)) files.insert(board_file(s.file, b.name));
    }
  }
  return files.size();
}

bool check_plan(plan *p, std::string *error) {
  if (!check_names(*p, error)) return false;
  std::vector<std::string> problems;
  check_images(p, &problems);
  check_ends(*p, &problems);
  for (const step &s : p->steps) {
    if (s.command.empty()) continue;
    std::string why = check_command(s);
    if (!why.empty()) problems.push_back(why);
  }
  if (problems.empty()) return true;
  std::string all;
  for (size_t i = 0; i < problems.size() && i < ERRORS_SHOWN; ++i) {
    all += i == 0 ? "" : "\nkesp-batch: ";
    all += problems[i];
  }
  if (problems.size() > ERRORS_SHOWN) {
    all += "\nkesp-batch: and " + std::to_string(problems.size() - ERRORS_SHOWN) + " more";
  }
  *error = all;
  return false;
}

namespace {

// An interface named after a "%" must exist, and be one this process may
// bind its sockets to, before anything is sent. False with *error.
bool check_interface(const board &b, std::string *error) {
  if (if_nametoindex(b.interface.c_str()) == 0) {
    *error = "board " + b.name + ": no network interface " + b.interface;
    return false;
  }
  std::string why;
  int sock = open_board_socket(b, &why);
  if (sock < 0) {
    *error = "board " + b.name + ": " + why;
    return false;
  }
  close(sock);
  return true;
}

}  // namespace

bool resolve_boards(plan *p, std::string *error) {
  // Boards on separate interfaces may share an address: a slot is its
  // interface and address together.
  std::map<std::pair<std::string, in_addr_t>, std::string> taken;
  for (board &b : p->boards) {
    if (!b.interface.empty() && !check_interface(b, error)) return false;
    std::string host = b.name.substr(0, b.name.find('%'));
    if (const char *why = resolve_host(host.c_str(), &b.address.sin_addr)) {
      b.resolve_error = why;
      continue;
    }
    b.address.sin_family = AF_INET;
    b.address.sin_port = htons(LOADER_PORT);
    b.resolved = true;
    auto [at, fresh] = taken.emplace(std::make_pair(b.interface, b.address.sin_addr.s_addr), b.name);
    if (!fresh) {
      char text[INET_ADDRSTRLEN];
      address_text(b.address.sin_addr, text);
      *error = "boards " + at->second + " and " + b.name + " are the same board (" + text + ")";
      return false;
    }
  }
  return true;
}
