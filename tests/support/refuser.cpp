// Holds port 57000 of a free loopback address without listening, so that
// every connection to it is refused, and prints the address: a board that
// is not there, for the shell tests. Runs until it gets a signal.
#include <unistd.h>

#include <cstdio>

#include "support.h"

int main() {
  refusing_address nobody;
  if (nobody.address().empty()) {
    fputs("refuser: no free loopback address\n", stderr);
    return 1;
  }
  printf("%s\n", nobody.address().c_str());
  fflush(stdout);
  pause();
  return 0;
}
