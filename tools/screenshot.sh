#!/bin/sh
# Regenerates doc/screenshot.png: the real Wireshark (Debian's wireshark-qt) on
# a virtual X screen, run as an unprivileged user with a fresh HOME holding the
# nrf24 profile and a private plug-in folder holding the freshly built modules,
# on captures/sample.pcap with frame 15 selected and its NRF24 and MySensors trees expanded.
# Installs the GUI packages it needs (not needed by anything else).
set -eu
cd "$(dirname "$0")/.."
NRF24_EXTRA_PACKAGES="wireshark-qt xvfb xdotool x11-apps imagemagick" tools/install-deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build >/dev/null
work=$(mktemp -d)
xvfb="" wireshark=""
trap 'kill $wireshark $xvfb 2>/dev/null; wait; rm -rf "$work"' EXIT
mkdir -p "$work/home/.config/wireshark/profiles/nrf24"
cp profile/preferences profile/colorfilters profile/dfilter_buttons profile/recent profile/user_dlts \
   "$work/home/.config/wireshark/profiles/nrf24/"
cp -r build/plugins "$work/plugins"
cp captures/sample.pcap "$work/"
chmod -R a+rX "$work"
# Wireshark as root reads only the global plug-in folder: run it all as nobody then.
if [ "$(id -u)" -eq 0 ]; then
  chown -R 65534:65534 "$work/home"
  as="setpriv --reuid=65534 --regid=65534 --clear-groups"
else
  as=""
fi
clean_env="env -i PATH=/usr/bin:/bin HOME=$work/home TZ=UTC"

# Xvfb picks a free display and writes its number to fd 3.
$as $clean_env Xvfb -displayfd 3 -screen 0 1400x900x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
until [ -s "$work/display" ]; do sleep 0.2; done
display=:$(cat "$work/display")
run() { $as $clean_env DISPLAY="$display" "$@"; }

$as $clean_env DISPLAY="$display" WIRESHARK_PLUGIN_DIR="$work/plugins" \
  wireshark -C nrf24 -r "$work/sample.pcap" -g 15 >/dev/null 2>&1 &
wireshark=$!
tries=0
until window=$(run xdotool search --onlyvisible --class wireshark 2>/dev/null | head -1) && [ -n "$window" ]; do
  tries=$((tries + 1))
  [ $tries -lt 150 ] || { echo "screenshot: Wireshark did not open a window" >&2; exit 1; }
  sleep 0.2
done
sleep 3  # let it finish reading the capture
run xdotool windowmove "$window" 0 0 windowsize "$window" 1400 900 windowfocus --sync "$window"
sleep 1
# The NRF24 line is the third of the details pane in this window layout: select it, expand its subtrees.
# The MySensors line is then the last one: select it and open one level, so that both trees fit the pane.
# Then scroll the packet list back to its first frame (the selection stays).
run xdotool mousemove 100 531 click 1 sleep 0.5 key shift+Right sleep 0.5 key End sleep 0.5 key Right \
  sleep 0.5 mousemove 700 300 click --repeat 10 4 sleep 0.5 mousemove 1390 890
sleep 1
mkdir -p doc
run xwd -root -silent | /usr/bin/convert xwd:- -strip png:doc/screenshot.png.tmp
mv doc/screenshot.png.tmp doc/screenshot.png
echo "doc/screenshot.png"
