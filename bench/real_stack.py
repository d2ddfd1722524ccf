#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Figures on the real Bluetooth stack, run inside the VM by scripts/bench (section real_stack):
the time from the clicker starting to advertise until it sees the subscription, on a first
connection and on a reconnect, and notification to key press; each for the program built here
and for the stack's floor (bare_central.py), both timed at the peripheral, in the same VM.

    real_stack.py --build DIR --results DIR [--rounds N]
"""

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'tests', 'realstack'))
from real_stack import (Lines, RealSession, RealStack, SessionError, dbus_send, spawn,  # noqa: E402
                        wait_for)
from bench_rows import milliseconds, percentile, row, verdict  # noqa: E402

GOAL_RATIO = 1.2


def discovering():
    return 'boolean true' in dbus_send('/org/bluez/hci0', 'org.freedesktop.DBus.Properties.Get',
                                       'string:org.bluez.Adapter1', 'string:Discovering')


def advertised_to_subscribed(clicker, before):
    """Starts the clicker's advertising once the central scans; ns until it is subscribed."""
    wait_for(discovering, 'the central to scan')
    started = int(clicker.send('advertise'))
    subscribed = wait_for(lambda: len(clicker.events('subscribed')) > before and
                          clicker.events('subscribed')[before], 'the subscription')
    return subscribed - started


def program_figures(stack, clicker, build, rounds):
    session = RealSession(os.path.join(build, 'src', 'quenlark-companion'))
    first, again, keys = [], [], []
    with session:
        for _ in range(rounds):
            for companion in session.companions:
                companion.stop()
            clicker.send('stop')
            stack.remove_devices()
            session.forget_saved_clicker()
            session.start_companion()
            first.append(advertised_to_subscribed(clicker, len(clicker.events('subscribed'))))
        session.wait_for_panel()
        for _ in range(rounds):
            before = len(clicker.events('subscribed'))
            clicker.send('stop')
            clicker.send('drop')
            time.sleep(1)
            again.append(advertised_to_subscribed(clicker, before))
        # bluetoothd subscribes again by itself before the program has its services: a press
        # in that window is lost, so the timing starts once one has come through.
        for index in range(1, 40):
            clicker.send(f'notify 0 02{index:02x}')
            try:
                session.keys.next_keys(2, timeout=1)
                break
            except SessionError:
                pass
        for index in range(rounds):
            sent = int(clicker.send(f'notify 0 01{index % 256:02x}'))
            keys.append(session.keys.next_keys(2)[0].received_ns - sent)
            time.sleep(0.1)
    return first, again, keys


def floor_figures(stack, clicker, rounds):
    process = spawn(['/usr/bin/python3', os.path.join(HERE, 'bare_central.py')],
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    out = Lines(process)
    out.wait_line('^ready')

    def send(command):
        process.stdin.write(command + '\n')
        process.stdin.flush()

    first, again, values = [], [], []
    for _ in range(rounds):
        clicker.send('stop')
        stack.remove_devices()
        before = len(clicker.events('subscribed'))
        send('connect')
        first.append(advertised_to_subscribed(clicker, before))
    for _ in range(rounds):
        before = len(clicker.events('subscribed'))
        clicker.send('stop')
        clicker.send('drop')
        time.sleep(1)
        send('connect')
        again.append(advertised_to_subscribed(clicker, before))
    for index in range(rounds):
        start = len(out.lines)
        sent = int(clicker.send(f'notify 0 01{index % 256:02x}'))
        values.append(int(out.wait_line('^value', start=start).split()[-1]) - sent)
        time.sleep(0.1)
    process.terminate()
    return first, again, values


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--build', required=True)
    parser.add_argument('--results', required=True)
    parser.add_argument('--rounds', type=int, default=30)
    arguments = parser.parse_args()
    with RealStack(arguments.results) as stack:
        clicker = stack.clicker('hci1')
        program = program_figures(stack, clicker, arguments.build, arguments.rounds)
        stack.remove_devices()
        floor = floor_figures(stack, clicker, arguments.rounds)
    names = ('advertising to subscribed, first connection', 'advertising to subscribed, reconnect',
             'notification to key press (floor: to value at the central)')
    with open(os.path.join(arguments.results, 'samples.txt'), 'w', encoding='utf-8') as samples:
        for name, ours, bare in zip(names, program, floor):
            samples.write(f'{name}\nprogram {ours}\nfloor {bare}\n')
    for name, ours, bare in zip(names, program, floor):
        ratio = percentile(ours, 0.5) / percentile(bare, 0.5)
        goal = f'<= {GOAL_RATIO}x floor p50' if 'reconnect' in name else '-'
        result = verdict(ratio <= GOAL_RATIO) if 'reconnect' in name else f'{ratio:.2f}x floor'
        row(f'real stack: {name}', len(ours), milliseconds(percentile(ours, 0.5)),
            milliseconds(percentile(ours, 0.99)), goal, result)
        row(f'real stack floor: {name}', len(bare), milliseconds(percentile(bare, 0.5)),
            milliseconds(percentile(bare, 0.99)), '-', '-')
    return 0


if __name__ == '__main__':
    sys.exit(main())
