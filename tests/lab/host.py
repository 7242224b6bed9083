#!/usr/bin/env python3
"""The host side of the serial lab: plays the far end of the guest's lines and answers the lab
tests' questions over the guest's control port (one request line, one answer line).

It owns the pseudo-terminal behind the guest's UART (ttyS1), the telnet socket behind the second
UART, the socket behind the FTDI adapter (connecting plugs the adapter in, closing pulls it out)
and QEMU's monitor, whose trace events show the UART's registers and the adapter's requests as
the emulated hardware sees them.

Requests (arguments are words; bytes travel as hex):
  uart-termios            the host terminal's speed as the guest's UART set it
  uart-take               the bytes the UART sent since the last take, and when the last came
  uart-send HEX           bytes to the UART's receiver
  uart-hold on|off        suspend/resume the terminal's output (the UART's transmitter stalls)
  tel-break               a break to the second UART's receiver (telnet BREAK)
  tel-take                bytes the second UART sent
  trace on|off EVENT...   QEMU trace events; trace-take returns the lines since the last take
  usb-plug / usb-unplug   connect / close the adapter's socket
  usb-send HEX            bytes to the adapter's receiver
  usb-codes N GAP_US [FIRST]  N numbered 13-digit codes (CR-terminated, numbers from FIRST)
                          paced like 115200 baud; usb-unplug ends them where they are
  usb-wait                until the codes are all written
  time                    the host's clock (seconds), to compare with trace stamps
"""
import os
import pty
import select
import socket
import sys
import termios
import threading
import time
import tty

RUN = sys.argv[1]
lock = threading.Lock()


def log(msg):
    sys.stderr.write("lab-host: %s\n" % msg)
    sys.stderr.flush()


def connect(path, timeout=30.0):
    end = time.time() + timeout
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            if time.time() > end:
                raise
            time.sleep(0.05)


class Uart:
    """The host terminal behind ttyS1: the master is read all along."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.buf = bytearray()
        self.last = 0.0

    def pump(self):
        while True:
            r, _, _ = select.select([self.master], [], [], 0.05)
            if r:
                try:
                    data = os.read(self.master, 4096)
                except OSError:
                    time.sleep(0.05)
                    continue
                with lock:
                    self.buf += data
                    self.last = time.time()


class Telnet:
    """The second UART's socket (telnet=on): negotiation is ignored, data kept."""

    def __init__(self, path):
        self.sock = connect(path)
        self.buf = bytearray()
        self.iac_only = False

    def pump(self):
        skip = 0  # bytes left of a telnet command (IAC, IAC WILL x, ...)
        while True:
            data = self.sock.recv(4096)
            if not data:
                return
            with lock:
                for b in data:
                    if skip == 1 and b == 255 and self.iac_only:
                        self.buf.append(b)
                        skip = 0
                    elif skip:
                        if skip == 1 and 251 <= b <= 254:
                            skip = 2
                        skip -= 1
                        self.iac_only = False
                    elif b == 255:
                        skip, self.iac_only = 1, True
                    else:
                        self.buf.append(b)


class Usb:
    def __init__(self, path):
        self.path = path
        self.sock = None
        self.sender = None
        self.failure = None

    def plug(self):
        if self.sock is None:
            self.sock = connect(self.path, 5.0)
            self.sock.settimeout(30)  # a guest that stops reading fails the sender, not the lab
            threading.Thread(target=self.drain, args=(self.sock,), daemon=True).start()

    def drain(self, sock):
        try:
            while sock.recv(4096):
                pass
        except OSError:
            pass

    def unplug(self):
        if self.sock is not None:
            self.sock.shutdown(socket.SHUT_RDWR)
            self.sock.close()
            self.sock = None
        if self.sender:
            self.sender.join()
            self.sender = None

    def send(self, data):
        self.sock.sendall(data)

    def codes(self, n, gap_us, first=0):
        # Codes are sent in groups of about 10 ms of line time so the pace holds on a busy host.
        sock = self.sock

        def run():
            try:
                send()
            except OSError as e:  # the guest stopped reading, or the adapter was pulled
                self.failure = "sending the codes: %s" % e

        def send():
            # 128-byte groups, cut wherever that falls: a pull mostly leaves a code half sent.
            start = time.time()
            t = 0.0
            chunk = bytearray()
            for i in range(first, first + n):
                chunk += b"%013d\r" % (i * 7919 % 10**13)
                t += gap_us / 1e6
                last = i == first + n - 1
                if len(chunk) >= 128 or last:
                    delay = start + t - time.time()
                    if delay > 0:
                        time.sleep(delay)
                    cut = len(chunk) if last else 128
                    sock.sendall(bytes(chunk[:cut]))
                    del chunk[:cut]
        self.failure = None
        self.sender = threading.Thread(target=run, daemon=True)
        self.sender.start()


class Monitor:
    def __init__(self, path):
        self.sock = connect(path)
        self.sock.settimeout(10)
        self.read_until(b"(qemu) ")

    def read_until(self, mark):
        data = b""
        while not data.endswith(mark):
            data += self.sock.recv(4096)
        return data

    def command(self, line):
        self.sock.sendall(line.encode() + b"\n")
        return self.read_until(b"(qemu) ")


class TraceLog:
    def __init__(self, path):
        self.path = path
        self.pos = 0

    def take(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.pos)
                data = f.read()
        except FileNotFoundError:
            return []
        cut = data.rfind(b"\n") + 1
        self.pos += cut
        return data[:cut].decode(errors="replace").splitlines()


def main():
    uart = Uart()
    with open(os.path.join(RUN, "uart.path"), "w") as f:
        f.write(uart.path)
    # QEMU starts now (lab.sh waits for uart.path), then we connect to its sockets.
    ctl = connect(os.path.join(RUN, "control.sock"))
    mon = Monitor(os.path.join(RUN, "monitor.sock"))
    tel = Telnet(os.path.join(RUN, "telnet.sock"))
    usb = Usb(os.path.join(RUN, "usb.sock"))
    trace = TraceLog(os.path.join(RUN, "trace.log"))
    threading.Thread(target=uart.pump, daemon=True).start()
    threading.Thread(target=tel.pump, daemon=True).start()
    log("ready: the UART's terminal is %s" % uart.path)

    def answer(words):
        cmd, args = words[0], words[1:]
        if cmd == "uart-termios":
            attrs = termios.tcgetattr(uart.slave)
            speeds = {getattr(termios, n): n[1:] for n in dir(termios)
                      if n.startswith("B") and n[1:].isdigit()}
            return "ok %s" % speeds.get(attrs[5], "?")
        if cmd == "uart-take":
            with lock:
                data, last = bytes(uart.buf), uart.last
                uart.buf.clear()
            return "ok %.6f %s" % (last, data.hex() or "-")
        if cmd == "uart-send":
            os.write(uart.master, bytes.fromhex(args[0]))
            return "ok"
        if cmd == "uart-hold":
            # Output suspended on QEMU's end of the terminal: its UART's transmitter stalls.
            termios.tcflow(uart.slave, termios.TCOOFF if args[0] == "on" else termios.TCOON)
            return "ok"
        if cmd == "tel-break":
            tel.sock.sendall(b"\xff\xf3")
            return "ok"
        if cmd == "tel-take":
            with lock:
                data = bytes(tel.buf)
                tel.buf.clear()
            return "ok %s" % (data.hex() or "-")
        if cmd == "trace":
            for ev in args[1:]:
                mon.command("trace-event %s %s" % (ev, args[0]))
            return "ok"
        if cmd == "trace-take":
            lines = trace.take()
            return "ok " + "|".join(lines)
        if cmd == "usb-plug":
            usb.plug()
            return "ok"
        if cmd == "usb-unplug":
            usb.unplug()
            return "ok"
        if cmd == "usb-send":
            usb.send(bytes.fromhex(args[0]))
            return "ok"
        if cmd == "usb-codes":
            usb.codes(int(args[0]), int(args[1]), int(args[2]) if len(args) > 2 else 0)
            return "ok"
        if cmd == "usb-wait":
            if usb.sender:
                usb.sender.join()
                usb.sender = None
            return "err " + usb.failure if usb.failure else "ok"
        if cmd == "time":
            return "ok %.6f" % time.time()
        return "err unknown request %s" % cmd

    pending = b""
    while True:
        data = ctl.recv(4096)
        if not data:
            log("the guest closed the control port")
            return
        pending += data
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            words = line.decode(errors="replace").split()
            if not words:
                continue
            try:
                reply = answer(words)
            except Exception as e:  # the guest gets the reason; the agent carries on
                reply = "err %s: %s" % (type(e).__name__, e)
            ctl.sendall(reply.encode() + b"\n")


if __name__ == "__main__":
    main()
