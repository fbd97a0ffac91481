#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The lab's programs inside the guest, run with the guest's own Python.

  inguest.py reader ASK SAID      what the program shows, read through AT-SPI
  inguest.py machine DEVICE FILE  the machine's end of the gadget line (cdc_acm)
"""
import argparse
import json
import os
import time

PACE = 9600 / 11  # bytes a second on a 9600-baud line, parity included


def reader(ask, said):
    """Answers one request a time through two FIFOs; one process for the whole run, since
    starting Python under emulation takes seconds. Requests:
      boxes                    the texts of the program's boxes (windows named SALVEX)
      tips                     the tooltip up
      controls WINDOW          [role, name, x, y, width, height] of each object showing, in
                               the top windows whose names start with WINDOW; a list
                               with an edit field is named also as the field is
      chars NAME               the characters in the text named NAME"""
    import pyatspi  # the guest's, from the shared /usr

    def windows():
        desktop = pyatspi.Registry.getDesktop(0)
        desktop.clearCache()
        for app in desktop:
            if app is not None and app.name == "salvex":
                yield from (top for top in app if top is not None)

    def controls(node, found):
        """One walk of the tree: each look at an object is a call over the bus, slow under
        emulation, so the caller asks once and keeps what it needs."""
        if not node.getState().contains(pyatspi.STATE_SHOWING):
            return
        role, e = node.getRoleName(), node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        role = "push button" if role == "button" else role  # as newer AT-SPI names it (Debian 13's)
        children = [c for c in node if c is not None]
        names = {node.name} | {c.name for c in children if role == "combo box" and c.getRoleName() == "text"}
        found += [[role, name, e.x, e.y, e.width, e.height] for name in names if name]
        for child in children:
            controls(child, found)

    def answer(request):
        what, _, argument = request.partition(" ")
        found = []
        for top in windows():
            role = top.getRoleName()
            if what == "boxes" and role in ("alert", "dialog") and top.name == "SALVEX":
                found.append(" ".join(n.name for n in pyatspi.findAllDescendants(
                    top, lambda x: x.getRoleName() == "label") if n.name))
            elif what == "tips" and role == "tool tip":
                found.append(top.name)
            elif what == "controls" and top.name.startswith(argument):
                controls(top, found)
            elif what == "chars" and top.name.startswith("SALVEX BY BREL"):
                text = pyatspi.findDescendant(top, lambda x: x.getRoleName() == "text" and x.name == argument)
                found += [text.queryText().characterCount] if text else []
        return found

    while True:
        with open(ask) as requests:
            request = requests.read().strip()
        try:
            found = answer(request)
        except Exception as error:  # the program's windows come and go under the reader
            found = ["error: %r" % error]
        with open(said, "w") as out:
            out.write(json.dumps(found, ensure_ascii=False) + "\n")


def breaks(device):
    """The breaks the driver of the far end has counted (TIOCGICOUNT)."""
    import fcntl
    import struct
    import termios

    fd = os.open(device, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return struct.unpack("20i", fcntl.ioctl(fd, termios.TIOCGICOUNT, bytes(80)))[9]
    finally:
        os.close(fd)


def machine(device, answer, break_after, seconds, sent_to, far):
    """Waits for "W", answers at the line's pace, with a break after break_after bytes;
    with seconds, stops answering then and writes what went to sent_to. far is the other
    end's device, whose count tells when the break has arrived."""
    import termios
    import tty

    data = open(answer, "rb").read()
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    # The gadget drops what the host sends while its end is closed: say when it is open.
    print("ready", flush=True)
    while b"W" not in os.read(fd, 64):
        pass
    start, sent = time.monotonic(), 0
    while sent < len(data) and (seconds is None or time.monotonic() - start < seconds):
        if sent == break_after:
            # The break travels apart from the data (cdc_acm's notification endpoint):
            # the bytes before it go first, and the bytes after it once it has arrived.
            termios.tcdrain(fd)
            before = breaks(far)
            termios.tcsendbreak(fd, 0)
            end = time.monotonic() + 10
            while breaks(far) == before and time.monotonic() < end:
                time.sleep(0.02)
            start = time.monotonic() - sent / PACE
        end = break_after if sent < break_after else len(data)
        sent += os.write(fd, data[sent:min(sent + 32, end)])
        time.sleep(max(0.0, start + sent / PACE - time.monotonic()))
    if sent_to:
        open(sent_to, "wb").write(data[:sent])
    os.close(fd)


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="mode", required=True)
    r = sub.add_parser("reader")
    r.add_argument("ask")
    r.add_argument("said")
    m = sub.add_parser("machine")
    m.add_argument("device")
    m.add_argument("answer")
    m.add_argument("--break-after", type=int, default=-1)
    m.add_argument("--seconds", type=float)
    m.add_argument("--sent")
    m.add_argument("--far", default="/dev/ttyACM0")
    a = p.parse_args()
    if a.mode == "reader":
        reader(a.ask, a.said)
    else:
        machine(a.device, a.answer, a.break_after, a.seconds, a.sent, a.far)


if __name__ == "__main__":
    main()
