# Sourced by the shell tests: a failed check is reported and remembered, so
# that one run shows every failing check; each test ends with exit "$status".
status=0
fail() {
  echo "FAIL: $*"
  status=1
}
