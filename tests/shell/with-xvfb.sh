#!/usr/bin/env bash
# Runs a program on a private X display with a notification area, as the desktop shell's test
# needs: Xvfb picks a free display number itself (-displayfd), trayer provides the tray, and
# both are stopped when the program ends. Exit code: the program's.
#   tests/shell/with-xvfb.sh PROGRAM [ARGS...]
set -euo pipefail
for tool in Xvfb trayer xdpyinfo; do
  if ! command -v "$tool" >/dev/null; then
    echo "with-xvfb.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2
    exit 1
  fi
done

work=$(mktemp -d)
xvfb_pid="" tray_pid=""
cleanup() {
  [[ -n $tray_pid ]] && kill "$tray_pid" 2>/dev/null || true
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb writes the display number to the pipe once it accepts clients.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
if ! read -r -t 15 number <"$work/display"; then
  echo "with-xvfb.sh: Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$number"
xdpyinfo >/dev/null

# The tray of a plain X desktop (XEmbed). Without a session bus Qt uses it directly; the test
# waits until the tray has claimed its selection.
unset DBUS_SESSION_BUS_ADDRESS
export QT_QPA_PLATFORM=xcb
trayer --edge top --align right --widthtype pixel --width 120 --height 24 \
  >"$work/trayer.log" 2>&1 &
tray_pid=$!

status=0
"$@" || status=$?
exit "$status"
