#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The lab (scripts/lab.sh prepares and starts it): boots one guest, starts salvex in it
and runs the case sets in order, one file a driver under cases/. Each case prints PASS,
FAIL or SKIP; the same goes to a JUnit XML file."""
import argparse
import importlib
import os
import sys
import time
from types import SimpleNamespace

sys.dont_write_bytecode = True  # nothing written into the repository
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from labkit import Guest, Operator, Report  # noqa: E402

SETS = {"8250": "uart8250", "ftdi": "ftdi", "acm": "acm", "ttyle": "ttyle"}


def main():
    p = argparse.ArgumentParser()
    for option in ("repo", "build", "kernel", "initrd", "cache", "work", "junit"):
        p.add_argument("--" + option, required=True)
    p.add_argument("--qemu", default="qemu-system-x86_64")
    p.add_argument("--usr", default="/usr", help="the guest's /usr (another Debian's, for its Qt)")
    p.add_argument("--etc", default="/etc")
    p.add_argument("--fontconfig", default="/var/cache/fontconfig")
    p.add_argument("--ttyle", help="the test serial driver's module, if built for this kernel")
    p.add_argument("--suite", default="lab")
    p.add_argument("--cases", help="the case sets to run, in order (default all: "
                   + ",".join(SETS) + "; ttyle only with its module)")
    args = p.parse_args()
    names = (args.cases or ",".join(n for n in SETS if n != "ttyle" or args.ttyle)).split(",")
    report = Report(args.suite)
    guest = None
    try:
        started = time.monotonic()
        guest = Guest(args, args.work)
        print(f"lab: guest up in {time.monotonic() - started:.1f} s", flush=True)
        lab = SimpleNamespace(guest=guest, op=Operator(guest, "ttyle" in names), report=report, work=args.work)
        for name in names:
            try:
                importlib.import_module("cases." + SETS[name]).run(lab)
            except Exception as error:  # a broken set is a failure too; the next one goes on
                report.case(name, [repr(error)], "the case set stopped early")
                lab.op.recover()
    except Exception as error:  # a broken lab is a failure too, with its evidence
        report.case("lab", [repr(error)], "the lab stopped early")
    finally:
        if guest:
            guest.stop()
        report.write_junit(args.junit)
    failed = report.failed()
    print(f"lab: {len(report.results) - len(failed)} passed or skipped, {len(failed)} failed in "
          f"{time.monotonic() - report.started:.0f} s; results also in {args.junit}", flush=True)
    return 1 if failed or not report.results else 0


if __name__ == "__main__":
    sys.exit(main())
