#!/bin/sh
# Regenerates doc/capture-options.png and doc/capture-live.png: the real Wireshark (Debian's wireshark-qt)
# on a virtual X screen, run as an unprivileged user with a fresh HOME holding the nrf24 profile and the
# capture interface installed into its personal extcap folder by the install step, and a private plug-in
# folder holding the freshly built modules. First the options of a (listed, never opened) serial sniffer,
# then a live capture from the demo interface.
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
# The install step writes the global extcap folder as root: stage it and move it to the personal one.
extcap=$(tshark -G folders 2>/dev/null | sed -n 's/^\(Global \)\{0,1\}Extcap path:[[:space:]]*//p' | head -1)
if [ "$(id -u)" -eq 0 ]; then
  DESTDIR="$work/stage" cmake --install build --component extcap >/dev/null
  cp -r "$work/stage$extcap" "$work/home/.config/wireshark/extcap"
else
  HOME="$work/home" cmake --install build --component extcap >/dev/null
fi
chmod -R a+rX "$work"
# Wireshark as root reads only the global folders: run it all as nobody then.
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
window() {
  tries=0
  until window=$(run xdotool search --onlyvisible --class wireshark 2>/dev/null | head -1) && [ -n "$window" ]; do
    tries=$((tries + 1))
    [ $tries -lt 150 ] || { echo "screenshot-live: Wireshark did not open a window" >&2; exit 1; }
    sleep 0.2
  done
  run xdotool windowmove "$window" 0 0 windowsize "$window" 1400 900 windowfocus --sync "$window"
}
shot() { run xwd -root -silent | /usr/bin/convert xwd:- -strip "$@"; }
mkdir -p doc

# The welcome page lists the interfaces; the gear of the serial sniffer (the third extcap row) opens its options.
$as $clean_env DISPLAY="$display" WIRESHARK_PLUGIN_DIR="$work/plugins" NRF24_SNIFFER_PORTS=/dev/ttyUSB0 \
  wireshark -C nrf24 >/dev/null 2>&1 &
wireshark=$!
window
sleep 3
run xdotool mousemove 181 447 click 1
sleep 3
shot -crop 600x412+394+206 +repage png:doc/capture-options.png.tmp
mv doc/capture-options.png.tmp doc/capture-options.png
kill $wireshark
wait $wireshark 2>/dev/null || true

# A live capture from the demo interface, the first round of the sample network.
$as $clean_env DISPLAY="$display" WIRESHARK_PLUGIN_DIR="$work/plugins" \
  wireshark -C nrf24 -i nrf24-demo -o extcap.nrf24_demo.prefix:a8a8e1fc -k >/dev/null 2>&1 &
wireshark=$!
window
sleep 8
run xdotool mousemove 1390 890
shot png:doc/capture-live.png.tmp
mv doc/capture-live.png.tmp doc/capture-live.png
echo "doc/capture-options.png doc/capture-live.png"
