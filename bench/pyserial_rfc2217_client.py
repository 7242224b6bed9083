#!/usr/bin/python3
# The peer client for bench/net_serial: pyserial's rfc2217:// handler, doing what the project's
# client does in the same run.
#   pyserial_rfc2217_client.py throughput URL BYTES   reads BYTES, prints "MB/s"
#   pyserial_rfc2217_client.py echo URL COUNT         sends back COUNT CR-terminated lines
import sys
import time

import serial

mode, url, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
port = serial.serial_for_url(url, baudrate=115200, timeout=5)
print("ready", flush=True)
if mode == "throughput":
    got = 0
    start = None
    while got < n:
        data = port.read(65536 if port.in_waiting == 0 else port.in_waiting)
        if not data:
            sys.exit("pyserial: no data for 5 s")
        if start is None:
            start = time.monotonic()
        got += len(data)
    print("%.3f" % (got / (time.monotonic() - start) / 1e6), flush=True)
else:
    for _ in range(n):
        line = port.read_until(b"\r")
        if not line.endswith(b"\r"):
            sys.exit("pyserial: no line for 5 s")
        port.write(line)
port.close()
