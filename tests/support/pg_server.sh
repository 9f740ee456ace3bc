#!/usr/bin/env bash
# A PostgreSQL server of the tests' own, in a folder, listening on a Unix
# socket in that folder only, run as the unprivileged user Debian's
# package creates.
# usage: pg_server.sh start DIR [PID]   prints the server's URL base; with
#                                      PID, the server is also stopped and
#                                      DIR removed once PID has gone, so a
#                                      test killed at its time limit leaves
#                                      no server behind
#        pg_server.sh stop DIR    stops it and removes DIR
#        pg_server.sh halt DIR    stops it at once, keeping DIR (restart with start)
# start exits 77 when the server cannot be run here (not root, or no
# PostgreSQL binaries), with the reason on standard error.
set -u
action=$1 dir=$2
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
as_postgres() { runuser -u postgres -- "$@"; }

case $action in
start)
  if [[ -z $bin || ! -x $bin/initdb ]]; then
    echo "skipped: no PostgreSQL server binaries (apt-get install postgresql)" >&2
    exit 77
  fi
  if [[ $(id -u) -ne 0 ]] || ! id postgres >/dev/null 2>&1; then
    echo "skipped: the server runs as the user postgres, which takes root" >&2
    exit 77
  fi
  mkdir -p "$dir" && chown postgres "$dir" && chmod 700 "$dir" || exit 1
  if [[ ! -e $dir/data/PG_VERSION ]]; then
    as_postgres "$bin/initdb" -D "$dir/data" -A trust -U postgres --no-sync >"$dir/initdb.log" 2>&1 ||
      { cat "$dir/initdb.log" >&2; exit 1; }
  fi
  # fsync=off: the tests crash the server, never the machine, and a commit
  # written to the kernel outlives a killed server. With fsync on, every
  # start after a halt first synced the whole data folder, which on a busy
  # machine alone outlasted the wait for the server.
  as_postgres timeout 55 "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 50 \
    -o "-c listen_addresses='' -k $dir -c max_connections=60 -c fsync=off" start >/dev/null ||
    { cat "$dir/server.log" >&2; exit 1; }
  if [[ -n ${3:-} ]]; then
    setsid -f bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done; exec bash "$2" stop "$3"' \
      _ "$3" "$0" "$dir" </dev/null >/dev/null 2>&1
  fi
  echo "postgresql:///?host=$dir&user=postgres"
  ;;
stop | halt)
  # halt is a crash as clients see it: connections cut without goodbye,
  # the next statement answered by an error on a connection that still
  # looks good.
  mode=fast
  [[ $action == halt ]] && mode=immediate
  [[ -n $bin && -e $dir/data/postmaster.pid ]] &&
    as_postgres timeout 30 "$bin/pg_ctl" -D "$dir/data" -m $mode -w -t 20 stop >/dev/null 2>&1
  [[ $action == stop ]] && rm -rf "$dir"
  exit 0
  ;;
esac
