#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Plays the machine's end of real pseudo-terminals for a Windows test running under Wine.

A Windows program cannot make a pseudo-terminal, so this host makes them: it maps each one
as a COM port of the Wine prefix (a symbolic link in dosdevices) and serves the test's
requests, which arrive as small files in a folder both sides see:

    ptyhost.py PREFIX CHANNEL -- COMMAND...

runs COMMAND with SALVEX_PTYHOST set to the channel folder's Windows name and answers until
it ends, then exits with its status. A request is the file "req" (written as "req.tmp" and
renamed), one line of words ended by a newline and led by the request's number; the answer
is the file "ans", made the same way and led by the same number: "N ok ..." or
"N fail reason".

Before COMMAND starts, the prefix is made a PC whose only serial port, as Windows itself
lists them, is COM5 (no COM1 to COM4, none of the host's serial devices), wired to a pair of
the host's. "ptyhost.py --wire PREFIX LINK" does only that, with COM5 leading to LINK.

    wired                    -> ok ID COM5       that pair, kept until the host ends
    new                      -> ok ID COMn       a new pair, its device side mapped as COMn
    send ID HEX              -> ok               the machine sends these bytes
    recv ID ATLEAST MS       -> ok HEX           what the program wrote, waiting up to MS
    line ID                  -> ok BAUD BITS PARITY STOPBITS   the line as the device sees it
    unplug ID                -> ok               the machine's side goes away (hang-up)
    drop ID                  -> ok               the pair and its COM port are removed
                                                 (the wired pair stays)
"""

import fcntl
import os
import re
import select
import struct
import subprocess
import sys
import termios
import time
import tty

SPEEDS = {getattr(termios, "B%d" % b): b for b in
          (50, 75, 110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200)}
# Linux's struct termios2 (flags, line discipline, 19 control characters, then the input and
# output speeds in baud) and its TCGETS2 request. A speed set through it (Wine 10 does) shows
# in the old call only as BOTHER, no speed at all.
TERMIOS2 = struct.Struct("=4IB19s2I")
TCGETS2 = 0x80000000 | TERMIOS2.size << 16 | ord("T") << 8 | 0x2A


class Pair:
    def __init__(self, link, name):
        self.machine, self.device = os.openpty()
        tty.setraw(self.device)
        os.set_blocking(self.machine, False)
        self.link = link
        if os.path.lexists(self.link):
            os.remove(self.link)
        os.symlink(os.ttyname(self.device), self.link)
        self.name = name

    def send(self, data):
        while data:
            try:
                data = data[os.write(self.machine, data):]
            except BlockingIOError:
                select.select([], [self.machine], [], 0.1)

    def recv(self, at_least, ms):
        got = b""
        deadline = time.monotonic() + ms / 1000
        while len(got) < at_least:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            if select.select([self.machine], [], [], left)[0]:
                try:
                    got += os.read(self.machine, 65536)
                except (BlockingIOError, OSError):
                    time.sleep(0.01)
        return got

    def line(self):
        iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(self.machine)
        bits = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[
            cflag & termios.CSIZE]
        parity = "N" if not cflag & termios.PARENB else "O" if cflag & termios.PARODD else "E"
        try:
            baud = TERMIOS2.unpack(fcntl.ioctl(self.machine, TCGETS2, bytes(TERMIOS2.size)))[-1]
        except OSError:
            baud = SPEEDS.get(ospeed, -1)
        return "%d %d %s %d" % (baud, bits, parity, 2 if cflag & termios.CSTOPB else 1)

    def unplug(self):
        if self.machine >= 0:
            os.close(self.machine)
            self.machine = -1

    def drop(self):
        self.unplug()
        if self.device >= 0:
            os.close(self.device)
            self.device = -1
        if os.path.lexists(self.link):
            os.remove(self.link)


def dosdevice(prefix, number):
    return os.path.join(prefix, "dosdevices", "com%d" % number)


def detected():
    """The host's serial devices that Wine's mount manager gives COM numbers of their own:
    each family counted from 0 up to its first gap."""
    count = 0
    for family in ("/dev/ttyS%d", "/dev/ttyUSB%d", "/dev/ttyACM%d"):
        n = 0
        while os.path.exists(family % n):
            n += 1
        count += n
    return count


def wire(prefix, link):
    """Makes the prefix a PC whose only serial port is COM5, the device that link leads to.

    Wine's mount manager makes the ports when the prefix starts, from the registry's
    HKLM\\Software\\Wine\\Ports and then from the host's serial devices, which take the first
    numbers not named there. A port it cannot link in dosdevices it leaves out altogether: no
    SERIALCOMM value, no DOS device, as on a PC without it. (Switched off by an empty value,
    it would still be listed, with a device behind its name that cannot be opened.) So COM1
    to COM4 are named and kept from linking by a folder in their place, and so are the
    numbers the host's devices would take, after COM5."""
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d")
    system = os.path.join(prefix, "system.reg")
    if not os.path.exists(system):
        os.makedirs(prefix, exist_ok=True)
        subprocess.run(["wineboot", "--init"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
        subprocess.run(["wineserver", "-w"], env=env, check=False)
    # Should a folder go, the port would lead nowhere rather than to a device that takes
    # anything.
    wanted = {"COM%d" % n: "/nonexistent" for n in range(1, 5)}
    wanted["COM5"] = link
    changed = False
    for number in list(range(1, 5)) + list(range(6, 6 + detected())):
        path = dosdevice(prefix, number)
        if os.path.islink(path) or os.path.isfile(path):
            os.remove(path)
        if not os.path.isdir(path):
            os.mkdir(path)
            changed = True
    with open(system, encoding="utf-8", errors="replace") as f:
        text = f.read()
    ports = re.search(r"^\[Software\\\\Wine\\\\Ports\][^\n]*\n(.*?)(?:\n\n|\Z)", text,
                      re.M | re.S)
    have = dict(re.findall(r'^"(\w+)"="(.*)"$', ports.group(1), re.M)) if ports else {}
    for name, value in wanted.items():
        if have.get(name) != value:
            subprocess.run(["wine", "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", name,
                            "/t", "REG_SZ", "/d", value, "/f"], env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
            changed = True
    if changed:
        # The ports are made again when the prefix next starts.
        subprocess.run(["wineserver", "-w"], env=env, check=False)


def answer(channel, text):
    with open(os.path.join(channel, "ans.tmp"), "w") as f:
        f.write(text)
    os.rename(os.path.join(channel, "ans.tmp"), os.path.join(channel, "ans"))


def serve(prefix, channel, words, pairs):
    if words[0] == "wired":
        return "ok wired %s" % pairs["wired"].name
    if words[0] == "new":
        number = 6
        # Above the wired port and the folders that keep the host's devices out.
        while (any(p.name == "COM%d" % number for p in pairs.values())
               or os.path.isdir(dosdevice(prefix, number))
               and not os.path.islink(dosdevice(prefix, number))):
            number += 1
        pair = Pair(dosdevice(prefix, number), "COM%d" % number)
        ident = str(len(pairs) + 1)
        pairs[ident] = pair
        return "ok %s %s" % (ident, pair.name)
    pair = pairs[words[1]]
    if words[0] == "send":
        pair.send(bytes.fromhex(words[2]) if len(words) > 2 else b"")
        return "ok"
    if words[0] == "recv":
        return "ok " + pair.recv(int(words[2]), int(words[3])).hex()
    if words[0] == "line":
        return "ok " + pair.line()
    if words[0] == "unplug":
        pair.unplug()
        return "ok"
    if words[0] == "drop":
        if pair is not pairs["wired"]:
            pair.drop()
        return "ok"
    return "fail unknown request"


def main():
    if sys.argv[1] == "--wire":
        wire(sys.argv[2], sys.argv[3])
        return
    prefix, channel = sys.argv[1], sys.argv[2]
    command = sys.argv[sys.argv.index("--") + 1:]
    os.makedirs(channel, exist_ok=True)
    # A run that failed may have left a request or an answer behind.
    for name in ("req", "req.tmp", "ans", "ans.tmp"):
        if os.path.exists(os.path.join(channel, name)):
            os.remove(os.path.join(channel, name))
    env = dict(os.environ, SALVEX_PTYHOST="Z:" + os.path.abspath(channel).replace("/", "\\"))
    # The registry names a link of ours that stays put; each run points it at a new pair.
    link = os.path.join(prefix, "salvex-com5")
    pairs = {"wired": Pair(link, "COM5")}
    wire(prefix, link)
    child = subprocess.Popen(command, env=env)
    request = os.path.join(channel, "req")
    while child.poll() is None:
        if not os.path.exists(request):
            time.sleep(0.005)
            continue
        with open(request) as f:
            text = f.read()
        if not text.endswith("\n"):  # still being written
            time.sleep(0.005)
            continue
        os.remove(request)
        number, *words = text.split()
        try:
            reply = serve(prefix, channel, words, pairs)
        except Exception as e:  # the test hears of it and fails there
            reply = "fail %r" % e
        answer(channel, number + " " + reply)
    for pair in pairs.values():
        pair.drop()
    sys.exit(child.returncode)


if __name__ == "__main__":
    main()
