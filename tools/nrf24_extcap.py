#!/usr/bin/python3
"""Wireshark capture interface (extcap) for an nRF24 sniffer on a serial port, and a demo without hardware.

Wireshark and tshark run it from their extcap folder: it lists one interface per serial port that pyserial
finds (with the port's USB description) and per device named in $NRF24_SNIFFER_PORTS (separated by ':'),
never opening them to do so, plus "nrf24-demo", which plays a recorded sniffer session in real time. A capture
sends the options to the board as commands, one after the other's answer (doc/sniffer-protocol.md), recovers
frames from its raw reads and writes them to Wireshark's fifo as pcapng exported-PDU records, each as soon as
it is final; the interface description names the sniffer, its firmware and settings, and the reads the board
lost are the interface's drop count.

A capture ends with status 0 when Wireshark stops it (SIGTERM, SIGINT, its fifo closed), and with a one-line
message on stderr and status 1 when the sniffer is unplugged, silent (no line for 5 s, not even after a '?'),
or answers with an #error line; every frame recovered before stays in the capture.
"""

import argparse
import os
import re
import signal
import struct
import sys

# The extcap folder holds a link to this file; the package it imports and the demo session are
# beside the real file, installed as in the source tree.
HERE = os.path.dirname(os.path.realpath(__file__))
sys.path.insert(0, HERE)

from nrf24tools import lineproto, pcap, recover, serialport  # noqa: E402

PROG = "nrf24_extcap"
VERSION = "1.0"
DEMO = "nrf24-demo"
SERIAL_PREFIX = "nrf24-"
DEMO_SESSION = os.path.join(HERE, "..", "captures", "demo-session.txt")
PREFIX = re.compile(r"(?:[0-9a-fA-F]{2}){1,5}")
LINKTYPE = pcap.LINKTYPE_EXPORTED_PDU
# Control pipe messages: 'T', a 3-byte length (payload + 2), the control number, the command.
CTRL_LOGGER = 0
CTRL_CMD_ADD = 2
CTRL_CMD_STATUSBAR = 6
MODES = (("p-aa", "Promiscuous, preamble 0xAA"), ("p-55", "Promiscuous, preamble 0x55"), ("address", "Address mode"))

PREFIX_ARG = ("arg {number=%d}{call=--prefix}{display=Address prefix (promiscuous)}{type=string}"
              "{validation=^([0-9a-fA-F]{2}){0,5}$}"
              "{tooltip=Take only frames whose address starts with these hex bytes; empty: take an address once "
              "two frames with a good CRC confirm it}")
SERIAL_CONFIG = [
    "arg {number=0}{call=--channel}{display=Channel}{type=integer}{range=0,125}{default=76}"
    "{tooltip=Radio channel 0..125: 2400 + channel MHz (MySensors uses 76)}",
    "arg {number=1}{call=--rate}{display=Data rate}{type=selector}"
    "{tooltip=Air data rate of the network to listen to}",
    "value {arg=1}{value=250k}{display=250 kbps}{default=true}",
    "value {arg=1}{value=1m}{display=1 Mbps}{default=false}",
    "value {arg=1}{value=2m}{display=2 Mbps}{default=false}",
    "arg {number=2}{call=--mode}{display=Mode}{type=selector}"
    "{tooltip=Promiscuous: every frame on the channel, found in raw reads by its CRC; preamble 0xAA for "
    "addresses that start with a 1 bit, 0x55 for a 0 bit. Address mode: only the address below, damaged frames "
    "too}",
] + ["value {arg=2}{value=%s}{display=%s}{default=%s}" % (value, display, "true" if n == 0 else "false")
     for n, (value, display) in enumerate(MODES)] + [
    "arg {number=3}{call=--address}{display=Address (address mode)}{type=string}"
    "{validation=^([0-9a-fA-F]{10})?$}"
    "{tooltip=The 5-byte address to listen to in address mode, 10 hex digits, first byte on the air first}",
    PREFIX_ARG % 4,
    "arg {number=5}{call=--hop}{display=Hop over channels}{type=string}"
    "{validation=^([0-9]{1,3}(,[0-9]{1,3}){0,15})?$}"
    "{tooltip=Channels to hop over, separated by commas (1 to 16, each 0..125); empty: stay on the channel above}",
    "arg {number=6}{call=--dwell}{display=Dwell time (ms)}{type=unsigned}{range=1,60000}{default=100}"
    "{tooltip=Milliseconds on each channel when hopping}",
    "arg {number=7}{call=--drop-bad-crc}{display=Drop frames with a bad CRC (address mode)}{type=boolflag}"
    "{default=false}{tooltip=Address mode: leave damaged frames out; by default they are kept and Wireshark "
    "marks them CRC Error}",
    "arg {number=8}{call=--baud}{display=Baud rate}{type=unsigned}{range=1200,4000000}{default=1000000}"
    "{tooltip=The serial line's speed; the sniffer firmware's default is 1000000}",
]
DEMO_CONFIG = [PREFIX_ARG % 0]


def serial_ports():
    """The serial ports to list as (device, description), sorted, without opening any."""
    ports = dict(serialport.list_ports())
    ports.update((path, ports.get(path, "")) for path in os.environ.get("NRF24_SNIFFER_PORTS", "").split(":") if path)
    return sorted(ports.items())


def interfaces():
    lines = ["extcap {version=%s}" % VERSION,
             "interface {value=%s}{display=nRF24 sniffer demo (a recorded MySensors network)}" % DEMO]
    lines += ["interface {value=%s%s}{display=nRF24 sniffer%s}" % (SERIAL_PREFIX, path, " (%s)" % text if text else "")
              for path, text in serial_ports()]
    lines.append("control {number=%d}{type=button}{role=logger}{display=Log}{tooltip=The sniffer's status lines}"
                 % CTRL_LOGGER)
    return lines


def dlts():
    return ["dlt {number=%d}{name=EXPORTED_PDU}{display=Exported PDU, frames tagged nrf24}" % LINKTYPE]


class Control:
    """The control pipe to Wireshark, when it gave one: status bar and log messages."""

    def __init__(self, path):
        self.out = open(path, "wb", buffering=0) if path else None

    def send(self, command, text, control=0):
        if not self.out:
            return
        payload = text.encode("utf-8", "replace")[:4000]
        try:
            self.out.write(b"T" + struct.pack(">I", len(payload) + 2)[1:] + bytes([control, command]) + payload)
        except OSError:
            self.out = None


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="nrf24_extcap.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="example: nrf24_extcap.py --capture --extcap-interface nrf24-demo "
                                            "--fifo demo.pcap")
    for flag in ("--extcap-interfaces", "--extcap-dlts", "--extcap-config", "--capture", "--drop-bad-crc"):
        parser.add_argument(flag, action="store_true")
    for option in ("--extcap-interface", "--fifo", "--extcap-control-in", "--extcap-control-out",
                   "--extcap-capture-filter", "--extcap-version", "--rate", "--mode", "--address", "--prefix",
                   "--hop"):
        parser.add_argument(option)
    parser.add_argument("--channel", type=int, default=76)
    parser.add_argument("--dwell", type=int, default=100)
    parser.add_argument("--baud", type=int, default=serialport.DEFAULT_BAUD)
    args, _ = parser.parse_known_args(argv)  # later Wireshark versions may pass more
    return args


def settings(args):
    """The commands for the options given, and the Recovery to use."""
    mode = args.mode or "p-aa"
    if mode not in dict(MODES):
        raise lineproto.OptionError("mode %r is not one of %s" % (mode, ", ".join(dict(MODES))))
    address = None
    if mode == "address":
        if not args.address or len(args.address) != 10:
            raise lineproto.OptionError("address mode needs a 5-byte address (10 hex digits), got %r"
                                            % (args.address or ""))
        address = args.address
    prefixes = []
    if args.prefix:
        if not PREFIX.fullmatch(args.prefix):
            raise lineproto.OptionError("prefix %r is not 1 to 5 bytes of hex" % args.prefix)
        prefixes.append(bytes.fromhex(args.prefix))
    commands = lineproto.commands(args.channel, args.rate or "250k", None if address else mode[2:], address,
                                      args.hop or None, args.dwell)
    return commands, recover.Recovery(prefixes, keep_bad=not args.drop_bad_crc, live=True)


def end_capture(writer, session, guarded):
    """The frames still waiting, the interface and its drop count, unless Wireshark has gone already."""
    signal.pthread_sigmask(signal.SIG_BLOCK, guarded)
    try:
        session.finish()
        session.describe(writer)
        writer.statistics(serialport.now_usec(), session.reads, session.lost)
    except OSError:
        pass
    signal.pthread_sigmask(signal.SIG_UNBLOCK, guarded)


def ignore_stops():
    """Wireshark also signals an interface that ends by itself: the end is not interrupted."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)


def capture(args):
    """Run a capture into the fifo; the exit status."""
    if args.extcap_interface == DEMO:
        session_file = DEMO_SESSION
    elif args.extcap_interface and args.extcap_interface.startswith(SERIAL_PREFIX):
        device = args.extcap_interface[len(SERIAL_PREFIX):]
    else:
        print("%s: no such interface: %s" % (PROG, args.extcap_interface), file=sys.stderr)
        return 2
    try:
        commands, recovery = settings(args)
    except lineproto.OptionError as err:
        print("%s: %s" % (PROG, err), file=sys.stderr)
        return 2
    if args.extcap_control_in:
        # Wireshark writes to it; it is opened so that its writes do not block, and never read.
        control_in = os.open(args.extcap_control_in, os.O_RDONLY | os.O_NONBLOCK)
    control = Control(args.extcap_control_out)
    guarded = {signal.SIGINT, signal.SIGTERM}
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    close = None
    written = 0
    status = 0

    def message(text, kind="bad"):
        # The board's settings and restarts go to the log only: Wireshark shows anything on stderr as an error.
        if kind not in ("settings", "boot"):
            print("%s: %s" % (PROG, text), file=sys.stderr, flush=True)
        control.send(CTRL_CMD_ADD, text + "\n", CTRL_LOGGER)
        control.send(CTRL_CMD_STATUSBAR, "nRF24 " + text)

    try:
        with open(args.fifo, "wb") as out:
            writer = pcap.Writer(out, "pcapng", LINKTYPE, "nrf24-extcap %s" % VERSION)

            def frame(stamp, data):
                nonlocal written
                signal.pthread_sigmask(signal.SIG_BLOCK, guarded)
                session.describe(writer)
                writer.packet(stamp, data)
                written += 1
                signal.pthread_sigmask(signal.SIG_UNBLOCK, guarded)

            try:
                if args.extcap_interface == DEMO:
                    lines = serialport.played_lines(session_file)
                else:
                    fd, write, close = serialport.open_port(device, args.baud)
                    lines = serialport.port_lines(fd, write, commands)
                session = serialport.Session(recovery, frame, message, stop_on_error=True, linktype=LINKTYPE,
                                             sniffer=None if args.extcap_interface == DEMO else device,
                                             baud=None if args.extcap_interface == DEMO else args.baud)
                try:
                    for stamp, line in lines:
                        try:
                            session.line(stamp, line)
                        except lineproto.LineError as err:
                            message("bad line skipped: %s" % err)
                finally:
                    end_capture(writer, session, guarded)
            except serialport.SnifferError as err:
                # Said while the fifo is still open: Wireshark stops an interface as soon as its fifo closes.
                ignore_stops()
                print("%s: %s (%d frames captured)" % (PROG, err, written), file=sys.stderr, flush=True)
                control.send(CTRL_CMD_STATUSBAR, "nRF24 %s" % err)
                status = 1
    except (KeyboardInterrupt, BrokenPipeError):
        ignore_stops()
    except OSError as err:
        ignore_stops()
        print("%s: %s" % (PROG, err.strerror or err), file=sys.stderr, flush=True)
        status = 1
    finally:
        ignore_stops()
        if close:
            close()
        if args.extcap_control_in:
            os.close(control_in)
    return status


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.extcap_interfaces:
        print("\n".join(interfaces()))
        return 0
    if args.extcap_dlts:
        print("\n".join(dlts()))
        return 0
    if args.extcap_config:
        print("\n".join(DEMO_CONFIG if args.extcap_interface == DEMO else SERIAL_CONFIG))
        return 0
    if args.capture:
        if not args.fifo:
            print("%s: --capture needs --fifo" % PROG, file=sys.stderr)
            return 2
        return capture(args)
    print("%s: nothing to do: give --extcap-interfaces, --extcap-dlts, --extcap-config or --capture (see --help)"
          % PROG, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
