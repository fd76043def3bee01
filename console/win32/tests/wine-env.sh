# Shared by the Wine test run and the Wine benchmark: sourced, not run.
# Expects WORK (a scratch folder), ART (where logs go) and SIM (the simulated
# dongle) to be set.

export WINEPREFIX=$WORK/prefix
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

stop_pid() {  # stop_pid PID: TERM, then KILL after 5 s
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

# A host path as the console sees it (Wine's Z: drive is /).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# ---- X server and Wine prefix ----

start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$WORK/display" >"$ART/xvfb.log" 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do
    [ -s "$WORK/display" ] && break
    sleep 0.1
  done
  [ -s "$WORK/display" ] || return 1
  export DISPLAY=":$(head -n1 "$WORK/display")"
}

make_prefix() {
  if command -v wineboot >/dev/null; then
    wineboot -i >"$ART/wineboot.log" 2>&1
  else
    wine wineboot -i >"$ART/wineboot.log" 2>&1
  fi
  wineserver -w
  cat >"$WORK/settings.reg" <<'EOF'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1280x1024"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
"Debugger"=-

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\MountMgr]
"Start"=dword:00000004
EOF
  wine regedit /S "$(winpath "$WORK/settings.reg")" >>"$ART/wineboot.log" 2>&1
  wineserver -w
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
  # Only the simulated dongle's port: none of the host's.
  rm -f "$WINEPREFIX"/dosdevices/com*
  wineserver -k
  wineserver -w
  # One server for the whole run: later programs start faster.
  wineserver -p
  [ -d "$WINEPREFIX/drive_c/windows" ]
}

# ---- the programs ----

# start_sim_on COMn RECORD [OPTIONS...]: a simulated dongle behind COMn;
# its process id in STARTED_PID.
start_sim_on() {
  local com=$1 record=$2
  shift 2
  rm -f "$WORK/sim-$com.out"
  "$SIM" --link "$WINEPREFIX/dosdevices/$com" --record "$record" --quiet "$@" >"$WORK/sim-$com.out" \
    2>>"$ART/sim.err" &
  STARTED_PID=$!
  for _ in $(seq 100); do
    [ -s "$WORK/sim-$com.out" ] && [ -L "$WINEPREFIX/dosdevices/$com" ] && return 0
    sleep 0.05
  done
  return 1
}
