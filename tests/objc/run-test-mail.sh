#!/usr/bin/env bash
# Runs one test Mail on an X display of its own (Xvfb, on a free display number) with
# GNUstep defaults of its own (GNUstep takes its defaults folder from its configuration
# file, not from $HOME), and ends the display with it.
#   run-test-mail.sh TEST_MAIL ARGS...
set -u
mail=$1
shift
work=$(mktemp -d)
xvfb=
cleanup() {
  # AppKit catches SIGTERM: only SIGKILL stops a stuck program.
  [ -n "$xvfb" ] && kill -KILL "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cat >"$work/GNUstep.conf" <<CONF
GNUSTEP_USER_DIR=$work/GNUstep
GNUSTEP_USER_DEFAULTS_DIR=$work/Defaults
GNUSTEP_USER_CONFIG_FILE=$work/GNUstep-user.conf
CONF
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
if [ ! -s "$work/display" ]; then
  echo "run-test-mail: Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
DISPLAY=":$(cat "$work/display")" GNUSTEP_CONFIG_FILE="$work/GNUstep.conf" HOME="$work" \
  timeout -s KILL 90 "$mail" "$@"
