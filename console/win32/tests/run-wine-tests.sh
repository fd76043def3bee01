#!/usr/bin/env bash
# End-to-end tests of the Windows program under Wine, on a private X server.
#
#   run-wine-tests.sh MINGW_BUILD_DIR NATIVE_BUILD_DIR
#
# MINGW_BUILD_DIR holds the cross-built console/win32/koravel.exe,
# koravel_win32_test.exe and koravel_test_driver.exe; NATIVE_BUILD_DIR holds
# tools/dongle-sim/koravel-dongle-sim. Needs wine (64-bit), Xvfb, and
# ImageMagick's import and convert; xdotool for the keyboard checks (skipped
# without it).
#
# What it does: makes a throw-away Wine prefix (virtual desktop, fonts,
# no crash dialog, no mount manager, no serial ports but the simulated one),
# starts Xvfb, runs the in-process checks of the window layer, then six
# runs of the console with the simulated dongle behind COM5:
#   1. the operator's session: start-up, port pick, scan, tiles, tooltips,
#      the class display (F11 opens it, its cells on screen, F11 closes it),
#      "Clear Useless", the log, About, stop, File > Exit (plus a screenshot
#      of painted tiles);
#   2. port pick, then the window is closed;
#   3. the dongle unplugged (a send fails), its port gone (the open fails),
#      then the log filled up until the console gives up;
#   4. a linked device falls silent and is heard again (screenshots of the
#      silent tile among live ones);
#   5. the dongle hangs while scanning, then a Stop goes unanswered;
#   (in run 1 also: File > Participants... and the class display in zone
#   colours, File > Record readings... with two marks, File > Session
#   report... opened in the browser; run 2 finds the participants file kept)
#   6. a dongle that answers nothing: Start goes unanswered; a second dongle
#      plugged in as COM6 is listed when the list is opened, picked, then
#      unplugged (the time until the status line says it is lost).
# then the console at 192 dpi (its layout and the class display at twice the
# size), and then three runs of koravel-record.exe: 20 s of 60 devices with faults
# (every intact reading one row, by tests/record_expect), the dongle pulled
# and plugged back, and Ctrl-C; and koravel-report.exe on run 1's recording.
# Artefacts (screenshots, the simulator's records, outputs) go to
# MINGW_BUILD_DIR/console/win32/wine-test-artefacts. Prints one line per
# check and a "N passed, N failed" summary; exits 1 when a check failed.
set -u

if [ $# -ne 2 ]; then
  echo "usage: $0 MINGW_BUILD_DIR NATIVE_BUILD_DIR" >&2
  exit 2
fi
MINGW_DIR=$(cd "$1" && pwd) || exit 2
NATIVE_DIR=$(cd "$2" && pwd) || exit 2

KORAVEL=$MINGW_DIR/console/win32/koravel.exe
UNIT=$MINGW_DIR/console/win32/koravel_win32_test.exe
DRIVER=$MINGW_DIR/console/win32/koravel_test_driver.exe
RECORDER=$MINGW_DIR/console/record/koravel-record.exe
REPORTER=$MINGW_DIR/console/report/koravel-report.exe
SIM=$NATIVE_DIR/tools/dongle-sim/koravel-dongle-sim
RECORD_EXPECT=$NATIVE_DIR/tests/record_expect
ART=$MINGW_DIR/console/win32/wine-test-artefacts

for f in "$KORAVEL" "$UNIT" "$DRIVER" "$RECORDER" "$REPORTER" "$SIM" "$RECORD_EXPECT"; do
  if [ ! -x "$f" ] && [ ! -f "$f" ]; then
    echo "missing: $f" >&2
    exit 2
  fi
done
for tool in wine wineserver Xvfb import convert; do
  if ! command -v "$tool" >/dev/null; then
    echo "missing tool: $tool" >&2
    exit 2
  fi
done

rm -rf "$ART"
mkdir -p "$ART"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/koravel-wine.XXXXXX") || exit 2
# shellcheck source=wine-env.sh
. "$(dirname "$0")/wine-env.sh"

PASSED=0
FAILED=0
XVFB_PID=
SIM_PID=
SIM2_PID=
KORAVEL_PID=
RECORDER_PID=
DONGLE_NAME=KoravelTest1
DONGLE_LINE="KoravelTest1 @0A:1B:2C:3D:4E:5F  Ver. 3.1c"

pass() {
  PASSED=$((PASSED + 1))
  echo "ok - $*"
}
fail() {
  FAILED=$((FAILED + 1))
  echo "not ok - $*"
}
check() {  # check CONDITION-STATUS DESCRIPTION [DETAIL]
  if [ "$1" -eq 0 ]; then pass "$2"; else fail "$2${3:+: $3}"; fi
}
note() { echo "# $*"; }

cleanup() {
  stop_pid "$KORAVEL_PID"
  stop_pid "$RECORDER_PID"
  stop_pid "$SIM_PID"
  stop_pid "$SIM2_PID"
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
  fi
  stop_pid "$XVFB_PID"
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# start_sim RECORD [OPTIONS...]: the simulated dongle behind COM5.
start_sim() {
  local status
  start_sim_on com5 "$@"
  status=$?
  SIM_PID=$STARTED_PID
  return $status
}

start_console() {  # start_console NAME
  wine "$KORAVEL" >"$ART/koravel-$1.log" 2>&1 &
  KORAVEL_PID=$!
}

# wait_exit PID SECONDS: a program's exit status, or 124 (and it is
# stopped) when it is still running after SECONDS.
wait_exit() {
  local pid=$1 limit=$(($2 * 10))
  for _ in $(seq "$limit"); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    stop_pid "$pid"
    return 124
  fi
  wait "$pid"
}

# wait_console_exit SECONDS: the console's exit status, or 124.
wait_console_exit() {
  wait_exit "$KORAVEL_PID" "$1"
  local status=$?
  KORAVEL_PID=
  return $status
}

# check_exit SECONDS DESCRIPTION: the console ends with status 0 within
# SECONDS; a failure says which status (124: still running).
check_exit() {
  wait_console_exit "$1"
  local status=$?
  check $status "$2" "status $status"
}

# driver STEP [ARGS...]: one step of the driver; its checks are counted.
driver() {
  timeout 120 wine "$DRIVER" "$@" >"$ART/driver-$RUN-$1.txt" 2>&1
  count_driver "$1" $?
}

# count_driver STEP STATUS: counts the checks of a step that has ended.
count_driver() {
  local step=$1 status=$2
  local out="$ART/driver-$RUN-$step.txt"
  grep -E '^(ok|not ok) - |^# ' "$out"
  local ok bad
  ok=$(grep -c '^ok - ' "$out")
  bad=$(grep -c '^not ok - ' "$out")
  PASSED=$((PASSED + ok))
  FAILED=$((FAILED + bad))
  # 1 goes with failed checks; anything else (a time-out, a crash) or a
  # failure without a failed check is a failure of its own.
  if { [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; } || [ "$status" -gt 1 ]; then
    fail "driver step '$step' ended with status $status"
  fi
  return 0
}

info() {  # info STEP KEY: a value the driver printed
  sed -n "s/^INFO $2=//p" "$ART/driver-$RUN-$1.txt" | tail -n1
}

# rx_times RECORD KIND: times (ms) at which the dongle received KIND.
rx_times() {
  awk -v kind="$2" '$2 == "dir=rx" && $3 == "kind=" kind { sub("t_ms=", "", $1); print $1 }' "$1"
}

# check_pick_timing RECORD: the soft reset goes out during the 150 ms wait
# that follows the pick, the configuration request after it. The reset's own
# delay (the writer first echoes it into the log, which the waiting UI
# thread serves) is 0 to about 80 ms under Wine; a wait that did not serve
# the writer would hold the reset back until the request, a gap near 0.
# That the wait itself lasts 150 ms the driver checks.
check_pick_timing() {
  local reset config
  reset=$(rx_times "$1" soft-reset | head -n1)
  config=$(rx_times "$1" config-request | head -n1)
  if [ -z "$reset" ] || [ -z "$config" ]; then
    fail "the dongle gets a soft reset and a configuration request after the pick" "reset '$reset', request '$config'"
    return
  fi
  local gap
  gap=$(awk -v a="$reset" -v b="$config" 'BEGIN { printf "%.1f", b - a }')
  note "soft reset at $reset ms, configuration request at $config ms (gap $gap ms)"
  awk -v g="$gap" 'BEGIN { exit !(g >= 40 && g <= 450) }'
  check $? "the soft reset goes out during the wait, the configuration request after it" "gap $gap ms"
}

# check_exit_reset RECORD PICK_STEP EXIT_STEP: the shutdown's soft reset
# reaches the dongle about as quickly after the exit as the pick's did after
# the pick (the two are measured on the same clocks: the driver's and the
# record's): well within the 300 ms the console waits. Either reset goes
# out 0 to about 80 ms after its trigger, so the difference is normally
# within 80 ms either way (measured: -39 to +57 ms); a wait that did not
# serve the writer's log lines makes it 230 or more.
check_exit_reset() {
  local first last pick_ms exit_ms
  first=$(rx_times "$1" soft-reset | head -n1)
  last=$(rx_times "$1" soft-reset | tail -n1)
  pick_ms=$(info "$2" pick_ms)
  exit_ms=$(info "$3" exit_ms)
  if [ -z "$first" ] || [ -z "$pick_ms" ] || [ -z "$exit_ms" ]; then
    fail "the shutdown's soft reset can be timed" "first '$first', pick '$pick_ms', exit '$exit_ms'"
    return
  fi
  local delay
  delay=$(awk -v f="$first" -v l="$last" -v p="$pick_ms" -v e="$exit_ms" 'BEGIN { printf "%.1f", (l - f) - (e - p) }')
  note "shutdown soft reset $delay ms later after its trigger than the pick's"
  awk -v d="$delay" 'BEGIN { exit !(d > -100 && d < 170) }'
  check $? "the dongle gets the soft reset at shutdown, within the 300 ms wait" "delay $delay ms"
}

pixel_at() {  # pixel_at SHOT X Y: R,G,B
  convert "$1" -crop "1x1+$2+$3" +repage -format '%[fx:round(255*r)],%[fx:round(255*g)],%[fx:round(255*b)]' info: 2>/dev/null
}

# check_pixel SHOT X Y R,G,B WHAT
check_pixel() {
  local got
  got=$(pixel_at "$1" "$2" "$3")
  [ "$got" = "$4" ]
  check $? "a linked $5 tile is painted in its brand colour on screen ($4 at $2,$3)" "got $got"
}

# check_colours SHOT STEP: the colours the driver's step named with
# "INFO colour X Y R,G,B WHAT" and "INFO same-colour X Y X2 Y2 WHAT".
check_colours() {
  local shot=$1 lines got other
  lines=$(grep -E '^INFO (colour|same-colour|zone-colour) ' "$ART/driver-$RUN-$2.txt")
  if [ -z "$lines" ]; then
    fail "the driver names the tiles to look at in the screenshot"
    return
  fi
  while read -r _ kind x y a b; do
    got=$(pixel_at "$shot" "$x" "$y")
    if [ "$kind" = zone-colour ]; then
      # rest and zones 1 to 5
      case " 86,180,233 0,114,178 0,158,115 240,228,66 230,159,0 213,94,0 " in
        *" $got "*) check 0 "$a $b (at $x,$y)" ;;
        *) check 1 "$a $b (at $x,$y)" "got $got" ;;
      esac
    elif [ "$kind" = colour ]; then
      [ "$got" = "$a" ]
      check $? "$b ($a at $x,$y)" "got $got"
    else
      read -r x2 y2 what <<<"$a $b"
      other=$(pixel_at "$shot" "$x2" "$y2")
      [ "$got" = "$other" ] && [ "$got" != 150,150,150 ]
      check $? "$what ($got at $x,$y)" "$other at $x2,$y2"
    fi
  done <<<"$lines"
}

# screenshot NAME: the whole screen into the artefacts, as SHOT; 1 (and a
# failed check) when it could not be taken.
screenshot() {
  SHOT=$ART/$1
  import -window root "$SHOT" 2>"$WORK/import.err" && return 0
  fail "a screenshot can be taken" "$(cat "$WORK/import.err")"
  return 1
}

now_ms() { date +%s%N | awk '{ printf "%.3f", $1 / 1e6 }'; }

# ---- the run ----

START=$(date +%s)

if command -v x86_64-w64-mingw32-objdump >/dev/null; then
  imports=$(x86_64-w64-mingw32-objdump -p "$KORAVEL" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')
  note "koravel.exe imports: $imports"
  others=$(echo "$imports" | tr ' ' '\n' | grep -viE '^(kernel32|user32|gdi32|comctl32|comdlg32|msvcrt|advapi32|ws2_32|shell32|ole32)\.dll$' | grep -v '^$')
  [ -z "$others" ]
  check $? "koravel.exe needs only system DLLs" "also $others"
fi

if ! start_xvfb; then
  fail "Xvfb starts"
  echo "$PASSED passed, $FAILED failed"
  exit 1
fi
note "X display $DISPLAY"
if ! make_prefix; then
  fail "the Wine prefix is made"
  echo "$PASSED passed, $FAILED failed"
  exit 1
fi
note "prefix ready after $(($(date +%s) - START)) s"
# The browser, for the session report: a stand-in that writes down what it
# was asked to open.
wine reg add 'HKCR\.html' /ve /d KoravelTestPage /f >>"$ART/wineboot.log" 2>&1
wine reg add 'HKCR\KoravelTestPage\shell\open\command' /ve \
  /d "\"$(winpath "$DRIVER")\" browsed \"$(winpath "$WORK/browsed.txt")\" \"%1\"" /f >>"$ART/wineboot.log" 2>&1

# -- the window layer, in process --
RUN=unit
KV_SCREENSHOT_DIR=$(winpath "$ART") timeout 120 wine "$UNIT" >"$ART/win32-test.txt" 2>&1
unit_status=$?
# The class display painted at 1920 x 1080, for the README.
for n in 4 40; do
  [ -f "$ART/class-display-$n-win32.bmp" ] && convert "$ART/class-display-$n-win32.bmp" "$ART/class-display-$n-win32.png"
done
cat "$ART/win32-test.txt" | grep -E '^(ok|not ok) - |^#   line'
PASSED=$((PASSED + $(grep -c '^ok - ' "$ART/win32-test.txt")))
unit_bad=$(grep -c '^not ok - ' "$ART/win32-test.txt")
FAILED=$((FAILED + unit_bad))
if { [ "$unit_status" -ne 0 ] && [ "$unit_bad" -eq 0 ]; } || [ "$unit_status" -gt 1 ]; then
  fail "the window-layer checks ended with status $unit_status"
fi

# -- run 1: an operator's session --
RUN=session
REC1=$ART/dongle-session.rec
if start_sim "$REC1" --devices 10 --rate 2 --unapplied-rate 0 --seed 7 --name "$DONGLE_NAME" \
    --address 0A1B2C3D4E5F --fw-version 3.1C; then
  start_console session
  # The pointer rests off the window: no tile is under the mouse.
  command -v xdotool >/dev/null && xdotool mousemove 1279 1023
  driver startup '\\.\COM5'
  driver pick COM5 "$DONGLE_LINE"
  check_pick_timing "$REC1"
  driver scan "$(winpath "$REC1")"
  sleep 0.5
  SHOT=$ART/console-linked-tiles.png
  if import -window root "$SHOT" 2>"$WORK/import.err"; then
    pixels=$(grep '^INFO pixel ' "$ART/driver-session-scan.txt")
    # Without them there is nothing to look at: convert, given no place to
    # crop, takes gigabytes and minutes.
    if [ -z "$pixels" ]; then
      fail "the driver names linked tiles to look at"
    else
      while read -r _ _ x y rgb what; do
        check_pixel "$SHOT" "$x" "$y" "$rgb" "$what"
      done <<<"$pixels"
    fi
  else
    fail "a screenshot can be taken" "$(cat "$WORK/import.err")"
  fi
  driver class-display
  sleep 0.7
  screenshot class-display-open.png && check_colours "$SHOT" class-display
  driver class-display-close
  PEOPLE=$ART/people.csv
  driver participants "$(winpath "$REC1")" "$(winpath "$PEOPLE")"
  sleep 0.7
  screenshot class-display-zones.png && check_colours "$SHOT" participants
  driver class-display-close
  driver record "$(winpath "$ART/session-recording.csv")"
  driver report "$(winpath "$ART/session-recording.csv")" "$(winpath "$WORK/browsed.txt")"
  driver roster
  driver about
  if command -v xdotool >/dev/null; then
    # The About box has just closed: the main window has the focus again.
    RUN=session-alt-question
    xdotool key alt+question
    driver about-wait
    RUN=session-alt-slash
    xdotool key alt+slash
    driver about-wait
    RUN=session
  else
    note "xdotool missing: Alt+? and Alt+/ not tried"
  fi
  driver stop
  driver exit
  note "the console's process ended $(info exit exit_took_ms) ms after File > Exit (300 ms of it the fixed wait)"
  check_exit 15 "after File > Exit the console ends with status 0"
  check_exit_reset "$REC1" pick exit
  stop_pid "$SIM_PID"
  SIM_PID=
else
  fail "the simulated dongle starts"
fi

# -- run 2: closing the window --
RUN=close
REC2=$ART/dongle-close.rec
if start_sim "$REC2" --devices 4 --rate 1 --seed 3 --name "$DONGLE_NAME" --address 0A1B2C3D4E5F --fw-version 3.1C; then
  # The bad line again, for the start to find.
  printf 'spare;0A:0B:0C:0D:0E:0F;Nobody;abc\r\n' >>"$PEOPLE"
  start_console close
  driver participants-remembered "$(winpath "$REC1")" "$(winpath "$PEOPLE")"
  driver pick COM5 "$DONGLE_LINE"
  check_pick_timing "$REC2"
  driver close
  note "the console's process ended $(info close exit_took_ms) ms after the close"
  check_exit 15 "after closing the window the console ends with status 0"
  check_exit_reset "$REC2" pick close
  stop_pid "$SIM_PID"
  SIM_PID=
else
  fail "the simulated dongle starts again"
fi

# -- run 3: the dongle unplugged, its port gone, then a full log --
RUN=unplug
REC3=$ART/dongle-unplug.rec
if start_sim "$REC3" --devices 2 --rate 1 --seed 5 --unplug-after 3 --name "$DONGLE_NAME" \
    --address 0A1B2C3D4E5F --fw-version 3.1C; then
  start_console unplug
  driver pick COM5 "$DONGLE_LINE"
  # The simulator closes its side after 3 s and ends, taking COM5 with it.
  for _ in $(seq 100); do
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.1
  done
  stop_pid "$SIM_PID"
  SIM_PID=
  grep -q 'event=unplug' "$REC3"
  check $? "the simulated dongle has been unplugged"
  driver start-unplugged
  driver pick-gone COM5
  driver out-of-space
  check_exit 20 "after the out-of-space box the console ends with status 0"
else
  fail "the simulated dongle starts a third time"
fi

# -- run 4: a linked device falls silent, then is heard again --
RUN=silence
REC4=$ART/dongle-silence.rec
SILENT_DEV=1
if start_sim "$REC4" --devices 6 --rate 2 --unapplied-rate 0 --polar-share 0 --seed 11 \
    --silence-device "$SILENT_DEV" --silence-after 3 --silence-for 10 --name "$DONGLE_NAME" \
    --address 0A1B2C3D4E5F --fw-version 3.1C; then
  start_console silence
  command -v xdotool >/dev/null && xdotool mousemove 1279 1023
  driver pick COM5 "$DONGLE_LINE"
  driver silence "$(winpath "$REC4")" "$SILENT_DEV"
  note "the silent device read \"HR: -- (N s)\" $(info silence silent_after_ms) ms after its last report" \
    "(the record's clock mapped to at most $(info silence clock_slack_ms) ms)"
  screenshot silent-tiles-win32.png && check_colours "$SHOT" silence
  driver silence-over "$(winpath "$REC4")" "$SILENT_DEV" "$(info silence clock_offset_ms)"
  note "live again $(info silence-over live_after_ms) ms after its first report since the silence" \
    "(reports $(info silence-over report_gap_ms) ms apart)"
  screenshot silent-tile-live-again-win32.png && check_colours "$SHOT" silence-over
  driver stop
  driver close
  check_exit 15 "after the silence the console ends with status 0"
  stop_pid "$SIM_PID"
  SIM_PID=
else
  fail "the simulated dongle starts with a device that falls silent"
fi

# -- run 5: the dongle hangs while scanning --
RUN=stall
REC5=$ART/dongle-stall.rec
# The scan has started long before the dongle hangs, 8 s after its port opened.
if start_sim "$REC5" --devices 3 --rate 2 --seed 13 --stall-after 8 --name "$DONGLE_NAME" \
    --address 0A1B2C3D4E5F --fw-version 3.1C; then
  start_console stall
  driver pick COM5 "$DONGLE_LINE"
  driver stall "$(winpath "$REC5")"
  screenshot hung-dongle-win32.png
  note "\"no data from the dongle\" $(info stall quiet_after_ms) ms after its last byte;" \
    "the unanswered Stop said $(info stall stop_unanswered_ms) ms after the click"
  driver close
  check_exit 15 "after the hung dongle the console ends with status 0"
  stop_pid "$SIM_PID"
  SIM_PID=
else
  fail "the simulated dongle starts to hang later"
fi

# -- run 6: no answer; a dongle plugged in later; then unplugged --
RUN=no-answer
REC6=$ART/dongle-hung.rec
REC7=$ART/dongle-com6.rec
DONGLE2_LINE="KoravelTest2 @0A:1B:2C:3D:4E:60  Ver. 3.1c"
if start_sim "$REC6" --devices 2 --seed 17 --stall-after 0 --name "$DONGLE_NAME" --address 0A1B2C3D4E5F \
    --fw-version 3.1C; then
  start_console no-answer
  driver no-answer COM5
  note "the unanswered Start said $(info no-answer start_unanswered_ms) ms after the click"
  if start_sim_on com6 "$REC7" --devices 2 --seed 19 --name KoravelTest2 --address 0A1B2C3D4E60 \
      --fw-version 3.1C; then
    SIM2_PID=$STARTED_PID
    driver port-list '\\.\COM5' '\\.\COM5' '\\.\COM6'
    driver pick COM6 "$DONGLE2_LINE"
    check_pick_timing "$REC7"
    # Unplugged while the driver watches the status line.
    timeout 60 wine "$DRIVER" watch-lost >"$ART/driver-$RUN-watch-lost.txt" 2>&1 &
    watcher=$!
    for _ in $(seq 400); do
      grep -q '^INFO watching' "$ART/driver-$RUN-watch-lost.txt" && break
      sleep 0.05
    done
    unplugged=$(now_ms)
    stop_pid "$SIM2_PID"
    SIM2_PID=
    wait "$watcher"
    count_driver watch-lost $?
    seen=$(info watch-lost lost_seen_ms)
    took=$(awk -v a="$unplugged" -v b="$seen" 'BEGIN { if (b == "") print "none"; else printf "%.1f", b - a }')
    note "\"Port \\\\.\\COM6 lost\" $took ms after the unplug (the log's code: rc=$(info watch-lost lost_rc))"
    awk -v t="$took" 'BEGIN { exit !(t != "none" && t >= 0 && t <= 1000) }'
    check $? "an unplugged dongle's port is said lost within 1 s" "after $took ms"
    driver port-list - '\\.\COM5'
  else
    fail "a second simulated dongle starts behind COM6"
  fi
  driver close
  check_exit 15 "after the unplugged second dongle the console ends with status 0"
  stop_pid "$SIM_PID"
  SIM_PID=
else
  fail "the simulated dongle starts hung"
fi

# -- 192 dpi (200 %): the console lays itself out at the monitor's scale --
RUN=dpi
# A desktop big enough for the window at twice its size (Windows keeps a
# window within the screen).
set_desktop() {  # set_desktop WxH
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$1" /f >>"$ART/wineboot.log" 2>&1
  wineserver -k
  wineserver -w
  wineserver -p
}
set_desktop 2600x1700
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 192 /f >>"$ART/wineboot.log" 2>&1
wine reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' /v LogPixels \
  /t REG_DWORD /d 192 /f >>"$ART/wineboot.log" 2>&1
if start_sim "$ART/dongle-dpi.rec" --devices 4 --rate 2 --seed 5; then
  start_console dpi
  driver dpi 192
  sleep 0.5
  screenshot console-192dpi.png
  driver class-display-close
  driver close
  check_exit 15 "at 192 dpi the console ends with status 0"
  stop_pid "$SIM_PID"
  SIM_PID=
else
  fail "the simulated dongle starts for 192 dpi"
fi
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >>"$ART/wineboot.log" 2>&1
wine reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' /v LogPixels \
  /t REG_DWORD /d 96 /f >>"$ART/wineboot.log" 2>&1
set_desktop 1280x1024

# -- koravel-record.exe --
RUN=record
# start_recorder NAME ARGS...: the recorder, its output in the artefacts.
start_recorder() {
  local name=$1
  shift
  wine "$RECORDER" "$@" >"$ART/record-$name.out" 2>"$ART/record-$name.err" &
  RECORDER_PID=$!
}
# wait_recorder SECONDS: its exit status, or 124.
wait_recorder() { wait_exit "$RECORDER_PID" "$1"; }
# csv_seconds CSV: the seconds column of every row.
csv_seconds() { awk -F, 'NR > 1 { print $2 }' "$1"; }

REC8=$ART/dongle-record.rec
CSV8=$ART/record-faults.csv
if start_sim "$REC8" --devices 60 --rate 2 --seed 23 --fault-bad-seal 0.03 --fault-split 0.05 --fault-garbage 0.03 \
    --fault-unknown 0.02 --fault-drop-byte 0.02; then
  start_recorder faults --port COM5 --out "$(winpath "$CSV8")" --duration 20
  wait_recorder 40
  check $? "koravel-record.exe records 20 s and ends with status 0"
  stop_pid "$SIM_PID"
  SIM_PID=
  "$RECORD_EXPECT" "$REC8" --csv "$CSV8" >"$ART/record-faults.check"
  check $? "every intact reading of 60 devices is one row, in order, none invented" \
    "$(grep '^problem=' "$ART/record-faults.check")"
  note "$(tr '\n' ' ' <"$ART/record-faults.check")"
  grep -q '^koravel-record: 60 devices, [0-9]* rows, [1-9][0-9]* bad seals' "$ART/record-faults.err"
  check $? "its summary counts 60 devices and the bad seals" "$(tail -n1 "$ART/record-faults.err")"
else
  fail "the simulated dongle starts for the recorder"
fi

CSV9=$ART/record-replug.csv
if start_sim "$ART/dongle-replug1.rec" --devices 5 --rate 4 --unplug-after 3; then
  first=$SIM_PID
  start_recorder replug --port COM5 --out "$(winpath "$CSV9")" --duration 10
  for _ in $(seq 80); do kill -0 "$first" 2>/dev/null || break; sleep 0.1; done
  sleep 2.5
  start_sim "$ART/dongle-replug2.rec" --devices 5 --rate 4 || fail "the dongle is plugged back"
  wait_recorder 20
  check $? "pulled and plugged back, the recorder ends with status 0"
  stop_pid "$SIM_PID"
  SIM_PID=
  [ "$(grep -c 'lost COM5' "$ART/record-replug.err")" -eq 1 ] &&
    [ "$(grep -c 'COM5 is back: the recording goes on' "$ART/record-replug.err")" -eq 1 ]
  check $? "the loss and the return are each said once" "$(tr '\n' '|' <"$ART/record-replug.err")"
  csv_seconds "$CSV9" | awk 'NR == 1 { first = $1 } { if (NR > 1 && $1 - last > 2) gap = 1; last = $1 }
    END { exit !(first < 3 && last > 6 && gap) }'
  check $? "rows from before and after, in one file"
else
  fail "the simulated dongle starts for the pull"
fi

REC10=$ART/dongle-ctrl-c.rec
CSV10=$ART/record-ctrl-c.csv
if start_sim "$REC10" --devices 20 --rate 5; then
  start_recorder ctrl-c --port COM5 --out "$(winpath "$CSV10")"
  sleep 3
  kill -INT "$RECORDER_PID"
  wait_recorder 10
  check $? "Ctrl-C ends the recorder with status 0"
  stop_pid "$SIM_PID"
  SIM_PID=
  [ "$(rx_times "$REC10" soft-reset | wc -l)" -eq 2 ]
  check $? "the dongle got the soft reset on the way out" "$(rx_times "$REC10" soft-reset | wc -l) resets"
  [ "$(tail -c 2 "$CSV10" | od -An -c | tr -d ' ')" = '\r\n' ] && [ "$(wc -l <"$CSV10")" -gt 50 ]
  check $? "the file ends with a whole row"
else
  fail "the simulated dongle starts for Ctrl-C"
fi

# -- koravel-report.exe: the report of the console's recording of run 1 --
RUN=report
if [ -s "$ART/session-recording.csv" ]; then
  timeout 60 wine "$REPORTER" "$(winpath "$ART/session-recording.csv")" --out "$(winpath "$ART/report-wine.html")" \
    --summary "$(winpath "$ART/report-wine-summary.csv")" >"$ART/report-wine.out" 2>&1
  check $? "koravel-report.exe makes the report of the console's recording with status 0" "$(tail -n2 "$ART/report-wine.out")"
  grep -q '<html' "$ART/report-wine.html" 2>/dev/null && ! grep -qE '(src|href)="https?:' "$ART/report-wine.html"
  check $? "its page is whole and names nothing outside"
  [ "$(head -n1 "$ART/report-wine-summary.csv" | cut -d, -f1-3)" = "address,device,person" ] &&
    [ "$(wc -l <"$ART/report-wine-summary.csv")" -gt 1 ]
  check $? "its summary has the header and a row per device"
else
  fail "run 1 left a recording for koravel-report.exe"
fi

note "took $(($(date +%s) - START)) s; artefacts in $ART"
echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
