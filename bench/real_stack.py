#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Figures on the real Bluetooth stack, run inside the VM by scripts/bench (section real_stack),
for the program built here and for the stack's floor (bare_central.py), in the same VM, timed at
the peripheral: a clicker waking with a press (advertising again until that press's key, or its
value at the bare central), the first connection (advertising until the clicker sees the
subscription, with the connection and the service resolution on the way), and how much of the
time hci0 scans actively while the remembered clicker sleeps (btmon).

    real_stack.py --build DIR --results DIR [--wakes N] [--rounds N]
"""

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'tests', 'realstack'))
from real_stack import (Lines, RealSession, RealStack, SessionError, dbus_send, end,  # noqa: E402
                        spawn, wait_for)
from bench_rows import milliseconds, percentile, row, verdict  # noqa: E402

GOAL_RATIO = 1.2
FIRST_CONNECTION_RATIO = 1.5
ACTIVE_SCAN_SHARE = 0.05
ASLEEP = 2  # s between a clicker's sleep and its wake
AWAY = 60  # s asleep under btmon; its scanning is counted from SETTLED s on
SETTLED = 30
DELIVERY = 3  # s for the woken press to arrive once the clicker sent it
QUIET_WINDOW, QUIET_SHARE = 1.0, 0.1


def busy_share(window):
    """The share of the VM's CPU time spent busy over `window` seconds (/proc/stat)."""
    def sample():
        with open('/proc/stat', encoding='ascii') as stat:
            fields = [int(value) for value in stat.readline().split()[1:]]
        return sum(fields), fields[3] + fields[4]  # all, idle + iowait
    total, idle = sample()
    time.sleep(window)
    later_total, later_idle = sample()
    return 1 - (later_idle - idle) / max(later_total - total, 1)


def wait_until_quiet():
    """Until the VM's one CPU is mostly idle: a clicker is switched on beside a central that has
    long finished starting, and on one vCPU under TCG a program still starting up (or its release
    check) would take the CPU from bluetoothd."""
    wait_for(lambda: busy_share(QUIET_WINDOW) <= QUIET_SHARE, 'the VM to be quiet', timeout=120)


def discovering():
    return 'boolean true' in dbus_send('/org/bluez/hci0', 'org.freedesktop.DBus.Properties.Get',
                                       'string:org.bluez.Adapter1', 'string:Discovering')


class Central:
    """bare_central.py on hci0: the floor, or with `watch` a step of the program's link."""

    def __init__(self, watch=False):
        self.process = spawn([sys.executable, os.path.join(HERE, 'bare_central.py')] +
                             (['--watch'] if watch else []),
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.out = Lines(self.process)
        self.out.wait_line('^ready')

    def send(self, command):
        self.process.stdin.write(command + '\n')
        self.process.stdin.flush()

    def moment(self, kind, start):
        return int(self.out.wait_line(f'^{kind} ', start=start).split()[-1])

    def close(self):
        end(self.process)


def cpu_ns(pid):
    """utime+stime of a process, all threads, in ns."""
    with open(f'/proc/{pid}/stat', encoding='ascii') as stat:
        fields = stat.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1_000_000_000 // os.sysconf('SC_CLK_TCK')


def first_connection(clicker, steps, btmon, start_central, pids):
    """Once the central scans, the clicker advertises: ns from then until hci0 completes the
    connection (btmon), bluetoothd has resolved its services and the clicker is subscribed; then
    the CPU time the central and bluetoothd spent meanwhile. `start_central` returns the
    central's pid, `pids` the others'."""
    clicker.send('stop')
    start, before = len(steps.out.lines), len(clicker.events('subscribed'))
    central = start_central()
    wait_for(discovering, 'the central to scan')
    wait_until_quiet()
    watched = [central] + pids
    spent = [cpu_ns(pid) for pid in watched]
    advertised = int(clicker.send('advertise'))
    wall = time.time() - time.monotonic()  # btmon's clock, less CLOCK_MONOTONIC
    subscribed = wait_for(lambda: len(clicker.events('subscribed')) > before and
                          clicker.events('subscribed')[before], 'the subscription')
    spent = [cpu_ns(pid) - earlier for pid, earlier in zip(watched, spent)]
    connected = next(moment for moment in btmon.connections() if moment > advertised / 1e9 + wall)
    moments = [advertised, int((connected - wall) * 1e9), steps.moment('resolved', start),
               subscribed]
    return [later - earlier for earlier, later in zip(moments, moments[1:])] + \
        [subscribed - advertised] + spent


def wakes(clicker, count, delivered, first=0):
    """`count` times the clicker sleeps and wakes holding a press, the `first`th onwards: ns from
    advertising again until `delivered(start)` (ns, or None when the press gave nothing), each
    with its part until the clicker sent the press (the subscription confirmed); and the presses
    lost."""
    times, lost = [], 0
    for index in range(first, first + count):
        clicker.send('sleep')
        time.sleep(ASLEEP)
        before = len(clicker.events('woken'))
        advertised = int(clicker.send(f'wake 01{(2 * index) % 256:02x}'))
        arrived = delivered(lambda: wait_for(lambda: len(clicker.events('woken')) > before,
                                             'the woken press sent'))
        if arrived is None:
            lost += 1
        else:
            sent = clicker.events('woken')[before]
            times.append((arrived - advertised, sent - advertised))
    return times, lost


def scanning_while_away(stack, clicker, name):
    """Shares of time hci0 scans actively, passively and initiates while the clicker sleeps."""
    btmon = stack.btmon(name)
    clicker.send('sleep')
    began = time.time()
    time.sleep(AWAY)
    until = time.time()
    btmon.stop()
    return btmon.shares(began + SETTLED, until)[0]


def figures(stack, clicker, build, rounds, count):
    """The program's and the floor's figures. Round by round each central makes a first
    connection and then takes its share of the wakes, floor and program in turn, so that the load
    other work puts on the machine weighs on both alike."""
    session = RealSession(os.path.join(build, 'src', 'quenlark-companion'))
    central = Central()
    # One watcher times the service resolution beside either central, with the same load.
    steps = Central(watch=True)
    others = [stack.bluetoothd.pid, steps.process.pid]

    def forget_floor():
        start = len(central.out.lines)
        central.send('forget')
        central.out.wait_line('^ok', start=start)

    def start_program():
        forget_floor()
        stack.remove_devices()
        session.forget_saved_clicker()
        return session.start_companion().process.pid

    def start_floor():
        for companion in session.companions:
            companion.stop()
        forget_floor()
        central.send('connect')
        return central.process.pid

    def key(press_sent):
        try:
            press_sent()
            return session.keys.next_keys(2, timeout=DELIVERY)[0].received_ns
        except SessionError:
            return None

    def value(press_sent):
        start = len(central.out.lines)
        try:
            press_sent()
            return int(central.out.wait_line('^value 01', timeout=DELIVERY,
                                             start=start).split()[-1])
        except SessionError:
            return None

    per_round = -(-count // rounds)
    btmon = stack.btmon('first')
    with session:
        first, times, lost = {}, {}, {}
        for index in range(rounds):
            share = max(0, min(per_round, count - index * per_round))
            for who, start_central, delivered in (('floor', start_floor, value),
                                                  ('program', start_program, key)):
                first.setdefault(who, []).append(
                    first_connection(clicker, steps, btmon, start_central, others))
                if who == 'program':
                    session.wait_for_panel()
                woken, gone = wakes(clicker, share, delivered, index * per_round)
                times.setdefault(who, []).extend(woken)
                lost[who] = lost.get(who, 0) + gone
        btmon.stop()
        program = first['program'], (times['program'], lost['program']), \
            scanning_while_away(stack, clicker, 'program-away')
        clicker.send('stop')
        start = len(central.out.lines)
        start_floor()
        wait_for(discovering, 'the floor to scan')
        clicker.send('advertise')
        central.out.wait_line('^subscribed', start=start)
        floor = first['floor'], (times['floor'], lost['floor']), \
            scanning_while_away(stack, clicker, 'floor-away')
    steps.close()
    central.close()
    return program, floor


def print_rows(who, first, woken, shares, floor=None):
    label = 'real stack floor' if floor is None else 'real stack'
    samples, lost = woken
    times = [total for total, _ in samples]
    what = 'value at the central' if floor is None else 'key'
    if samples:
        compared = floor is not None and floor[1][0]
        ratio = (percentile(times, 0.5) / percentile([t for t, _ in floor[1][0]], 0.5)
                 if compared else None)
        row(f'{label}: wake, advertising again -> woken press\'s {what}', len(times),
            milliseconds(percentile(times, 0.5)), milliseconds(percentile(times, 0.99)),
            f'<= {GOAL_RATIO}x floor p50' if compared else '-',
            f'{verdict(ratio <= GOAL_RATIO)}: {ratio:.2f}x' if compared else '-')
        for name, part in (('advertising -> press sent (subscribed)', [s for _, s in samples]),
                           (f'press sent -> {what}', [t - s for t, s in samples])):
            row(f'  of it, {name}', len(part), milliseconds(percentile(part, 0.5)),
                milliseconds(percentile(part, 0.99)), '-', '-')
    row(f'  woken presses lost ({who})', len(times) + lost, lost, '-', '0', verdict(lost == 0))
    names = ('advertising -> connected', 'connected -> services resolved',
             'services resolved -> subscribed')
    total = [sample[3] for sample in first]
    ratio = percentile(total, 0.5) / percentile([s[3] for s in floor[0]], 0.5) if floor else None
    row(f'{label}: first connection, advertising -> subscribed', len(total),
        milliseconds(percentile(total, 0.5)), milliseconds(percentile(total, 0.99)),
        f'<= {FIRST_CONNECTION_RATIO}x floor p50' if floor else '-',
        f'{verdict(ratio <= FIRST_CONNECTION_RATIO)}: {ratio:.2f}x' if floor else '-')
    for index, name in enumerate(names):
        part = [sample[index] for sample in first]
        row(f'  of it, {name}', len(part), milliseconds(percentile(part, 0.5)),
            milliseconds(percentile(part, 0.99)), '-', '-')
    for index, name in enumerate((f'the {who}', 'bluetoothd', 'the watcher of the steps'), 4):
        part = [sample[index] for sample in first]
        row(f'  CPU time meanwhile, {name}', len(part), milliseconds(percentile(part, 0.5)),
            milliseconds(percentile(part, 0.99)), '-', '-')
    window = f'{SETTLED}-{AWAY} s asleep'
    row(f'{label}: hci0 scanning actively, clicker {window} (btmon)', 1,
        f'{shares["active"]:.1%}', '-', f'<= {ACTIVE_SCAN_SHARE:.0%}',
        verdict(shares['active'] <= ACTIVE_SCAN_SHARE))
    row(f'  scanning passively / initiating ({who})', 1,
        f'{shares["passive"]:.1%} / {shares["initiating"]:.1%}', '-', '-', '-')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--build', required=True)
    parser.add_argument('--results', required=True)
    parser.add_argument('--wakes', type=int, default=20)
    parser.add_argument('--rounds', type=int, default=10)
    arguments = parser.parse_args()
    with RealStack(arguments.results) as stack:
        clicker = stack.clicker('hci1')
        program, floor = figures(stack, clicker, arguments.build, arguments.rounds,
                                 arguments.wakes)
    with open(os.path.join(arguments.results, 'samples.txt'), 'w', encoding='utf-8') as samples:
        for who, (first, woken, shares) in (('program', program), ('floor', floor)):
            samples.write(f'{who}\nfirst connection (connect, resolve, subscribe, total; CPU of '
                          f'the central, bluetoothd, the watcher) {first}\n'
                          f'wake (total, to the press sent) {woken[0]}, lost {woken[1]}\n'
                          f'scanning {shares}\n')
    print_rows('program', *program, floor=floor)
    print_rows('floor', *floor)
    return 0


if __name__ == '__main__':
    sys.exit(main())
