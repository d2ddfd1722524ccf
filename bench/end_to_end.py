#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""End to end: the scripted BlueZ emits a clicker value until the focused window reads the
arrow key's KeyPress, with the program on Xvfb between them.

Usage: end_to_end.py [--presses 200] [--plot PNG] [--program PATH]

One desktop session (Xvfb, private buses, the scripted BlueZ, a tray host, the key window) and
one program connected to one clicker. Each press is timed on its own, on CLOCK_MONOTONIC
throughout, and the next is sent only once the last has arrived, after a random pause:

  end to end         the stand-in's emit time (its Notify returns it) until the key window
                     reads the KeyPress;
  stand-in alone     the same emit until a bare libdbus client on the same bus, at real-time
                     priority so that it runs as soon as the bus delivers, reads the same signal
                     (quenlark_bench_notification_probe): the stand-in's own send and the bus;
  X server alone     right after each press the benchmark sends an Up key through XTest itself
                     and times it to the key window: the X server's and the window's part.

perf follows the program's system calls meanwhile (CLOCK_MONOTONIC timestamps), which splits
every press where it crosses the program's boundary:

  stand-in to program    emit until the program's D-Bus thread reads the signal (recvmsg);
  companion's share      that read until the main thread writes the XTest KeyPress request
                         (writev): Qt's D-Bus and Bluetooth, the link, the key injector;
  of it, thread hop      that read until the main thread wakes from its poll;
  X server to window     the request written until the key window reads the KeyPress.

Ten untimed presses come first. With --plot, the distributions are drawn with gnuplot.
"""

import argparse
import glob
import os
import queue
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from Xlib import X, XK, display as xdisplay
from Xlib.ext import xtest

from bench_rows import (DEFAULT_PROGRAM, ROOT, CompanionSession, TrayHost, milliseconds,
                        percentile, read_line, row, spawn, verdict)

CLICKER = 'C0:FF:EE:00:00:01'
PROBE = os.path.join(ROOT, 'build', 'default', 'bench', 'quenlark_bench_notification_probe')
PLOT_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'end_to_end.gnuplot')
WARM_UP = 10
TIMEOUT = 20.0
SHARE_P50_GOAL_NS = 300_000
SHARE_P99_GOAL_NS = 1_000_000
ARROWS = {1: 'Right', 2: 'Left'}
PERF_EVENTS = ('syscalls:sys_exit_recvmsg', 'syscalls:sys_enter_writev',
               'syscalls:sys_exit_poll', 'syscalls:sys_exit_ppoll')


class Probe:
    """The bare D-Bus client and the values it has read, in order."""

    def __init__(self, session):
        # Real-time priority where allowed, so that its read marks the delivery, not its turn.
        command = [PROBE]
        if shutil.which('chrt') and os.geteuid() == 0:
            command = ['chrt', '--fifo', '1', PROBE]
        self.process = spawn(command, env=session.environment(), stdout=subprocess.PIPE,
                             text=True)
        if read_line(self.process, 'the notification probe to start') != 'ready':
            raise RuntimeError('the notification probe did not start')
        self.values = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            fields = line.split()
            if len(fields) == 3 and fields[0] == 'value':
                self.values.put((fields[1], int(fields[2])))

    def received(self, value):
        """When the probe read `value` (bytes)."""
        try:
            seen, received_ns = self.values.get(timeout=TIMEOUT)
        except queue.Empty:
            raise RuntimeError(f'the probe did not hear {value.hex()}') from None
        if seen != value.hex():
            raise RuntimeError(f'the probe heard {seen} where {value.hex()} was sent')
        return received_ns

    def close(self):
        self.process.kill()
        self.process.wait()


class XtestSender:
    """The benchmark's own X client: XTest keys for the X server's part alone, and the focus."""

    def __init__(self, session):
        self.display = xdisplay.Display(session.display_name)
        self.keycode = self.display.keysym_to_keycode(XK.string_to_keysym('Up'))

    def press(self):
        """Sends Up down and up; returns the CLOCK_MONOTONIC ns just before."""
        sent = time.monotonic_ns()
        xtest.fake_input(self.display, X.KeyPress, self.keycode)
        xtest.fake_input(self.display, X.KeyRelease, self.keycode)
        self.display.flush()
        return sent

    def focused(self):
        return self.display.get_input_focus().focus.id

    def close(self):
        self.display.close()


class SystemCallTrace:
    """perf recording the program's reads from D-Bus, writes to X and wakes from poll."""

    LINE = re.compile(r'^\s*(\d+)\s+(\d+)\.(\d{9}):\s+(\S+):\s*(.*)$')

    def __init__(self, session, pid):
        self.pid = pid
        self.dbus_thread = next((int(os.path.basename(os.path.dirname(path)))
                                 for path in glob.glob(f'/proc/{pid}/task/*/comm')
                                 if open(path, encoding='utf-8').read().strip()
                                 == 'QDBusConnection'), None)
        self.path = session.path('end-to-end.perf')
        self.process = None
        self.events = []
        if shutil.which('perf') and self.dbus_thread:
            arguments = ['perf', 'record', '-q', '-k', 'CLOCK_MONOTONIC', '-o', self.path,
                         '-p', str(pid)]
            for event in PERF_EVENTS:
                arguments += ['-e', event]
            self.process = subprocess.Popen(arguments, stdout=subprocess.DEVNULL,
                                            stderr=subprocess.DEVNULL)

    def stop(self):
        """Ends the recording and reads it; False when there is none."""
        if not self.process:
            return False
        self.process.send_signal(signal.SIGINT)
        self.process.wait()
        script = subprocess.run(['perf', 'script', '-i', self.path, '--ns', '-F',
                                 'tid,time,event,trace'], capture_output=True, text=True,
                                check=False)
        for line in script.stdout.splitlines():
            match = self.LINE.match(line)
            if match:
                tid, seconds, fraction, event, fields = match.groups()
                self.events.append((int(seconds) * 1_000_000_000 + int(fraction), int(tid),
                                    event.split(':')[-1], fields))
        self.events.sort()
        return bool(self.events)

    def first(self, after, before, tid, events, accept=lambda _: True):
        return next((moment for moment, thread, event, fields in self.events
                     if after < moment < before and thread == tid and event in events
                     and accept(fields)), None)

    def split(self, emitted, received):
        """(program reads, main thread wakes, XTest request written) for one press, or None."""
        read = self.first(emitted, received, self.dbus_thread, ('sys_exit_recvmsg',),
                          lambda fields: int(fields, 16) < 1 << 63 and int(fields, 16) > 0)
        if read is None:
            return None
        written = self.first(read, received, self.pid, ('sys_enter_writev',))
        if written is None:
            return None
        woken = self.first(read, written, self.pid, ('sys_exit_poll', 'sys_exit_ppoll'))
        return read, woken if woken is not None else read, written


def key_press(session, key):
    """The CLOCK_MONOTONIC ns at which the key window read `key`'s press (and its release)."""
    press, release = session.keys.next_keys(2, TIMEOUT)
    if (press.kind, press.key, release.kind, release.key) != ('press', key, 'release', key):
        raise RuntimeError(f'expected {key} pressed and released, the window read '
                           f'{press} and {release}')
    return press.received_ns


def measure(session, companion, presses):
    """The timed presses as dicts of CLOCK_MONOTONIC ns, and whether perf split them."""
    probe = Probe(session)
    sender = XtestSender(session)
    trace = None
    presses_seen = []
    try:
        session.wait_for(lambda: sender.focused() == session.keys.window_id,
                         'the focus on the key window', TIMEOUT)
        trace = SystemCallTrace(session, companion.process.pid)
        for index in range(WARM_UP + presses):
            command = 1 + index % 2
            # The sequence byte never repeats the one before, so every value is a new press.
            value = bytes([command, index % 256])
            emitted = session.bluez.notify(CLICKER, value)
            received = key_press(session, ARROWS[command])
            heard = probe.received(value)
            sent = sender.press()
            delivered = key_press(session, 'Up')
            if index >= WARM_UP:
                presses_seen.append({'emitted': emitted, 'received': received, 'heard': heard,
                                     'x sent': sent, 'x delivered': delivered})
            # Presses a human makes are apart; a random pause keeps them off any timer's beat.
            time.sleep(random.uniform(0.02, 0.05))
    finally:
        traced = trace.stop() if trace else False
        sender.close()
        probe.close()
    if traced:
        for press in presses_seen:
            parts = trace.split(press['emitted'], press['received'])
            if parts:
                press['read'], press['woken'], press['written'] = parts
    return presses_seen, traced


def plot(series, path, title):
    with tempfile.TemporaryDirectory() as directory:
        data = os.path.join(directory, 'latency.dat')
        with open(data, 'w', encoding='utf-8') as file:
            # One block per series: latency in ms and the fraction of presses at or below it;
            # the logarithmic axis starts at 10 us.
            for name, values in series.items():
                ordered = sorted(values)
                file.write(f'"{name}"\n')
                for rank, value in enumerate(ordered, 1):
                    file.write(f'{max(value, 10_000) / 1e6:.6f} {rank / len(ordered):.4f}\n')
                file.write('\n\n')
        subprocess.run(['gnuplot', '-e', f'data="{data}"; output="{path}"; '
                        f'heading="{title}"; series={len(series)}', PLOT_SCRIPT], check=True)


def thread_run_time(pid):
    """The program's CPU time so far, every thread, in ns."""
    total = 0
    for path in glob.glob(f'/proc/{pid}/task/*/schedstat'):
        try:
            with open(path, encoding='ascii') as schedstat:
                total += int(schedstat.read().split()[0])
        except OSError:
            continue
    return total


def report(presses, traced, cpu_ns, label):
    """The rows of one pass; returns the companion's share samples."""
    def spans(start, end):
        return [press[end] - press[start] for press in presses if end in press]

    def quantiles(values):
        return len(values), milliseconds(percentile(values, 0.5)), \
            milliseconds(percentile(values, 0.99))

    row(f'end to end{label}: stand-in emits -> window reads KeyPress',
        *quantiles(spans('emitted', 'received')))
    row('  stand-in alone: emit -> bare D-Bus client reads it',
        *quantiles(spans('emitted', 'heard')))
    row('  X server alone: XTest -> window reads KeyPress',
        *quantiles(spans('x sent', 'x delivered')))
    share = spans('read', 'written')
    if not (traced and share):
        row("  companion's share: needs perf and its tracepoints", len(presses), '-', '-',
            'p50 <= 0.3, p99 <= 1 ms', '-')
        return []
    row('  stand-in to program: emit -> its D-Bus thread reads it',
        *quantiles(spans('emitted', 'read')))
    share_p50, share_p99 = percentile(share, 0.5), percentile(share, 0.99)
    row("  companion's share: D-Bus read -> XTest KeyPress written", len(share),
        milliseconds(share_p50), milliseconds(share_p99), 'p50 <= 0.3, p99 <= 1 ms',
        verdict(share_p50 <= SHARE_P50_GOAL_NS and share_p99 <= SHARE_P99_GOAL_NS))
    row('    of it, the hop to the main thread', *quantiles(spans('read', 'woken')))
    row('    of it, the main thread at work', *quantiles(spans('woken', 'written')))
    row("    the program's CPU time per press (all threads)", WARM_UP + len(presses),
        milliseconds(cpu_ns / (WARM_UP + len(presses))))
    row('  X server to window: XTest written -> window reads it',
        *quantiles(spans('written', 'received')))
    return share


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--presses', type=int, default=200,
                        help='timed presses per pass (default 200)')
    parser.add_argument('--plot', help='draw the distributions into this PNG file')
    parser.add_argument('--program', default=DEFAULT_PROGRAM)
    arguments = parser.parse_args()

    passes = []
    with CompanionSession(arguments.program) as session:
        host = TrayHost(session)
        try:
            session.bluez.add_clicker(CLICKER, 'Clicker One')
            companion = session.start_companion()
            pid = companion.process.pid
            session.wait_for(lambda: session.bluez.is_notifying(CLICKER),
                             'the clicker to be subscribed', TIMEOUT)
            with open('/proc/loadavg', encoding='ascii') as loadavg:
                load = loadavg.read().split()[0]
            for label in ('', ' (program real-time)'):
                if label:
                    # Every thread of the program runs as soon as it is woken: what is left
                    # is its own work, without the shared machine's run queue.
                    subprocess.run(['chrt', '--fifo', '--all-tasks', '--pid', '1', str(pid)],
                                   check=True)
                cpu_before = thread_run_time(pid)
                presses, traced = measure(session, companion, arguments.presses)
                passes.append((presses, traced, thread_run_time(pid) - cpu_before, label))
        finally:
            host.close()

    shares = [report(*run) for run in passes]
    if arguments.plot:
        presses = passes[0][0]
        series = {
            'end to end': [p['received'] - p['emitted'] for p in presses],
            'stand-in alone': [p['heard'] - p['emitted'] for p in presses],
            'X server alone': [p['x delivered'] - p['x sent'] for p in presses],
        }
        if shares[0]:
            series["companion's share"] = shares[0]
            series["companion's share, real-time priority"] = shares[1]
        plot(series, os.path.abspath(arguments.plot),
             f'{len(presses)} presses on Xvfb, {time.strftime("%Y-%m-%d", time.gmtime())}, '
             f'load {load} on {os.cpu_count()} CPUs')
    return 0


if __name__ == '__main__':
    sys.exit(main())
