#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Crowd: what other Bluetooth devices in range cost the program in CPU time.

Usage: crowd.py [--seconds 60] [--program PATH]

Two desktop sessions, one after the other, each with a tray host and the scripted BlueZ. In the
first the program connects to a clicker, which then goes away (it stops advertising and the link
drops): the program remembers it, and bluetoothd still lists it. As the desktop's Bluetooth
settings would, another client runs an unfiltered discovery all along, so that bluetoothd reports
every device it hears to the whole system bus. In the second session nothing is remembered and
the program runs its own discovery. In each, the program's CPU time (utime+stime of
/proc/<pid>/stat, all threads, and the run time of /proc/<pid>/task/*/schedstat) is counted over
--seconds with no other device in range, then over --seconds with 200 devices that advertise no
clicker service, each heard at a new signal strength 5 times a second (the stand-in's AddCrowd),
once bluetoothd lists them all; their arrival is counted apart. Goal: with the clicker
remembered, the crowd costs at most 10 % more CPU time.
"""

import argparse
import sys
import time

import dbus
from bench_rows import DEFAULT_PROGRAM, CompanionSession, TrayHost, row, verdict
from idle import CLOCK_TICKS, cpu_ticks, thread_counters

CLICKER = 'C0:FF:EE:00:00:01'
CROWD, CHANGES_PER_SECOND = 200, 5.0
GOAL_RATIO = 1.1
TIMEOUT = 30.0
# Long enough for the program to reach the state it waits in after the clicker went.
SETTLE_SECONDS = 5.0
# Long enough for bluetoothd to list every member of the crowd (the stand-in hears them all
# within its first second): their arrival is counted apart from the crowd's steady cost.
ARRIVAL_SECONDS = 5.0


def cpu(pid, seconds):
    """(utime+stime ticks, schedstat run time ns) of the process over `seconds`."""
    ticks, running = cpu_ticks(pid), thread_counters(pid)
    time.sleep(seconds)
    after = thread_counters(pid)
    ran = sum(ns for tid, (_, _, ns) in after.items()) - \
        sum(running[tid][2] for tid in after if tid in running)
    return cpu_ticks(pid) - ticks, ran


def scan_as_the_desktop(session):
    """Another client's unfiltered discovery, as the desktop's Bluetooth settings run."""
    adapter = dbus.Interface(session.bluez.bus.get_object('org.bluez', session.bluez.adapter_path),
                             'org.bluez.Adapter1')
    adapter.SetDiscoveryFilter({'Transport': 'le'})
    adapter.StartDiscovery()


def measure(title, session, companion, seconds):
    """Rows of the program's CPU time without and with the crowd; returns the ratio."""
    pid = companion.process.pid
    quiet_ticks, quiet_ns = cpu(pid, seconds)
    session.bluez.mock.AddCrowd('hci0', dbus.UInt32(CROWD), CHANGES_PER_SECOND)
    _, arrival_ns = cpu(pid, ARRIVAL_SECONDS)
    stand_in = cpu_ticks(session.bluez.process.pid)
    crowd_ticks, crowd_ns = cpu(pid, seconds)
    stand_in = cpu_ticks(session.bluez.process.pid) - stand_in
    if not companion.is_running():
        raise RuntimeError(f'{title}: the program ended')
    # A waiting program spends less than a clock tick of utime+stime in a minute: the ratio is
    # taken on the scheduler's run time, in nanoseconds.
    ratio = crowd_ns / max(quiet_ns, 1)
    for what, ticks, ns in (('no crowd', quiet_ticks, quiet_ns),
                            (f'{CROWD} devices, RSSI {CHANGES_PER_SECOND:g}x/s each', crowd_ticks,
                             crowd_ns)):
        row(f'crowd, {title}: program CPU (utime+stime), {what}', f'{seconds:g} s',
            f'{ticks * 1000 // CLOCK_TICKS} ms')
        row('  the same, schedstat run time', f'{seconds:g} s', f'{ns / 1e6:.1f} ms')
    row(f'  the crowd arriving: its first {ARRIVAL_SECONDS:g} s, schedstat run time', '-',
        f'{arrival_ns / 1e6:.1f} ms')
    row('  the scripted BlueZ itself, with the crowd', f'{seconds:g} s',
        f'{stand_in * 1000 // CLOCK_TICKS} ms')
    return ratio


def remembered_and_away(arguments):
    with CompanionSession(arguments.program) as session:
        host = TrayHost(session)
        try:
            bluez = session.bluez
            bluez.add_clicker(CLICKER, 'Clicker One')
            companion = session.start_companion()
            session.wait_for(lambda: bluez.is_notifying(CLICKER), 'the clicker subscribed',
                             TIMEOUT)
            bluez.mock.SetAdvertising(CLICKER, False)
            bluez.drop_link(CLICKER)
            scan_as_the_desktop(session)
            time.sleep(SETTLE_SECONDS)
            ratio = measure('clicker remembered and away', session, companion,
                            arguments.seconds)
        finally:
            host.close()
    row('crowd, clicker remembered and away: run time with the crowd / without', '-',
        f'{ratio:.2f}x', '-', f'<= {GOAL_RATIO}x', verdict(ratio <= GOAL_RATIO))


def nothing_remembered(arguments):
    with CompanionSession(arguments.program) as session:
        host = TrayHost(session)
        try:
            companion = session.start_companion()
            host.next_registration(TIMEOUT)
            time.sleep(SETTLE_SECONDS)
            ratio = measure('nothing remembered, scanning', session, companion,
                            arguments.seconds)
        finally:
            host.close()
    row('crowd, nothing remembered, scanning: run time with the crowd / without', '-', f'{ratio:.2f}x')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--seconds', type=float, default=60.0,
                        help='each counted period (default 60)')
    parser.add_argument('--program', default=DEFAULT_PROGRAM)
    arguments = parser.parse_args()
    remembered_and_away(arguments)
    nothing_remembered(arguments)
    return 0


if __name__ == '__main__':
    sys.exit(main())
