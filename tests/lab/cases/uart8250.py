# SPDX-License-Identifier: MIT
"""The 8250 (COM1, /dev/ttyS1): the port list, every byte, a break, a clean answer and
line errors, the machine playing on QEMU's 16550."""
from cases.shared import REPORT, break_mid_answer, every_byte, line_errors
from labkit import BRK, wait_until


def run(lab):
    op, line = lab.op, lab.guest.com1
    op.choose(1)
    op.clear()
    ports(lab)
    every_byte(lab, line, "8250", "COM1")

    op.clear()
    op.receive()
    line.wait_request()
    line.send(REPORT[:600])
    stock = not line.line_errors  # it hands a break over before the bytes sent just ahead of it
    if stock:
        op.g("sleep 0.5")
    line.play([BRK])
    if stock:
        op.g("sleep 0.5")
    line.send(REPORT[600:])
    text, _ = op.box()
    if text is not None:
        op.screenshot("lab-8250-break")
    break_mid_answer(lab, "8250 break mid-answer", text, lambda: op.save("8250-break"),
                     f"a break after 600 of {len(REPORT)} bytes on ttyS1")

    line_errors(lab, line, "8250")
    op.close_port()


def ports(lab):
    """COM1 opens only its own device; the open list tells the other entries' devices."""
    op = lab.op
    op.g("strace -f -qq -e trace=openat,open -o $work/strace.log -p $app > /dev/null 2>&1 & tracer=$!; "
         "until grep -q 'TracerPid:[[:space:]]*[1-9]' /proc/$app/status; do sleep 0.1; done")
    opened = op.open_port()
    op.arrow("Puerto")
    tips = {}
    for entry in (2, 3):
        at = wait_until(lambda: op.controls("").get(("list item", f"COM{entry}:")), 10, 0.5)
        if at:
            x, y, w, h = at
            op.g(f"xdotool mousemove {x + w // 2} {y + h // 2}")
            # The tooltip of the entry before may still be up: the new one replaces it.
            tip = wait_until(lambda: [t for t in op.ask("tips") if t not in tips.values()], 8, 0.5)
            tips[entry] = tip[0] if tip else "(no tooltip)"
        else:
            tips[entry] = "(entry not found)"
    op.g("xdotool key Escape; kill $tracer; wait $tracer")
    traced = op.g("grep -E '/dev/tty(S|USB|ACM)[0-9]' $work/strace.log | grep -v '\"/dev/ttyS1\"' | "
                  "sed -E 's/^[0-9]+ +//' | sort | uniq -c | sort -rn | head -n 8")[0]
    problems = []
    for entry, device in ((2, "/dev/ttyUSB0"), (3, "/dev/ttyACM0")):
        if device not in tips[entry]:
            problems.append(f"COM{entry}'s tooltip says \"{tips[entry]}\", not {device}")
    if traced.strip():
        problems.append("other serial devices opened:\n       " + traced.strip().replace("\n", "\n       "))
    lab.report.case("ports", problems, f"opened COM1 ({opened!r}), opened the port list under strace; "
                    f"tooltips COM2 {tips[2]!r}, COM3 {tips[3]!r}")
