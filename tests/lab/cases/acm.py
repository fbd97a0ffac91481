# SPDX-License-Identifier: MIT
"""cdc_acm (COM3, /dev/ttyACM0); the machine's end is the USB gadget's /dev/ttyGS0 in the
guest: a break, an unplug mid-answer, a replug, and closing with writes stalled."""
import time

from cases.shared import REPORT, ALL_BYTES, break_mid_answer, lost, replugged


def run(lab):
    op = lab.op
    g = op.g
    op.choose(3)
    op.clear()
    opened = op.open_port()
    open(f"{lab.work}/share/report.bin", "wb").write(REPORT)
    open(f"{lab.work}/share/all.bin", "wb").write(ALL_BYTES)
    g("machine /work/report.bin --break-after 600")
    op.receive()
    text, _ = op.box(30)

    def saved():
        g("wait $machine")
        return op.save("acm-break")
    break_mid_answer(lab, "cdc_acm break mid-answer", text, saved,
                     f"COM3 ({opened!r}), a break (tcsendbreak on ttyGS0) after 600 of {len(REPORT)} bytes")

    op.clear()
    g("machine /work/report.bin --seconds 1.5 --sent /work/acm-sent.bin")
    op.receive()
    # The unplug comes 0.3 s after the last byte: time for it to arrive, within the second
    # after which the answer counts as over; the machine's end closes just before.
    g("wait $machine; sleep 0.3; kill $holder; wait $holder; rmmod g_serial")
    went = open(f"{lab.work}/share/acm-sent.bin", "rb").read()
    lost(lab, "cdc_acm unplug mid-answer", went,
         f"unplugged the gadget (rmmod g_serial) 1.5 s into the answer, after {len(went)} of {len(REPORT)} bytes",
         "lab-acm-unplug")

    g("mods g_serial; ready /dev/ttyACM0")
    replugged(lab, "cdc_acm replug", lambda: None, lambda: g("machine /work/all.bin"),
              "replugged the gadget (modprobe g_serial)", before=True)
    g("wait $machine")
    stalled_close(lab)


def stalled_close(lab):
    """A device that stopped taking bytes: its end of the line is open and never read, so the
    driver's writes stay pending; closing must not wait for them (30 s, the closing wait)."""
    op = lab.op
    g = op.g
    outq = ("python3 -c 'import fcntl, struct, termios, os; "
            "fd = os.open(\"/dev/ttyACM0\", os.O_RDONLY | os.O_NONBLOCK); "
            "print(struct.unpack(\"i\", fcntl.ioctl(fd, termios.TIOCOUTQ, b\"0000\"))[0])'")
    g("stty -F /dev/ttyGS0 raw -echo && { sleep 600 < /dev/ttyGS0 & stuck=$!; }")
    # Writes until the driver holds the most it will: the gadget's end takes no more.
    g("{ head -c 1000000 /dev/zero > /dev/ttyACM0 & filler=$!; }; last=-1; "
      f"while q=$({outq}); [ \"$q\" != \"$last\" ]; do last=$q; sleep 0.5; done; kill $filler; wait $filler", 120)
    pending = g(outq)[0]
    op.receive()
    started = time.monotonic()
    op.press("Cerrar puerto")
    text, count = op.box(40)
    took = time.monotonic() - started
    op.ok_all()
    g("kill $stuck $holder; wait $stuck $holder; true")
    problems = [] if count else ["no box after Cerrar puerto"]
    # The guest runs without KVM: a click and a box take a second or two there, more on a
    # busy machine; a closing that waits for the driver takes over 30.
    if took > 15:
        problems.append(f"the window waited {took:.1f} s for the closing")
    lab.report.case("cdc_acm closing with writes stalled", problems,
                    f"writes pending: {pending.strip()!r}; Cerrar puerto to its box: {took:.1f} s; box {text!r}")
