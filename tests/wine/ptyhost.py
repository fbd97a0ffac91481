#!/usr/bin/env python3
"""Plays the machine's end of real pseudo-terminals for a Windows test running under Wine.

A Windows program cannot make a pseudo-terminal, so this host makes them: it maps each one
as a COM port of the Wine prefix (a symbolic link in dosdevices) and serves the test's
requests, which arrive as small files in a folder both sides see:

    ptyhost.py PREFIX CHANNEL -- COMMAND...

runs COMMAND with SALVEX_PTYHOST set to the channel folder's Windows name and answers until
it ends, then exits with its status. A request is the file "req" (written as "req.tmp" and
renamed), one line of words; the answer is the file "ans", made the same way: "ok ..." or
"fail reason".

    new                      -> ok ID COMn       a new pair, its device side mapped as COMn
    send ID HEX              -> ok               the machine sends these bytes
    recv ID ATLEAST MS       -> ok HEX           what the program wrote, waiting up to MS
    line ID                  -> ok BAUD BITS PARITY STOPBITS   the line as the device sees it
    unplug ID                -> ok               the machine's side goes away (hang-up)
    drop ID                  -> ok               the pair and its COM port are removed
"""

import os
import select
import subprocess
import sys
import termios
import time
import tty

SPEEDS = {getattr(termios, "B%d" % b): b for b in
          (50, 75, 110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200)}


class Pair:
    def __init__(self, prefix, number):
        self.machine, self.device = os.openpty()
        tty.setraw(self.device)
        os.set_blocking(self.machine, False)
        self.link = os.path.join(prefix, "dosdevices", "com%d" % number)
        if os.path.lexists(self.link):
            os.remove(self.link)
        os.symlink(os.ttyname(self.device), self.link)
        self.name = "COM%d" % number

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
        return "%d %d %s %d" % (SPEEDS.get(ospeed, -1), bits, parity,
                                2 if cflag & termios.CSTOPB else 1)

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


def answer(channel, text):
    with open(os.path.join(channel, "ans.tmp"), "w") as f:
        f.write(text)
    os.rename(os.path.join(channel, "ans.tmp"), os.path.join(channel, "ans"))


def serve(prefix, channel, words, pairs):
    if words[0] == "new":
        number = 5
        while any(p.name == "COM%d" % number for p in pairs.values()):
            number += 1
        pair = Pair(prefix, number)
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
        pair.drop()
        return "ok"
    return "fail unknown request"


def main():
    prefix, channel = sys.argv[1], sys.argv[2]
    command = sys.argv[sys.argv.index("--") + 1:]
    os.makedirs(channel, exist_ok=True)
    env = dict(os.environ, SALVEX_PTYHOST="Z:" + os.path.abspath(channel).replace("/", "\\"))
    child = subprocess.Popen(command, env=env)
    pairs = {}
    request = os.path.join(channel, "req")
    while child.poll() is None:
        if not os.path.exists(request):
            time.sleep(0.005)
            continue
        with open(request) as f:
            words = f.read().split()
        os.remove(request)
        try:
            reply = serve(prefix, channel, words, pairs)
        except Exception as e:  # the test hears of it and fails there
            reply = "fail %r" % e
        answer(channel, reply)
    for pair in pairs.values():
        pair.drop()
    sys.exit(child.returncode)


if __name__ == "__main__":
    main()
