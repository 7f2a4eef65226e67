#!/usr/bin/env python3
"""A loopback serial device for tests under Wine.

Usage: pty-echo.py LINK

Opens a pseudo-terminal in raw mode, points LINK (a Wine dosdevices COM name) at its slave, prints
"ready SLAVE_PATH" and sends back every byte it receives until it gets SIGTERM or SIGINT. The
slave stays open here too, so that the port survives the program under test closing and
reopening it.
"""
import os
import select
import signal
import sys
import tty


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    link = sys.argv[1]
    master, slave = os.openpty()
    # Raw on both sides: no echo, no line editing, no CR/LF translation by the line discipline.
    tty.setraw(slave)
    tty.setraw(master)
    slave_path = os.ttyname(slave)
    staged = link + ".new"
    if os.path.lexists(staged):
        os.unlink(staged)
    os.symlink(slave_path, staged)
    os.replace(staged, link)

    running = True

    def stop(_signum, _frame):
        nonlocal running
        running = False

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("ready", slave_path, flush=True)

    while running:
        try:
            readable, _, _ = select.select([master], [], [], 0.1)
        except InterruptedError:
            continue
        if readable:
            data = os.read(master, 4096)
            while data:
                data = data[os.write(master, data):]
    return 0


if __name__ == "__main__":
    sys.exit(main())
