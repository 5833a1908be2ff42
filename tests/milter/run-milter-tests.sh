#!/bin/sh
# The filter over the milter protocol, as a mail server talks to it (Debian's miltertest):
#   run-milter-tests.sh STOWLET SAMPLE
# Skips (exit 77) when miltertest is not there.
set -eu
stowlet=$1 sample=$2
here=$(cd "$(dirname "$0")" && pwd)
command -v miltertest >/dev/null || { echo "skipped: no miltertest"; exit 77; }
dir=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT

start() {  # start ARGS...: a filter on a socket of its own
  rm -f "$dir/sock"
  "$stowlet" milter --socket "unix:$dir/sock" --pid-file "$dir/pid" "$@" 2>>"$dir/log" &
  pid=$!
}
stop() {  # TERM ends it cleanly: exit 0, its pid file gone
  kill -TERM "$pid"
  wait "$pid" || { echo "the filter did not end cleanly"; cat "$dir/log"; exit 1; }
  pid=
  [ ! -e "$dir/pid" ] || { echo "the pid file stayed"; exit 1; }
}
check() {  # check SCRIPT
  miltertest -D "socket=unix:$dir/sock" -D "dir=$here" -D "sample=$sample" -s "$here/$1.lua" ||
    { echo "$1 failed"; cat "$dir/log"; exit 1; }
}

start
check QVMilterCases
check QVMilterTwenty
stop
printf 'size-limit = 2KB\nsignature-filename = email-signature\n' > "$dir/milter.conf"
start --config "$dir/milter.conf"
check QVMilterLimit
stop
# One line per message: 6 cases, 20 connections, the one above the limit.
lines=$(grep -c ' moved, ' "$dir/log")
[ "$lines" -eq 27 ] || { echo "$lines log lines for 27 messages"; cat "$dir/log"; exit 1; }
grep -q 'passed (larger than the size limit)' "$dir/log" || { cat "$dir/log"; exit 1; }
echo "milter protocol: every case as expected"
