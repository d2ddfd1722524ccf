#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Start-up: from launching the program until its tray item registers with the tray host.

Usage: start_up.py [--runs N] [--program PATH] [--floor PATH]

One desktop session (Xvfb, private buses, the scripted BlueZ with a powered adapter, a tray host)
serves every launch; each launch ends before the next begins. The clock starts just before the
fork and stops when the tray host receives RegisterStatusNotifierItem, both CLOCK_MONOTONIC. The
first launch of the session meets caches the session's own XDG directories do not have yet, so it
is reported on its own row; the rest make the percentiles. Alongside the wall time, the program's
own CPU time (every thread) and the time its threads spent runnable but waiting for a CPU, read
from /proc/<pid>/task/*/schedstat as the registration arrives, separate its cost from the load of
a shared machine. As root, every launch is followed by one at real-time priority (chrt --fifo 1),
whose threads then run as soon as they are woken: what the same launch takes when the machine's
other work does not stand in its way (the X server and the buses it waits on still do). Last, the
floor (quenlark_bench_tray_floor, a bare Qt program that shows a tray item) is launched as many
times the same way: Qt's own share of the program's start-up.
"""

import argparse
import glob
import os
import shutil
import sys
import time

from bench_rows import (DEFAULT_PROGRAM, ROOT, Companion, CompanionSession, TrayHost,
                        milliseconds, percentile, row, verdict)

CHRT = shutil.which('chrt')
FLOOR = os.path.join(ROOT, 'build', 'default', 'bench', 'quenlark_bench_tray_floor')

GOAL_NS = 250_000_000
REGISTRATION_TIMEOUT = 30.0


def scheduler_times(pid):
    """(on-CPU ns, runnable-but-waiting ns) summed over the process's threads."""
    running = waiting = 0
    for path in glob.glob(f'/proc/{pid}/task/*/schedstat'):
        try:
            with open(path, encoding='ascii') as stat:
                fields = stat.read().split()
        except OSError:
            continue  # the thread ended meanwhile
        running += int(fields[0])
        waiting += int(fields[1])
    return running, waiting


def launch(session, host, realtime=False, program=None):
    """One launch: (wall ns, CPU ns, run-queue wait ns)."""
    # Popen returns once the child has exec'd: the fork and exec are inside the measure.
    started = time.monotonic_ns()
    if program:
        companion = Companion(program, [], session.environment(),
                              session.path(f'floor-{len(session.companions)}.log'))
        session.companions.append(companion)
    elif realtime:
        # chrt sets the policy and execs the program in the same process; its threads inherit it.
        companion = Companion(CHRT, ['--fifo', '1', session.program], session.environment(),
                              session.path(f'companion-rt-{len(session.companions)}.log'))
        session.companions.append(companion)
    else:
        companion = session.start_companion()
    try:
        _, registered = host.next_registration(REGISTRATION_TIMEOUT)
        running, waiting = scheduler_times(companion.process.pid)
    finally:
        companion.stop()
    return registered - started, running, waiting


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--runs', type=int, default=20, help='measured launches (default 20)')
    parser.add_argument('--program', default=DEFAULT_PROGRAM)
    parser.add_argument('--floor', default=FLOOR, help='the bare Qt tray program')
    arguments = parser.parse_args()

    realtime = CHRT is not None and os.geteuid() == 0
    with CompanionSession(arguments.program) as session:
        host = TrayHost(session)
        try:
            first = launch(session, host)
            runs, realtime_runs = [], []
            # Interleaved, so that both kinds meet the same load of a shared machine.
            for _ in range(arguments.runs):
                runs.append(launch(session, host))
                if realtime:
                    realtime_runs.append(launch(session, host, realtime=True))
            floor_runs = [launch(session, host, program=arguments.floor)
                          for _ in range(arguments.runs)]
        finally:
            host.close()

    report('start-up', runs)
    row('  first launch of a session (cold XDG caches)', 1, milliseconds(first[0]))
    if realtime_runs:
        report('start-up (program real-time)', realtime_runs)
    floor_walls = [wall for wall, _, _ in floor_runs]
    floor_cpus = [cpu for _, cpu, _ in floor_runs]
    row('start-up floor: bare Qt tray program -> registered', len(floor_walls),
        milliseconds(percentile(floor_walls, 0.5)), milliseconds(percentile(floor_walls, 0.99)))
    row('  its CPU time (all threads)', len(floor_cpus),
        milliseconds(percentile(floor_cpus, 0.5)), milliseconds(percentile(floor_cpus, 0.99)))
    return 0


def report(title, runs):
    walls = [wall for wall, _, _ in runs]
    cpus = [cpu for _, cpu, _ in runs]
    waits = [wait for _, _, wait in runs]
    p50, p90, p99 = (percentile(walls, f) for f in (0.50, 0.90, 0.99))
    row(f'{title}: launch -> tray item registered', len(walls), milliseconds(p50),
        milliseconds(p99), 'p50 <= 250 ms', verdict(p50 <= GOAL_NS))
    row('  the same, p90 and max', len(walls), milliseconds(p90), milliseconds(max(walls)),
        'p90 <= 250 ms', verdict(p90 <= GOAL_NS))
    row('  its CPU time (all threads)', len(cpus), milliseconds(percentile(cpus, 0.5)),
        milliseconds(percentile(cpus, 0.99)))
    row('  its threads runnable, waiting for a CPU', len(waits),
        milliseconds(percentile(waits, 0.5)), milliseconds(percentile(waits, 0.99)))


if __name__ == '__main__':
    sys.exit(main())
