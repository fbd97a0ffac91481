# SPDX-License-Identifier: MIT
"""ftdi_sio (COM2, /dev/ttyUSB0), the machine playing through QEMU's FTDI chip: every
byte, line errors, an unplug mid-answer, a replug, and a chip that groups a damaged byte
with the bytes before it in one packet."""
import time

from cases.shared import ALL_BYTES, REPORT, every_byte, line_errors, lost, replugged
from labkit import PARITY


def run(lab):
    op, guest = lab.op, lab.guest
    op.choose(2)
    op.clear()
    opened = op.open_port()
    every_byte(lab, guest.ftdi, "ftdi_sio", f"COM2 ({opened!r})")
    line_errors(lab, guest.ftdi, "ftdi_sio")

    op.clear()
    op.receive()
    guest.ftdi.wait_request()
    went = guest.ftdi.send(REPORT, seconds=1.5)
    time.sleep(0.3)  # the unplug: time for the last byte to arrive, within the answer
    guest.monitor.hmp("device_del ftdi0")
    lost(lab, "ftdi_sio unplug mid-answer", went,
         f"unplugged the adapter (QMP device_del) 1.5 s into the answer, after {len(went)} of {len(REPORT)} bytes",
         "lab-ftdi-unplug")

    # Back as a chip that groups bytes as real FTDI chips do, when the QEMU can.
    grouping = ",ftdi-grouping=on" if guest.ftdi.line_errors else ""
    guest.monitor.hmp("device_add " + guest.ftdi_device + grouping)
    op.g("ready /dev/ttyUSB0")
    replugged(lab, "ftdi_sio replug", guest.ftdi.wait_request, lambda: guest.ftdi.send(ALL_BYTES),
              "replugged the adapter (QMP device_add)")
    # The driver marks every byte of the packet that held the damaged one, and counts one
    # error: the box can tell the bytes marked, not which of them was damaged or how.
    line_errors(lab, guest.ftdi, "ftdi_sio grouped", [
        ("one parity error in a packet of 8", [b"OK 1234", PARITY, b"5", b"\r\n"], b"OK 12345\r\n",
         {"damaged": 8})])
    op.close_port()
