"""The nRF24 capture tools' shared code: frames and their CRC (frames), capture files (pcap), the sniffer's
line protocol (lineproto), frame recovery from raw reads (recover), the serial side and the loop that turns
lines into frames (serialport), and the air model that says which reads a radio delivers (air)."""
