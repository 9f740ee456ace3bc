// kesp: loads a firmware image into the flash of a target device through
// the loader service it runs on TCP port 57000.
#include "kesp.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "download.h"
#include "net.h"
#include "stdfds.h"
#include "wire.h"

namespace {

// Resolves host to its first IPv4 address; exits on failure.
in_addr resolve(const char *host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  int rc = getaddrinfo(host, nullptr, &hints, &found);
  if (rc != 0) {
    fprintf(stderr, "get host by name: %s\n",
            rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc));
    exit(-1);
  }
  in_addr addr = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return addr;
}

int connect_target(const char *host) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(LOADER_PORT);
  target.sin_addr = resolve(host);

  int sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock < 0) {
    perror("create socket");
    exit(-1);
  }
  enable_dead_peer_detection(sock);
  if (connect_bounded(sock, target) < 0) {
    perror("connect");
    exit(-1);
  }
  return sock;
}

// The verdict reaches the caller only through standard output, so a
// failure to write it there must not pass for a finished run.
bool flush_stdout() {
  int failed = stdout_failure();
  errno = 0;
  if (fflush(stdout) == 0 && failed == 0 && ferror(stdout) == 0) return true;
  if (failed == 0) failed = errno != 0 ? errno : EIO;
  fprintf(stderr, "kesp: standard output: %s\n", strerror(failed));
  return false;
}

void apply_address(const char *arg, command_line *cmd) {
  uint32_t value = 0;
  if (!parse_address(arg, &value) && cmd->bad_address == nullptr) cmd->bad_address = arg;
  cmd->address = value;
  cmd->flags |= FLAG_ADDRESS;
}

void take_operand(const char *word, command_line *cmd) {
  if (cmd->host == nullptr) {
    cmd->host = word;
  } else if (cmd->filename == nullptr) {
    cmd->filename = word;
  }
}

// Applies the option letters of argv[i] and returns the index of the last
// word used, which is the next one when -a ends the word.
int scan_option_word(int argc, char *const argv[], int i, command_line *cmd) {
  for (const char *letter = argv[i] + 1; *letter != '\0'; ++letter) {
    switch (*letter) {
      case 'a':
        if (letter[1] != '\0') {
          apply_address(letter + 1, cmd);
        } else if (i + 1 < argc) {
          apply_address(argv[++i], cmd);
        }
        return i;
      case 'c':
        cmd->flags |= FLAG_COMPARE;
        break;
      case 'n':
        cmd->flags |= FLAG_NAND | FLAG_ADDRESS;
        break;
      case 's':
        cmd->start = true;
        break;
      default:  // unknown letters are ignored without a word
        break;
    }
  }
  return i;
}

}  // namespace

bool parse_address(const char *text, uint32_t *address) {
  const char *p = text;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // Only digits may follow the sign; strtoull given the rest would also
  // take a second sign or more blanks.
  if (!isdigit(static_cast<unsigned char>(*p))) {
    *address = 0;
    return false;
  }
  char *end = nullptr;
  errno = 0;
  unsigned long long magnitude = strtoull(p, &end, 0);
  if (errno == ERANGE || magnitude > UINT32_MAX) {
    *address = UINT32_MAX;
  } else {
    auto value = static_cast<uint32_t>(magnitude);
    *address = negative ? 0U - value : value;
  }
  return *end == '\0';
}

// Written by hand rather than with getopt: operands may stand before,
// between or after the options, and the platform's getopt either reorders
// the vector or, kept in order, loses its place after a "--".
void scan_args(int argc, char *const argv[], command_line *cmd) {
  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i];
    if (strcmp(word, "--") == 0) {
      if (i + 1 < argc) take_operand(argv[++i], cmd);
    } else if (word[0] != '-' || word[1] == '\0') {
      take_operand(word, cmd);
    } else if (word[1] != '-') {
      i = scan_option_word(argc, argv, i, cmd);
    }
    // else a long option: none is known, so it is ignored like an unknown letter
  }
}

void do_usage(const char *progname) {
  printf("usage: %s -[csn] -[a <address>] <host> [filename]\n", progname);
  printf("\n");
  printf("-a <address> - place data in flash at <address>\n");
  printf("-c           - compare only (no update)\n");
  printf("-s           - start program\n");
  printf("-n           - select nand device as flash\n");
}

int main(int argc, char *argv[]) {
  // Before anything is opened: with a standard descriptor closed, the
  // socket would take its number and our own text would go to the target.
  if (!open_std_fds()) return -1;
  // A reader of our output that goes away must not end the transaction
  // half way: the failed write is reported at the end instead.
  signal(SIGPIPE, SIG_IGN);
  // A bar per 256 bytes is a quarter of the image again in output; into a
  // file or a pipe it goes in large writes. A terminal keeps its own
  // buffering, so the bar still moves there.
  if (isatty(STDOUT_FILENO) == 0) {
    static char out_buffer[64 * 1024];
    setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  }
  command_line cmd;
  scan_args(argc, argv, &cmd);
  if (cmd.host == nullptr || (!cmd.start && cmd.filename == nullptr)) {
    do_usage(argc > 0 ? argv[0] : "kesp");
    exit(-1);
  }
  if (cmd.bad_address != nullptr) {
    fprintf(stderr, "kesp: invalid address: %s\n", cmd.bad_address);
    exit(-1);
  }

  int sock = connect_target(cmd.host);
  if (cmd.start) {
    transaction t;
    txn_begin_start(&t);
    const uint8_t *request = nullptr;
    size_t n = txn_request_bytes(&t, &request);
    send_all(sock, request, n);
  } else {
    download_file(sock, cmd.filename, cmd.flags, cmd.address);
  }
  close(sock);
  return flush_stdout() ? 0 : -1;
}
