# SPDX-License-Identifier: MIT
"""The lab's library: the guest (booted by QEMU, a root shell on a virtio port), the
machine's ends of its lines, QEMU's monitor, the operator driving salvex inside it, and
the report. The case files (cases/*.py) use only this."""
import json
import os
import socket
import subprocess
import threading
import time
from xml.sax.saxutils import escape, quoteattr

IAC, SB, SE, WILL, DO, BREAK = 0xFF, 0xFA, 0xF0, 0xFB, 0xFD, 0xF3
COM_PORT, NOTIFY_LINESTATE = 44, 106  # RFC 2217
PACE = 9600 / 11  # bytes a second on a 9600-baud line, parity included
MAIN = "SALVEX BY BREL"  # the main window's name starts so
STALE = ("Resource temporarily unavailable", "No such file or directory", "Inappropriate ioctl",
         "Input/output error", "No such device")


def wait_until(what, limit, step=0.05):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        got = what()
        if got:
            return got
        time.sleep(step)
    return what()


def connect(address):
    try:
        s = socket.socket(socket.AF_UNIX if isinstance(address, str) else socket.AF_INET)
        s.connect(address)
        return s
    except OSError:
        return None


# What the machine puts on a line: bytes, and these marks before the byte they concern.
class Mark:
    def __init__(self, name, lsr):
        self.name, self.lsr = name, lsr


PARITY, FRAMING, OVERRUN, BRK = Mark("parity", 0x04), Mark("framing", 0x08), Mark("overrun", 0x02), Mark("break", 0)


class Line:
    """The machine's end of a port carried by a QEMU telnet chardev. A QEMU that knows the
    COM-PORT option (RFC 2217) takes line errors in the stream, each just before its byte."""

    def __init__(self, port):
        self.sock = wait_until(lambda: connect(("127.0.0.1", port)), 30)
        self.received = bytearray()
        self.options = set()
        self.lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()
        self.sock.sendall(bytes([IAC, WILL, COM_PORT]))
        self.line_errors = bool(wait_until(lambda: (DO, COM_PORT) in self.options, 3))

    def _read(self):
        state, verb = 0, 0  # 0 data, 1 after IAC, 2 option byte of a negotiation
        while True:
            try:
                chunk = self.sock.recv(4096)
            except OSError:
                return
            if not chunk:
                return
            with self.lock:
                for b in chunk:
                    if state == 0:
                        if b == IAC:
                            state = 1
                        else:
                            self.received.append(b)
                    elif state == 1:
                        state, verb = 0, b
                        if b == IAC:
                            self.received.append(b)
                        elif WILL <= b <= 0xFE:
                            state = 2
                    else:
                        state = 0
                        self.options.add((verb, b))

    def take(self):
        with self.lock:
            got = bytes(self.received)
            self.received.clear()
            return got

    def wait_request(self, limit=20):
        """Waits for "Recibir Datos" to reach the machine; returns what arrived."""
        seen = bytearray()
        wait_until(lambda: seen.extend(self.take()) or b"W" in seen, limit)
        return bytes(seen)

    def send(self, data, seconds=None):
        """Sends at the pace of the line; with seconds, stops then and returns what went."""
        start, sent = time.monotonic(), 0
        while sent < len(data):
            if seconds is not None and time.monotonic() - start >= seconds:
                break
            piece = data[sent:sent + 32]
            self.sock.sendall(piece.replace(b"\xff", b"\xff\xff"))
            sent += len(piece)
            time.sleep(max(0.0, start + sent / PACE - time.monotonic()))
        return data[:sent]

    def play(self, pieces):
        """Puts an answer on the line in one write: bytes, and marks (PARITY, FRAMING,
        OVERRUN, BRK) each before the byte it concerns (an overrun: bytes lost before it)."""
        stream = bytearray()
        for piece in pieces:
            if piece is BRK:
                stream += bytes([IAC, BREAK])
            elif isinstance(piece, Mark):
                stream += bytes([IAC, SB, COM_PORT, NOTIFY_LINESTATE, piece.lsr, IAC, SE])
            else:
                stream += piece.replace(b"\xff", b"\xff\xff")
        self.sock.sendall(stream)


class Monitor:
    """QEMU's monitor (QMP)."""

    def __init__(self, path):
        self.sock = wait_until(lambda: connect(path), 30)
        self.file = self.sock.makefile("rwb")
        self.file.readline()
        self.call("qmp_capabilities")

    def call(self, command, **arguments):
        self.file.write(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
        self.file.flush()
        while True:
            answer = json.loads(self.file.readline())
            if "return" in answer or "error" in answer:
                return answer

    def hmp(self, line):
        return self.call("human-monitor-command", **{"command-line": line}).get("return", "")


class Shell:
    """A root shell in the guest, on the virtio port."""

    def __init__(self, path, console, log):
        self.sock = wait_until(lambda: connect(path), 30)
        self.log, self.buffer, self.count = log, b"", 0
        if not wait_until(lambda: b"lab: ready" in open(console, "rb").read(), 180, 0.2):
            raise RuntimeError("the guest did not come up; see " + console)
        # The shell may open its port a moment after saying so: ask until it answers.
        wait_until(lambda: self._answers(), 60, 0)

    def _answers(self):
        try:
            return self.run("true", 2) or True
        except TimeoutError:
            return False

    def run(self, command, limit=60):
        """Runs a command line; returns its output and exit status."""
        started = time.monotonic()
        try:
            return self._run(command, limit)
        finally:
            with open(self.log, "a") as log:
                log.write(f"{time.monotonic() - started:6.1f} s  {command.strip()[:150]!r}\n")

    def _run(self, command, limit):
        self.count += 1
        mark = b"@@lab%d@@ " % self.count
        self.sock.sendall(command.encode() + b"\nprintf '\\n%s %d\\n' " + mark[:-1] + b" $?\n")
        end = time.monotonic() + limit
        while mark not in self.buffer or b"\n" not in self.buffer.split(mark, 1)[1]:
            left = end - time.monotonic()
            if left <= 0:
                raise TimeoutError(command)
            self.sock.settimeout(left)
            try:
                self.buffer += self.sock.recv(65536)
            except socket.timeout:
                raise TimeoutError(command) from None
        out, rest = self.buffer.split(mark, 1)
        code, self.buffer = rest.split(b"\n", 1)
        out = out.decode(errors="replace")
        return (out[:-1] if out.endswith("\n") else out), int(code)


class Guest:
    """Boots the guest: Debian's kernel, the lab's initramfs, a root of the given /usr and
    /etc over 9p, COM1 (an 8250, isa-serial) and an FTDI adapter (usb-serial) on telnet
    chardevs, QEMU's monitor and a shell."""

    def __init__(self, args, work):
        self.work = work
        ports = []
        for _ in range(2):
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                ports.append(s.getsockname()[1])
        os.makedirs(f"{work}/share", exist_ok=True)
        self.ftdi_device = "usb-serial,id=ftdi0,bus=xhci.0,chardev=u0,always-plugged=on"
        shares = [("hostusr", args.usr, True), ("hostetc", args.etc, True),
                  ("hostfc", args.fontconfig, True), ("repo", args.repo, True),
                  ("build", args.build, True), ("cache", args.cache, True), ("work", f"{work}/share", False)]

        def telnet(name, port):
            return ["-chardev", f"socket,id={name},host=127.0.0.1,port={port},server=on,wait=off,telnet=on"]
        command = [args.qemu, "-accel", "tcg,thread=multi", "-smp", "2", "-m", "1536",
                   "-machine", "q35", "-cpu", "max", "-nodefaults", "-vga", "none", "-display", "none",
                   "-no-reboot", "-kernel", args.kernel, "-initrd", args.initrd,
                   "-append", "console=ttyS0 rdinit=/init panic=-1 quiet",
                   "-chardev", f"file,id=con,path={work}/console.log", "-serial", "chardev:con",
                   *telnet("s1", ports[0]), "-device", "isa-serial,chardev=s1,index=1",
                   "-qmp", f"unix:{work}/qmp.sock,server=on,wait=off",
                   "-device", "virtio-serial-pci",
                   "-chardev", f"socket,id=ctl,path={work}/ctl.sock,server=on,wait=off",
                   "-device", "virtserialport,chardev=ctl,name=lab",
                   "-device", "qemu-xhci,id=xhci", *telnet("u0", ports[1]), "-device", self.ftdi_device]
        for tag, path, readonly in shares:
            command += ["-virtfs", f"local,path={path},mount_tag={tag},security_model=none,multidevs=remap"
                        + (",readonly=on" if readonly else "")]
        self.qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=open(f"{work}/qemu.log", "wb"),
                                     stderr=subprocess.STDOUT)
        open(f"{work}/qemu.pid", "w").write(str(self.qemu.pid))
        self.monitor = Monitor(f"{work}/qmp.sock")
        self.com1 = Line(ports[0])
        self.ftdi = Line(ports[1])
        self.shell = Shell(f"{work}/ctl.sock", f"{work}/console.log", f"{work}/commands.log")

    def stop(self):
        if self.qemu.poll() is None:
            try:
                self.monitor.call("quit")
                self.qemu.wait(10)
            except Exception:
                self.qemu.kill()
                self.qemu.wait()


class Operator:
    """salvex in the guest, driven as an operator drives it: controls found by their
    accessible names, read through AT-SPI (inguest.py reader)."""

    def __init__(self, guest, with_ttyle):
        self.guest, self.work, self.entry, self.places = guest, guest.work, 1, {}
        g = self.g
        g(". /repo/tests/lab/prelude.sh")
        out, code = g("mods xhci_pci ftdi_sio cdc_acm usb_f_acm dummy_hcd && mods g_serial && "
                      "ready /dev/ttyS1 && ready /dev/ttyUSB0 && ready /dev/ttyACM0 && ls /dev/ttyGS0", 120)
        if code:
            raise RuntimeError("the drivers did not come up: " + out)
        if with_ttyle:
            out, code = g("insmod /cache/ttyle-$abi/ttyle.ko && ready /dev/ttyLE0 && ls /dev/ttyle_ctl")
            if code:
                raise RuntimeError("the test serial driver did not load: " + out)
        g("virtual_display")
        g("bus=$(op dbus-daemon --session --fork --print-address=1 --nopidfile) && export bus; "
          "op /usr/libexec/at-spi-bus-launcher --launch-immediately > $work/atspi.log 2>&1 & pids+=($!)")
        g("(cd $out && exec setpriv --reuid=1000 --regid=1000 --groups=20 env HOME=/tmp/home "
          "XDG_RUNTIME_DIR=/tmp/run DISPLAY=$DISPLAY DBUS_SESSION_BUS_ADDRESS=$bus SALVEX_COM4=/dev/ttyLE0 "
          "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb LANG=C.UTF-8 /build/app/salvex) "
          "> $work/salvex.log 2>&1 & app=$!")
        out, code = g("press '^SALVEX$' Return && window '^SALVEX BY BREL'", 90)
        if code:
            raise RuntimeError("salvex did not come up: " + out + g("cat $work/salvex.log")[0])
        g("mkfifo /tmp/ask /tmp/said && chmod 666 /tmp/ask /tmp/said && "
          "{ op /usr/bin/python3 /repo/tests/lab/inguest.py reader /tmp/ask /tmp/said > $work/reader.log 2>&1 & }")

    def g(self, command, limit=60):
        return self.guest.shell.run(command, limit)

    def ask(self, request):
        """What the program shows, from the reader in the guest."""
        out, _ = self.g(f"ask '{request}'", 120)
        try:
            return json.loads(out.strip().splitlines()[-1])
        except (ValueError, IndexError):
            return []

    def controls(self, window):
        """The controls showing in the window: (role, name) -> [x, y, width, height]."""
        return {(c[0], c[1]): c[2:] for c in reversed(self.ask(f"controls {window}")) if isinstance(c, list)}

    def find(self, role, name, window=MAIN):
        """Where a control is: [x, y, width, height]. The main window stays put, so its
        controls are looked up once."""
        places = self.places if window == MAIN else {}
        if (role, name) not in places:
            places.update(wait_until(lambda: (c := self.controls(window)) and (role, name) in c and c, 20, 0.5) or {})
            if window == MAIN:
                self.places = places
        if (role, name) not in places:
            raise RuntimeError(f"no {role} named \"{name}\" in the window \"{window}\"")
        return places[(role, name)]

    def press(self, name, window=MAIN):
        """Clicks the button named name."""
        x, y, w, h = self.find("push button", name, window)
        self.g(f"xdotool mousemove {x + w // 2} {y + h // 2} click 1")

    def arrow(self, name):
        """Clicks the arrow of the list named name."""
        x, y, w, h = self.find("combo box", name)
        self.g(f"xdotool mousemove {x + w - h // 2} {y + h // 2} click 1")

    def boxes(self):
        return int(self.g("boxes")[0].split()[-1])

    def box(self, limit=20, read=True):
        """Waits for the program's box; returns its text (when asked) and how many are up."""
        count = int(self.g(f"box_up {limit}", limit + 60)[0].split()[-1])
        if not count or not read:
            return None, count
        texts = self.ask("boxes")
        return (texts[0] if texts else ""), count

    def no_box(self, limit=3):
        """Allows the program limit seconds to put up a box it should not; returns the texts
        of those it did and closes them."""
        count = self.box(limit, read=False)[1]
        texts = self.ask("boxes") if count else []
        self.ok_all()
        return texts

    def ok_all(self):
        """Answers every box up with Enter; returns how many there were."""
        return int(self.g("answer_boxes", 120)[0].split()[-1])

    def shows(self, data, limit=30):
        """Waits until the received text shows data's characters (a CR LF pair shows as one)."""
        wanted = len(data) - data.count(b"\r\n")
        got = json.loads(self.g(f"shows {wanted} {limit}", limit + 60)[0].strip().splitlines()[-1] or "[]")
        return got and isinstance(got[0], int) and got[0] >= wanted

    def open_port(self):
        self.press("Abrir puerto")
        text, _ = self.box()
        self.ok_all()
        return text

    def close_port(self):
        self.press("Cerrar puerto")
        text, _ = self.box()
        self.ok_all()
        return text

    def step(self, name, key):
        """Moves the list named name one entry with the keyboard (Up or Down), as an
        operator may, and answers the box that follows."""
        x, y, w, h = self.find("combo box", name)
        self.g(f"xdotool mousemove {x + w // 3} {y + h // 2} click 1 key {key}")
        self.box(read=False)
        self.ok_all()

    def choose(self, entry):
        """Chooses an entry of the port list; each step tells the port must be opened first."""
        while self.entry != entry:
            self.step("Puerto", "Down" if entry > self.entry else "Up")
            self.entry += 1 if entry > self.entry else -1

    def save(self, name):
        """Saves the text under the proposed name and hands the file to the host."""
        self.press("crear archivo excel")
        self.press("Aceptar", "Salvex by Brel")
        self.g("window '^ Salvex by Brel$' > /dev/null && press '^ Salvex by Brel$' Return")  # the proposed name
        self.box(read=False)
        self.ok_all()  # Verifique su correcta grabación
        self.press("Cancelar", "Salvex by Brel")
        self.g(f"mv $out/terminal.xls /work/{name}.xls")
        try:
            return open(f"{self.work}/share/{name}.xls", "rb").read()
        except OSError:
            return None

    def clear(self):
        self.press("borrar")

    def receive(self):
        self.press("Recibir Datos")

    def state(self, name):
        """The state label's colour, from a screenshot."""
        return (self.g(f"status {name} '^SALVEX BY BREL'")[0].strip().splitlines() or [""])[-1]

    def cpu_ticks(self):
        out = self.g("cut -d' ' -f14,15 /proc/$app/stat")[0].split()
        return int(out[-2]) + int(out[-1])

    def screenshot(self, name):
        self.g(f"import -window root /work/{name}.png")

    def recover(self):
        """After a case set broke: every box answered, the port closed."""
        self.ok_all()
        self.press("Cerrar puerto")
        self.box(5, read=False)
        self.ok_all()


def compare(saved, wanted):
    """None if the saved file is exactly what was wanted; else where they part."""
    if saved is None:
        return "nothing saved"
    if saved == wanted:
        return None
    at = next((i for i, (a, b) in enumerate(zip(saved, wanted)) if a != b), min(len(saved), len(wanted)))
    return (f"saved {len(saved)} bytes, wanted {len(wanted)}; first difference at {at}: "
            f"saved {saved[at:at + 8].hex(' ')} wanted {wanted[at:at + 8].hex(' ')}")


class Report:
    """PASS, FAIL or SKIP lines as the cases end, and the same as JUnit XML at the end."""

    def __init__(self, suite):
        self.suite, self.results, self.started = suite, [], time.monotonic()
        self.last = self.started

    def case(self, name, problems, seen, skipped=None):
        verdict = "SKIP" if skipped else "FAIL" if problems else "PASS"
        now = time.monotonic()
        self.results.append((name, verdict, seen, [skipped] if skipped else problems, now - self.last))
        self.last = now
        print(f"{verdict} {name}: {skipped or seen}" + "".join(f"\n     - {p}" for p in problems), flush=True)

    def failed(self):
        return [r[0] for r in self.results if r[1] == "FAIL"]

    def write_junit(self, path):
        cases = []
        for name, verdict, seen, problems, took in self.results:
            body = f"<system-out>{escape(seen)}</system-out>"
            if verdict == "FAIL":
                body = f"<failure message={quoteattr(problems[0])}>{escape(chr(10).join(problems))}</failure>" + body
            elif verdict == "SKIP":
                body = f"<skipped message={quoteattr(problems[0])}/>"
            cases.append(f"  <testcase classname={quoteattr(self.suite)} name={quoteattr(name)} "
                         f"time=\"{took:.1f}\">{body}</testcase>")
        skipped = sum(r[1] == "SKIP" for r in self.results)
        with open(path, "w") as out:
            out.write(f"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuite name={quoteattr(self.suite)} "
                      f"tests=\"{len(self.results)}\" failures=\"{len(self.failed())}\" skipped=\"{skipped}\" "
                      f"time=\"{time.monotonic() - self.started:.0f}\">\n" + "\n".join(cases) + "\n</testsuite>\n")
