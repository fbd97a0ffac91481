# SPDX-License-Identifier: MIT
"""The lab's test serial driver (ttyle.ko, COM4 through SALVEX_COM4=/dev/ttyLE0): damaged
bytes and overruns handed to the kernel's line discipline flagged as a UART driver flags
them. Each answer: the driver's pushes (ttyle.c's commands), the text it leaves, and the
count of each kind the box must tell."""
from cases.shared import after_text, told

TTYLE = [
    ("one parity-damaged byte", ["data 4f4b2031", "parity 32", "data 3334350d0a"], b"OK 12345\r\n", {"parity": 1}),
    ("one framing-damaged byte", ["data 4f4b2031", "frame 32", "data 33340d0a"], b"OK 1234\r\n", {"framing": 1}),
    ("a break", ["data 4f4b2031", "break", "data 32330d0a"], b"OK 123\r\n", {"break": 1}),
    ("3 overruns", ["data 4f4b2031", "overrun 3", "data 32330d0a"], b"OK 123\r\n", {"overrun": 3}),
    ("all four kinds, marks split across pushes",
     ["data 4f4b20\\nparity 31", "parity 32\\nframe 33", "break\\ndata 34", "overrun 2\\ndata 350d0a"],
     b"OK 12345\r\n", {"parity": 2, "framing": 1, "break": 1, "overrun": 2}),
    # A damaged NUL arrives marked exactly as a break (ff 00 00); the driver's counters tell
    # it from a break: it is kept in the text and told as a parity error.
    ("a damaged 0xFF, a damaged 0x00 (marked as a break is), real 0xFFs",
     ["data 41\\nparity ff", "data 42\\nparity 00\\ndata 43", "data ffffff0d0a"],
     b"A\xffB\x00C\xff\xff\xff\r\n", {"parity": 2}),
    ("a clean answer", ["data 4f4b2031323334350d0a"], b"OK 12345\r\n", {}),
]
AGAIN = "all four kinds, marks split across pushes"  # once more after a speed change


def run(lab):
    """The answers pile up in the text box and are saved once at the end: a save an answer
    would take minutes under emulation."""
    op = lab.op
    op.choose(4)
    op.clear()
    op.open_port()
    answers = []
    for name, pushes, text, counts in TTYLE:
        answer(lab, name, pushes, counts, b"".join(t for _, t in answers) + text)
        answers.append((name, text))
    # The same once the speed changed: the driver's masks come again from the new termios.
    op.close_port()
    op.step("Velocidad", "Up")  # 4800 bauds
    op.open_port()
    name, pushes, text, counts = next(row for row in TTYLE if row[0] == AGAIN)
    answer(lab, name + ", at 4800 baud", pushes, counts, b"".join(t for _, t in answers) + text)
    answers.append((name + ", at 4800 baud", text))
    op.close_port()
    wanted = b"".join(text for _, text in answers) + b"\r\n"
    after_text(lab, "ttyle text of every answer", op.save("ttyle-answers"), wanted, answers,
               f"{len(answers)} answers saved in one file (damaged bytes as they came, nothing for breaks "
               "and overruns)")


def answer(lab, name, pushes, counts, shown):
    op = lab.op
    op.receive()
    out, code = op.g("le " + " ".join(f"'{p}'" for p in pushes))
    seen = f"pushes {pushes}"
    if code:
        lab.report.case("ttyle " + name, [out], seen)
        return
    op.shows(shown)
    if counts:
        text, _ = op.box(10)
        if name == AGAIN and text:
            op.screenshot("lab-ttyle-all-kinds")
        told(lab, "ttyle " + name, counts, text, seen)
    else:
        extra = op.no_box()
        lab.report.case("ttyle " + name, [f"box(es): {extra}"] if extra else [], seen + "; no box")
