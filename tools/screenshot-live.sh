#!/bin/sh
# Regenerates doc/capture-options.png and doc/capture-live.png: the real Wireshark (Debian's wireshark-qt)
# on a virtual X screen, run as an unprivileged user with a fresh HOME holding the nrf24 profile and the
# capture interface installed into its personal extcap folder by the install step, and a private plug-in
# folder holding the freshly built modules. First the options of a (listed, never opened) serial sniffer,
# then a live capture from the demo interface.
# Installs the GUI packages it needs (not needed by anything else).
set -eu
cd "$(dirname "$0")/.."
name=screenshot-live
. tools/gui-session.sh
gui_prepare
# The install step, staged below DESTDIR (the build installs into the global folders, which Wireshark as
# root ignores); the personal extcap folder is the staged one, whose link leads to the staged tool.
extcap=$(tshark -G folders 2>/dev/null | sed -n 's/^\(Global \)\{0,1\}Extcap path:[[:space:]]*//p' | head -1)
DESTDIR="$work/stage" cmake --install build >/dev/null
ln -s "$work/stage$extcap" "$work/home/.config/wireshark/extcap"
gui_start

# The welcome page lists the interfaces; the gear of the serial sniffer (the third extcap row) opens its options.
wireshark_start env NRF24_SNIFFER_PORTS=/dev/ttyUSB0 wireshark -C nrf24
window
sleep 3
run xdotool mousemove 181 447 click 1
sleep 3
shot -crop 600x412+394+206 +repage png:doc/capture-options.png.tmp
mv doc/capture-options.png.tmp doc/capture-options.png
kill $wireshark
wait $wireshark 2>/dev/null || true

# A live capture from the demo interface, the first round of the sample network.
wireshark_start wireshark -C nrf24 -i nrf24-demo -o extcap.nrf24_demo.prefix:a8a8e1fc -k
window
sleep 8
run xdotool mousemove 1390 890
shot png:doc/capture-live.png.tmp
mv doc/capture-live.png.tmp doc/capture-live.png
echo "doc/capture-options.png doc/capture-live.png"
