#!/usr/bin/env bash
# Retakes docs/main-window.png: the main window under Xvfb, pinging 127.0.0.1.
# Needs the built program, xvfb-run, xdotool and ImageMagick's import
# (apt-get install xvfb xdotool imagemagick).
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:-build/src/app/vexmorping}
for tool in xvfb-run xdotool import; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (apt-get install xvfb xdotool imagemagick)"; exit 1; }
done
[ -x "$program" ] || { echo "build the program first: $program"; exit 1; }
mkdir -p docs
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home XDG_CONFIG_HOME=$home/config XDG_STATE_HOME=$home/state
xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  "$0" &
  pid=$!
  window=$(xdotool search --sync --name "^VexmorPing! v1.0$" | head -1)
  sleep 1
  eval "$(xdotool getwindowgeometry --shell "$window")"
  xdotool mousemove $((X + 150)) $((Y + 54)) click 1
  xdotool type --delay 20 "127.0.0.1"
  xdotool mousemove $((X + 98)) $((Y + 19)) click 1   # Ping
  sleep 4
  import -window "$window" docs/main-window.png
  kill $pid
' "$program"
echo "wrote docs/main-window.png"
