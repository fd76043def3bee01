#!/usr/bin/env bash
# An ordinary user runs the simulator program and the real console together,
# with neither root nor the dialout group.
#
#   run-as-user-test.sh BUILD_DIR
#
# BUILD_DIR holds tools/dongle-sim/koravel-dongle-sim and
# console/qt/tests/koravel_qt_test. Run as root (as in CI) it makes the
# system user koravel-test if it is missing and does every step as that user,
# without supplementary groups; run as anyone else it does them as that user.
# The user gets a runtime folder of its own (XDG_RUNTIME_DIR) and a home in a
# throw-away directory. Steps: the simulator program is started (no --link:
# it puts its link in the user's port folder), then one test of
# koravel_qt_test opens the console's port list, finds that link, picks it
# and waits for the dongle's answer; the simulator is stopped and its link
# must be gone. Prints one ok / not ok line per check and a summary; exits 1
# when a check failed.
set -u

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
BUILD_DIR=$(cd "$1" && pwd) || exit 2
SIM=$BUILD_DIR/tools/dongle-sim/koravel-dongle-sim
QT_TEST=$BUILD_DIR/console/qt/tests/koravel_qt_test
TEST_NAME=UserPortFolderTest.TheConsoleListsAndPicksThePortNamedInKvPortToPick
TEST_USER=koravel-test

passed=0
failed=0
ok() { echo "ok - $*"; passed=$((passed + 1)); }
not_ok() { echo "not ok - $*"; failed=$((failed + 1)); }
# Shows a file's lines under the last check.
show() { [ -s "$1" ] && sed 's/^/#   /' "$1"; }
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit $?
}

for f in "$SIM" "$QT_TEST"; do
  if [ ! -x "$f" ]; then
    not_ok "$f is built"
    finish
  fi
done

work=$(mktemp -d /tmp/koravel-user-test.XXXXXX) || exit 2
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  [ -n "${denied_pid:-}" ] && kill "$denied_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

if [ "$(id -u)" -eq 0 ]; then
  if ! id -u "$TEST_USER" >/dev/null 2>&1; then
    if useradd --system --no-create-home --shell /usr/sbin/nologin "$TEST_USER"; then
      ok "made the system user $TEST_USER"
    else
      not_ok "made the system user $TEST_USER"
      finish
    fi
  fi
  user_uid=$(id -u "$TEST_USER")
  user_gid=$(id -g "$TEST_USER")
  as_user_prefix=(setpriv --reuid="$user_uid" --regid="$user_gid" --clear-groups --)
  chmod 755 "$work"
else
  user_uid=$(id -u)
  as_user_prefix=()
fi

# The user's own folders: the runtime folder (where the port folder goes)
# and a home, as a login would give them.
mkdir -m 0700 "$work/runtime" "$work/home"
[ "$(id -u)" -eq 0 ] && chown "$user_uid:$user_gid" "$work/runtime" "$work/home"
# A simple command, not a function: run in the background it keeps its
# process id through setpriv and env, so $! is the simulator itself.
as_user() { "${as_user_prefix[@]}" "$@"; }
user_env=(env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime"
          QT_QPA_PLATFORM=offscreen LANG=C.UTF-8)

uid_seen=$(as_user id -u)
groups_seen=$(as_user id -G)
if [ "$uid_seen" != 0 ] && ! as_user id -Gn | grep -qw dialout; then
  ok "steps run as uid $uid_seen (groups $groups_seen): not root, not in dialout"
else
  not_ok "steps run as an ordinary user (uid $uid_seen, groups $groups_seen)"
  finish
fi

# The build tree, or copies of the two programs, must be runnable by them.
if as_user test -x "$SIM" && as_user test -x "$QT_TEST"; then
  ok "the user can run the programs in $BUILD_DIR"
else
  mkdir -m 0755 "$work/bin"
  cp "$SIM" "$QT_TEST" "$work/bin/"
  chmod 0755 "$work/bin"/*
  SIM=$work/bin/$(basename "$SIM")
  QT_TEST=$work/bin/$(basename "$QT_TEST")
  if as_user test -x "$SIM" && as_user test -x "$QT_TEST"; then
    ok "the user can run copies of the programs in $work/bin ($BUILD_DIR is closed to them)"
  else
    not_ok "the user can run the programs"
    finish
  fi
fi

# The simulator program, as the user: its first line is the pty's path.
"${as_user_prefix[@]}" "${user_env[@]}" "$SIM" --quiet --duration 60 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
pty=
for _ in $(seq 100); do
  pty=$(head -n 1 "$work/sim.out" 2>/dev/null)
  [ -n "$pty" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.05
done
if [ -n "$pty" ] && [ -e "$pty" ] && [ "$(stat -c %u "$pty")" = "$user_uid" ]; then
  ok "the simulator runs as the user on $pty, which the user owns"
else
  not_ok "the simulator starts as the user (pty '${pty}')"
  show "$work/sim.err"
  finish
fi

folder=$work/runtime/koravel
link=$(find "$folder" -maxdepth 1 -name 'dongle-sim-*' -type l 2>/dev/null | head -n 1)
if [ -n "$link" ] && [ "$(readlink "$link")" = "$pty" ] && [ "$(stat -c '%u %a' "$folder")" = "$user_uid 700" ]; then
  ok "its link $link points at $pty, in the user's own port folder (mode 700)"
else
  not_ok "the simulator puts a link to $pty in $folder"
  ls -la "$folder" 2>&1 | sed 's/^/#   /'
  show "$work/sim.err"
  finish
fi

# As root: a serial device of the dialout group that the user may not open,
# in the user's port folder (a pseudo-terminal standing in for it).
denied_env=()
denied_pid=
if [ "$(id -u)" -eq 0 ] && getent group dialout >/dev/null; then
  python3 -c 'import os, pty, sys, time
m, s = pty.openpty()
print(os.ttyname(s), flush=True)
time.sleep(120)' >"$work/denied.out" &
  denied_pid=$!
  for _ in $(seq 100); do
    denied_pty=$(head -n 1 "$work/denied.out" 2>/dev/null)
    [ -n "$denied_pty" ] && break
    sleep 0.05
  done
  if [ -n "$denied_pty" ] && chgrp dialout "$denied_pty" && chmod 0660 "$denied_pty" &&
     ln -s "$denied_pty" "$folder/adapter-denied"; then
    denied_env=(KV_PORT_DENIED="$folder/adapter-denied")
  else
    not_ok "a dialout device the user may not open is set up"
  fi
fi

# The real console, as the user: lists the link when the list is opened,
# picks it, and the dongle answers (and says what to do about a port it may
# not open).
as_user "${user_env[@]}" KV_PORT_TO_PICK="$link" "${denied_env[@]}" "$QT_TEST" --gtest_filter="$TEST_NAME" \
  >"$work/console.out" 2>&1
rc=$?
if [ "$rc" -eq 0 ] && grep -q "^\[       OK \] $TEST_NAME" "$work/console.out"; then
  ok "the console, as the user, lists $link, picks it and shows the dongle${denied_env:+; a dialout device it may not open is explained}"
else
  not_ok "the console, as the user, lists $link, picks it and shows the dongle (exit $rc)"
  show "$work/console.out"
fi

# Stopped, the simulator takes its link away.
kill "$sim_pid" 2>/dev/null
wait "$sim_pid"
sim_rc=$?
sim_pid=
if [ "$sim_rc" -eq 0 ] && [ ! -e "$link" ] && [ ! -L "$link" ]; then
  ok "the simulator ends on SIGTERM with status 0 and removes its link"
else
  not_ok "the simulator ends on SIGTERM with status 0 (got $sim_rc) and removes its link"
  show "$work/sim.err"
fi

finish
