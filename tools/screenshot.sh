#!/bin/sh
# Regenerates doc/screenshot.png: the real Wireshark with the nrf24 profile on captures/sample.pcap, frame 15
# open (tools/gui-session.sh sets up the screen, the user and the folders).
set -eu
cd "$(dirname "$0")/.."
name=screenshot
. tools/gui-session.sh
gui_prepare
cp captures/sample.pcap "$work/"
gui_start

wireshark_start wireshark -C nrf24 -r "$work/sample.pcap" -g 15
window
sleep 4  # let it finish reading the capture
# The NRF24 line is the third of the details pane in this window layout: select it, expand its subtrees.
# The MySensors line is then the last one: select it and open one level, so that both trees fit the pane.
# Then scroll the packet list back to its first frame (the selection stays).
run xdotool mousemove 100 531 click 1 sleep 0.5 key shift+Right sleep 0.5 key End sleep 0.5 key Right \
  sleep 0.5 mousemove 700 300 click --repeat 10 4 sleep 0.5 mousemove 1390 890
sleep 1
shot png:doc/screenshot.png.tmp
mv doc/screenshot.png.tmp doc/screenshot.png
echo "doc/screenshot.png"
