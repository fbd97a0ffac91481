# SPDX-License-Identifier: MIT
"""What the case sets share: the answers the machine gives and the checks on what the
operator sees after a break, a line error, an unplugged adapter and a replugged one."""
import re

from labkit import BRK, FRAMING, OVERRUN, PARITY, STALE, Mark, compare

REPORT = (b"MAQUINA 0042  RECAUDACION\r\nFecha 07/12/2026  Hora 10:15\r\nA\xf1o \xe9xito\r\n"
          + b"".join(b"CONTADOR %02d ENTRADAS %06d SALIDAS %06d\r\n" % (i, i * 125, i * 37) for i in range(40))
          + b"TOTAL 000123456\r\n")
ALL_BYTES = bytes(range(256)) + b"\r\n"
# How the box words each kind: one, many, any count.
KINDS = {"damaged": ("1 byte dañado", "{} bytes dañados", r"\d+ bytes? dañados?"),
         "parity": ("1 error de paridad", "{} errores de paridad", r"\d+ errore?s? de paridad"),
         "framing": ("1 error de trama", "{} errores de trama", r"\d+ errore?s? de trama"),
         "break": ("1 corte de la línea", "{} cortes de la línea", r"\d+ cortes? de la línea"),
         "overrun": ("1 desbordamiento del adaptador", "{} desbordamientos del adaptador",
                     r"\d+ desbordamientos? del adaptador")}


def worded(kind, n):
    one, many, _ = KINDS[kind]
    return one if n == 1 else many.format(n)


def counted(text, counts):
    """What the box's text gets wrong about the count of each kind (a dict kind: n)."""
    problems = []
    for kind, (_, _, any_count) in KINDS.items():
        n = counts.get(kind, 0)
        if n and worded(kind, n) not in (text or ""):
            problems.append(f"the box does not tell \"{worded(kind, n)}\"")
        if not n and re.search(any_count, text or ""):
            problems.append(f"the box tells {kind}, which was not put on the line")
    return problems


def one_box(lab, text, counts):
    """What is wrong with the boxes of a damaged answer: one up, telling each kind's count.
    Answers them all."""
    more = lab.op.ok_all()
    more += len(lab.op.no_box(1))  # a second box, late
    problems = counted(text, counts)
    if text is None or more != 1:
        problems.append(f"{more} box(es) instead of one")
    return problems


def told(lab, name, counts, text, seen):
    """One box up for a damaged answer, telling each kind's count: the case's verdict."""
    lab.report.case(name, one_box(lab, text, counts), f"{seen}; box: {text!r}")


def after_text(lab, name, saved, wanted, answers, seen):
    """The saved text of several answers: exact, or which answer it parts in."""
    bad = compare(saved, wanted)
    if bad and saved:
        at = next((i for i, (x, y) in enumerate(zip(saved, wanted)) if x != y), len(saved))
        start = 0
        for answer_name, text in answers:
            if at < start + len(text):
                bad += f" (in the answer \"{answer_name}\")"
                break
            start += len(text)
    lab.report.case(name, [bad] if bad else [], seen + (": exact" if not bad else ": differs"))


# Answers with line errors, put on the line by a QEMU that takes them (labkit.Line.play):
# the pieces, the text left (damaged bytes stay as they came; a break and an overrun add
# nothing), and each kind's count the box must tell.
LINE_ERRORS = [
    ("one parity error", [b"OK 1", PARITY, b"2", b"345\r\n"], b"OK 12345\r\n", {"parity": 1}),
    ("one framing error", [b"OK 1", FRAMING, b"2", b"34\r\n"], b"OK 1234\r\n", {"framing": 1}),
    ("a break", [b"OK 1", BRK, b"23\r\n"], b"OK 123\r\n", {"break": 1}),
    ("an overrun", [b"OK 1", OVERRUN, b"23\r\n"], b"OK 123\r\n", {"overrun": 1}),
    ("2 overruns, a byte read between", [b"OK 1", OVERRUN, b"2", OVERRUN, b"3\r\n"], b"OK 123\r\n",
     {"overrun": 2}),
    # A damaged NUL arrives marked as a break is; the driver's counts tell them apart.
    ("a damaged 0xFF, a damaged 0x00, real 0xFFs",
     [b"A", PARITY, b"\xff", b"B", PARITY, b"\x00", b"C\xff\xff\xff\r\n"], b"A\xffB\x00C\xff\xff\xff\r\n",
     {"parity": 2}),
    ("every kind in one answer",
     [b"OK ", PARITY, b"1", FRAMING, b"2", b"3", BRK, b"4", OVERRUN, b"5", PARITY, b"6\r\n"],
     b"OK 123456\r\n", {"parity": 2, "framing": 1, "break": 1, "overrun": 1}),
    ("a clean answer", [b"OK 12345\r\n"], b"OK 12345\r\n", {}),
]


def line_errors(lab, line, driver, rows=LINE_ERRORS):
    """Each answer through the operator's road: request, box, text; the text of all of
    them saved once at the end (a save an answer would take minutes under emulation)."""
    op = lab.op
    if not line.line_errors:
        for name, pieces, *_ in rows:
            if any(isinstance(p, Mark) for p in pieces):
                lab.report.case(f"{driver} {name}", [], "", skipped="this QEMU puts no line errors on the line")
        rows = [row for row in rows if not any(isinstance(p, Mark) for p in row[1])]
    op.clear()
    answers = []
    for name, pieces, text, counts in rows:
        op.receive()
        line.wait_request()
        line.play(pieces)
        shown = "; ".join(p.name if hasattr(p, "name") else p.hex(" ") for p in pieces)
        op.shows(b"".join(t for _, _, t, _ in rows[:len(answers) + 1]))
        if counts:
            box, _ = op.box()
            if box and name == "every kind in one answer":
                op.screenshot(f"lab-{driver.split('_')[0]}-line-errors")
            told(lab, f"{driver} {name}", counts, box, f"put on the line: {shown}")
        else:
            extra = op.no_box()
            lab.report.case(f"{driver} {name}", [f"box(es): {extra}"] if extra else [],
                            f"put on the line: {shown}; no box")
        answers.append((name, text))
    wanted = b"".join(t for _, t in answers) + b"\r\n"
    after_text(lab, f"{driver} text of the damaged answers", op.save(driver.replace(" ", "-") + "-line-errors"),
               wanted, answers,
               f"{len(answers)} answers saved in one file")


def every_byte(lab, line, driver, opened):
    """Every byte value through the driver, saved exactly."""
    op = lab.op
    op.clear()
    op.receive()
    request = line.wait_request()
    line.send(ALL_BYTES)
    op.shows(ALL_BYTES)
    bad = compare(op.save(f"{driver}-all-bytes"), ALL_BYTES + b"\r\n")
    lab.report.case(f"{driver} every byte value", [bad] if bad else [],
                    f"{opened!r}; request {request!r}; every byte value 0-255 + CR LF; saved file "
                    + ("exact" if not bad else "differs"))


def break_mid_answer(lab, name, text, save, seen):
    """A break in the middle of the report: one box that counts it, the text unchanged."""
    problems = one_box(lab, text, {"break": 1})
    bad = compare(save(), REPORT + b"\r\n")
    if bad:
        problems.append("the text: " + bad)
    lab.report.case(name, problems, f"{seen}; box: {text!r}")


def lost(lab, name, went, what, screenshot):
    """The adapter went mid-answer: one box that says so, the port shown closed, the part
    that came kept, and the program idle."""
    op = lab.op
    text, count = op.box()
    colour = op.state("lost")
    if text is not None:
        op.screenshot(screenshot)
    before = op.cpu_ticks()
    op.g("sleep 3")  # the time over which the program must stay idle
    ticks = op.cpu_ticks() - before
    count = op.ok_all()
    count += len(op.no_box(1))
    saved = op.save(name.split()[0] + "-unplug")
    problems = []
    if colour != "red":
        problems.append(f"the state shows {colour or 'nothing'}, not CERRADO in red")
    if count != 1:
        problems.append(f"{count} boxes instead of one")
    for stale in STALE:
        if stale in (text or ""):
            problems.append(f"the box gives a stale system text \"{stale}\"")
    if "el dispositivo se desconectó" not in (text or ""):
        problems.append("the box does not say \"el dispositivo se desconectó\"")
    bad = compare(saved, went + b"\r\n")
    if bad:
        problems.append("the partial answer: " + bad)
    if ticks > 15:
        problems.append(f"busy after the loss: {ticks} ticks of CPU in 3 s")
    lab.report.case(name, problems, f"{what}: state {colour}, {count} box(es): {text!r}; "
                    f"{ticks} CPU ticks in 3 s; saved {len(saved or b'')} bytes")


def replugged(lab, name, request, answer, what, before=False):
    """The same entry reopens after the replug and collects every byte value."""
    op = lab.op
    op.clear()
    opened = op.open_port()
    if before:
        answer()
    op.receive()
    request()
    if not before:
        answer()
    op.shows(ALL_BYTES)
    bad = compare(op.save(name.split()[0] + "-replug"), ALL_BYTES + b"\r\n")
    problems = [bad] if bad else []
    if not opened or "abierto OK" not in opened:
        problems.append(f"the entry did not reopen: {opened!r}")
    lab.report.case(name, problems, f"{what}; the same entry reopened ({opened!r}) and collected every byte "
                    "value: " + ("exact" if not bad else "differs"))
