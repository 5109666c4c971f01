# Sourced by the screenshot scripts: the real Wireshark (Debian's wireshark-qt) on a virtual X screen, run as
# an unprivileged user with a fresh HOME holding the nrf24 profile and a private plug-in folder holding the
# modules built in build/. The caller sets $name (for its messages), then calls gui_prepare, puts what else
# it needs below $work, and calls gui_start; run, window and shot then drive Wireshark.
NRF24_EXTRA_PACKAGES="wireshark-qt xvfb xdotool x11-apps imagemagick" tools/install-deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build >/dev/null
work=$(mktemp -d)
xvfb="" wireshark=""
trap 'kill $wireshark $xvfb 2>/dev/null; wait; rm -rf "$work"' EXIT

# The profile and the modules, below $work.
gui_prepare() {
  mkdir -p "$work/home/.config/wireshark/profiles/nrf24"
  cp profile/preferences profile/colorfilters profile/dfilter_buttons profile/recent profile/user_dlts \
     "$work/home/.config/wireshark/profiles/nrf24/"
  cp -r build/plugins "$work/plugins"
}

# Wireshark as root reads only the global folders: as root, everything runs as nobody. Xvfb picks a free
# display and writes its number to fd 3.
gui_start() {
  chmod -R a+rX "$work"
  if [ "$(id -u)" -eq 0 ]; then
    chown -R 65534:65534 "$work/home"
    as="setpriv --reuid=65534 --regid=65534 --clear-groups"
  else
    as=""
  fi
  clean_env="env -i PATH=/usr/bin:/bin HOME=$work/home TZ=UTC"
  $as $clean_env Xvfb -displayfd 3 -screen 0 1400x900x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
  xvfb=$!
  until [ -s "$work/display" ]; do sleep 0.2; done
  display=:$(cat "$work/display")
  mkdir -p doc
}

run() { $as $clean_env DISPLAY="$display" "$@"; }

# Wireshark with the private plug-in folder, in the background ($wireshark).
wireshark_start() {
  $as $clean_env DISPLAY="$display" WIRESHARK_PLUGIN_DIR="$work/plugins" "$@" >/dev/null 2>&1 &
  wireshark=$!
}

# Waits for Wireshark's window, then puts it at the top left, 1400x900, with the focus.
window() {
  tries=0
  until window=$(run xdotool search --onlyvisible --class wireshark 2>/dev/null | head -1) && [ -n "$window" ]; do
    tries=$((tries + 1))
    [ $tries -lt 150 ] || { echo "$name: Wireshark did not open a window" >&2; exit 1; }
    sleep 0.2
  done
  run xdotool windowmove "$window" 0 0 windowsize "$window" 1400 900 windowfocus --sync "$window"
}

# The screen through ImageMagick: shot [options] png:FILE
shot() { run xwd -root -silent | /usr/bin/convert xwd:- -strip "$@"; }
