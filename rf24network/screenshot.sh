#!/bin/sh
# Regenerates doc/rf24network.png: the real Wireshark with the nrf24 profile on captures/rf24network.pcap, the
# frame that completes the HTTP request open: RF24Network with its fragments, then IP, TCP and HTTP
# (tools/gui-session.sh sets up the screen, the user and the folders).
set -eu
cd "$(dirname "$0")/.."
name=rf24network-screenshot
. tools/gui-session.sh
gui_prepare
cp captures/rf24network.pcap "$work/"
gui_start

wireshark_start wireshark -C nrf24 -r "$work/rf24network.pcap" -g 137
window
sleep 4  # let it finish reading the capture
# The RF24Network line is the fourth of the details pane in this window layout: select it and open it.
run xdotool mousemove 100 549 click 1 sleep 0.5 key Right sleep 0.5 mousemove 1390 890
sleep 1
shot png:doc/rf24network.png.tmp
mv doc/rf24network.png.tmp doc/rf24network.png
echo "doc/rf24network.png"
