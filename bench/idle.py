#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Idle: memory after start and after a long idle, wakeups and CPU over a minute of idling.

Usage: idle.py [--seconds 600] [--window 60] [--program PATH] [--helper PATH|none] [--only TITLE]

Five desktop sessions run side by side. Two have a tray host and the scripted BlueZ with a
powered adapter: in one no clicker is in range, so the program scans; in the other it is
connected to a clicker and subscribed to its notifications. The other three have no tray at all,
as on an X11 desktop without one, where the program shows its panel as a window and waits for an
XEmbed tray: one is connected to a clicker, one has a system bus without BlueZ, and one has no
system bus at all (as in a container). In each:

  1. once the program is settled (tray item registered or panel shown, and, where BlueZ runs,
     scanning or subscribed), VmRSS
     (/proc/<pid>/status) and Pss (/proc/<pid>/smaps_rollup) are read: "after start";
  2. the last --window seconds of the --seconds idle period count every thread's context
     switches (voluntary and involuntary, /proc/<pid>/task/*/status) and its CPU time
     (utime+stime from /proc/<pid>/stat, in clock ticks, and the nanosecond run time of
     /proc/<pid>/task/*/schedstat);
  3. at the end of the period the memory is read again;
  4. then, for another --window seconds, strace follows the program's threads and tells each
     wakeup's cause: for the main thread, a poll that timed out (a timer) or one that returned
     for a file descriptor (named after what is at the other end); for the other threads, their
     blocking calls. strace's own stops disturb what it watches, so this window is separate
     from the one counted in step 2.

The whole run takes --seconds plus --window, plus the set-up: 11 minutes by default. Last, the
release check's helper program fetches the feed once from the loopback HTTPS server of the
release feed tests: its peak resident size and its lifetime, from launch to exit.
"""

import argparse
import collections
import glob
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

import dbus
from bench_rows import (DEFAULT_PROGRAM, ROOT, Companion, CompanionSession, TrayHost, end,
                        megabytes, milliseconds, read_line, row, spawn, verdict)

CLICKER = 'C0:FF:EE:00:00:01'
SETTLE_TIMEOUT = 60.0
# The panel shown as a window (no tray) draws widgets and fonts a tray item does not.
RSS_GOAL_KB = {True: 30 * 1024, False: 34 * 1024}  # by whether a tray host runs
WAKEUP_GOAL = 0.55  # the 2-second permission poll and nothing else
CLOCK_TICKS = os.sysconf('SC_CLK_TCK')


def field(path, name):
    """The number after `name:` in a /proc status-like file, or None."""
    with open(path, encoding='ascii') as file:
        for line in file:
            if line.startswith(name + ':'):
                return int(line.split()[1])
    return None


def memory(pid):
    """(VmRSS kB, Pss kB)."""
    return field(f'/proc/{pid}/status', 'VmRSS'), field(f'/proc/{pid}/smaps_rollup', 'Pss')


# Where resident pages come from, by the file they map; the first group that names a part of the
# path wins. The TLS group is what the release check's HTTPS request brings in.
ORIGINS = (
    ('TLS and HTTP (release check)', ('libcrypto', 'libssl', 'tls/', 'libQt6Network', 'libkrb5',
                                      'libgssapi', 'libk5crypto', 'libproxy', 'libbrotli',
                                      'libresolv', 'libkeyutils', 'libcom_err', 'libzstd')),
    ('Qt GUI, X11, fonts, icons', ('libQt6Gui', 'libQt6Widgets', 'XcbQpa', 'libQt6Svg',
                                   'plugins/', 'libX', 'libxcb', 'libxkb', 'libGL', 'libOpenGL',
                                   'libEGL', 'libfreetype', 'libfontconfig', 'libharfbuzz',
                                   'libpng', 'libgraphite', 'libmd4c', 'libSM', 'libICE',
                                   'libexpat', 'libuuid', 'libz.', 'libbz2', '/share/')),
    ('Qt D-Bus and Bluetooth', ('libQt6DBus', 'libdbus', 'libQt6Bluetooth')),
    ('Qt Core, ICU, glib, C/C++ runtime', ('.so',)),
)


def resident_origins(pid):
    """{origin: resident kB}; pages of a file the program wrote to count as anonymous."""
    program = os.readlink(f'/proc/{pid}/exe')
    anonymous = 'anonymous (heap, stacks, written)'
    origins = collections.Counter()
    origin = anonymous
    with open(f'/proc/{pid}/smaps', encoding='utf-8', errors='replace') as smaps:
        for line in smaps:
            fields = line.split()
            if re.fullmatch(r'[0-9a-f]+-[0-9a-f]+', fields[0]):
                path = fields[5] if len(fields) > 5 else ''
                if path == program:
                    origin = 'the program'
                elif path.startswith('/'):
                    origin = next((name for name, parts in ORIGINS
                                   if any(part in path for part in parts)), 'other files')
                else:
                    origin = anonymous
            elif fields[0] == 'Rss:':
                origins[origin] += int(fields[1])
            elif fields[0] == 'Anonymous:' and origin != anonymous:
                origins[origin] -= int(fields[1])
                origins[anonymous] += int(fields[1])
    return origins


def thread_counters(pid):
    """{tid: (name, context switches, run time ns)} for every thread alive now."""
    counters = {}
    for task in glob.glob(f'/proc/{pid}/task/*'):
        try:
            with open(task + '/comm', encoding='utf-8') as comm:
                name = comm.read().strip()
            switches = (field(task + '/status', 'voluntary_ctxt_switches')
                        + field(task + '/status', 'nonvoluntary_ctxt_switches'))
            with open(task + '/schedstat', encoding='ascii') as schedstat:
                running = int(schedstat.read().split()[0])
        except (OSError, TypeError):
            continue  # the thread ended meanwhile
        counters[int(os.path.basename(task))] = (name, switches, running)
    return counters


def cpu_ticks(pid):
    """utime + stime of the whole process, in clock ticks."""
    with open(f'/proc/{pid}/stat', encoding='ascii') as stat:
        # The name in parentheses may hold spaces; the fields after it are fixed.
        fields = stat.read().rsplit(')', 1)[1].split()
    return int(fields[11]) + int(fields[12])


def socket_peers():
    """{socket inode: what is at the other end}, from ss: a connected socket's server side
    carries the path it listens on."""
    listing = subprocess.run(['ss', '-xa'], capture_output=True, text=True, check=True).stdout
    peers = {}
    for line in listing.splitlines()[1:]:
        fields = line.split()
        if len(fields) >= 8 and fields[4] != '*':
            peers[int(fields[7])] = fields[4]
    return peers


def descriptor_names(pid, bus_addresses):
    """{fd: short name} for the program's descriptors: eventfd, the X server, the buses."""
    peers = socket_peers()
    names = {}
    for fd in os.listdir(f'/proc/{pid}/fd'):
        try:
            target = os.readlink(f'/proc/{pid}/fd/{fd}')
        except OSError:
            continue
        name = target
        match = re.fullmatch(r'socket:\[(\d+)\]', target)
        if target == 'anon_inode:[eventfd]':
            name = 'eventfd (a thread or posted event woke it)'
        elif match:
            peer = peers.get(int(match.group(1)), 'unknown socket')
            name = next((bus for bus, path in bus_addresses.items() if path in peer), peer)
            if '.X11-unix' in peer:
                name = 'X server'
        names[int(fd)] = name
    return names


SYSCALL = re.compile(r'^(\d+)\s+[\d:.]+ (?:<\.\.\. (\w+) resumed>|(\w+)\()(.*)$')
POLL_TIMEOUT = re.compile(r'\], \d+, (-?\d+)')
PPOLL_TIMEOUT = re.compile(r'\], \d+, (NULL|\{tv_sec=(\d+), tv_nsec=(\d+)\})')
READY = re.compile(r'\{fd=(\d+), revents=')


def wakeup_causes(trace_path, main_tid, thread_names, fd_names):
    """{thread name: Counter(cause)} from an strace -f -tt log: every blocking call that
    returned, by what ended it."""
    causes = collections.defaultdict(collections.Counter)
    pending = {}
    with open(trace_path, encoding='utf-8', errors='replace') as trace:
        for line in trace:
            match = SYSCALL.match(line)
            if not match:
                continue
            tid, resumed, started, rest = int(match.group(1)), match.group(2), match.group(3), \
                match.group(4)
            if started and rest.endswith('<unfinished ...>'):
                pending[tid] = (started, rest)
                continue
            name, arguments = (resumed, pending.pop(tid, (resumed, ''))[1] + rest) if resumed \
                else (started, rest)
            thread = thread_names.get(tid, f'thread {tid}')
            if name in ('poll', 'ppoll'):
                blocking = POLL_TIMEOUT.search(arguments) if name == 'poll' else \
                    PPOLL_TIMEOUT.search(arguments)
                if blocking and blocking.group(1) in ('0', '{tv_sec=0, tv_nsec=0}'):
                    continue  # a non-blocking look
                if '= 0 (Timeout)' in arguments:
                    causes[thread]['timer (poll timed out)'] += 1
                else:
                    ready = READY.findall(arguments.split(' = ', 1)[-1])
                    for fd in ready:
                        causes[thread][fd_names.get(int(fd), f'fd {fd}')] += 1
            elif name == 'restart_syscall':
                # A call strace interrupted by attaching, resumed: the main thread's poll that
                # timed out, or a wait that began before the window.
                if tid == main_tid and arguments.rstrip().endswith('= 0'):
                    causes[thread]['timer (poll timed out)'] += 1
                else:
                    causes[thread]['a wait begun before tracing'] += 1
            elif name == 'futex' and 'FUTEX_WAIT' in arguments:
                causes[thread]['futex (another thread)'] += 1
    return causes


HELPER = os.path.join(ROOT, 'build', 'default', 'libexec', 'quenlark-fetch-release')
FEED_SERVER = os.path.join(ROOT, 'tests', 'support', 'release_feed_server.py')


def helper_rows(helper):
    """The release check's helper fetching the feed once over loopback HTTPS: (peak RSS kB,
    lifetime ns)."""
    with tempfile.TemporaryDirectory(prefix='quenlark-feed-') as workdir:
        server = spawn(['/usr/bin/python3', FEED_SERVER, workdir], stdin=subprocess.PIPE,
                       stdout=subprocess.PIPE, text=True)
        try:
            lines = []
            while not lines or lines[-1] != 'ready':
                lines.append(read_line(server, 'the feed server to start', 60))
            authority = next(line.split()[1] for line in lines if line.startswith('ca '))
            port = next(line.split()[2] for line in lines if line.startswith('port trusted '))
            started = time.monotonic_ns()
            helper_process = subprocess.Popen(
                [helper, '--ca-certificates', authority,
                 f'https://127.0.0.1:{port}/newer/releases/latest.json'],
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            body = helper_process.stdout.read()
            _, status, usage = os.wait4(helper_process.pid, 0)
            lifetime = time.monotonic_ns() - started
            helper_process.returncode = os.waitstatus_to_exitcode(status)
        finally:
            end(server)
    if helper_process.returncode != 0 or b'"version"' not in body:
        raise RuntimeError(f'the helper did not fetch the feed (exit {helper_process.returncode})')
    return usage.ru_maxrss, lifetime


def discovering(session):
    bluez = session.bluez
    adapter = dbus.Interface(bluez.bus.get_object('org.bluez', bluez.adapter_path),
                             'org.freedesktop.DBus.Properties')
    return bool(adapter.Get('org.bluez.Adapter1', 'Discovering'))


class Scenario:
    """One session, one program, one timeline; its rows are printed when all are done."""

    def __init__(self, title, arguments, connected=False, tray=True, system='bluez'):
        self.title = title
        self.connected = connected
        self.tray = tray
        self.system = system  # 'bluez', 'no bluez' or 'no bus'
        self.arguments = arguments
        self.rows = []
        self.error = None

    def add(self, *fields):
        self.rows.append(fields)

    def run(self):
        try:
            with CompanionSession(self.arguments.program) as session:
                host = TrayHost(session) if self.tray else None
                try:
                    self.measure(session, host)
                finally:
                    if host:
                        host.close()
        except Exception as error:  # pylint: disable=broad-except
            self.error = error

    def start(self, session):
        if self.system == 'bluez':
            return session.start_companion()
        if self.system == 'no bluez':
            session.bluez.close()
        environment = session.environment()
        if self.system == 'no bus':
            environment['DBUS_SYSTEM_BUS_ADDRESS'] = 'unix:path=' + session.path('no-system-bus')
        companion = Companion(session.program, [], environment, session.path('companion.log'))
        session.companions.append(companion)
        return companion

    def settle(self, session, host):
        if self.connected:
            session.bluez.add_clicker(CLICKER, 'Clicker One')
        companion = self.start(session)
        if host:
            host.next_registration(SETTLE_TIMEOUT)
        else:
            session.wait_for(session.panel_window, 'the panel shown as a window', SETTLE_TIMEOUT)
        if self.connected:
            session.wait_for(lambda: session.bluez.is_notifying(CLICKER),
                             'the clicker to be subscribed', SETTLE_TIMEOUT)
        elif self.system != 'bluez':
            time.sleep(5)  # nothing to wait for: let the release check and start-up work end
        else:
            session.wait_for(lambda: discovering(session), 'the scan to start', SETTLE_TIMEOUT)
        return companion

    def measure(self, session, host):
        seconds, window = self.arguments.seconds, self.arguments.window
        companion = self.settle(session, host)
        pid = companion.process.pid
        settled = time.monotonic()
        start_rss, start_pss = memory(pid)

        time.sleep(max(0.0, settled + seconds - window - time.monotonic()))
        before, ticks_before, counted = thread_counters(pid), cpu_ticks(pid), time.monotonic()
        time.sleep(max(0.0, settled + seconds - time.monotonic()))
        after, ticks_after, elapsed = thread_counters(pid), cpu_ticks(pid), \
            time.monotonic() - counted
        end_rss, end_pss = memory(pid)
        origins = resident_origins(pid)
        if not companion.is_running():
            raise RuntimeError(f'{self.title}: the program ended during the idle period')

        causes, traced = self.trace(session, pid, window)

        title = self.title
        goal = RSS_GOAL_KB[self.tray]
        for when, rss in (('after start', start_rss), (f'after {seconds:g} s', end_rss)):
            self.add(f'idle, {title}: RSS {when}', 1, megabytes(rss), '-',
                     f'<= {megabytes(goal)}', verdict(rss <= goal))
        for origin, kilobytes in origins.most_common():
            self.add(f'    of it, {origin}', 1, megabytes(kilobytes))
        for when, pss in (('after start', start_pss), (f'after {seconds:g} s', end_pss)):
            self.add(f'idle, {title}: PSS {when}', 1, megabytes(pss))

        total = 0
        main_switches = 0
        for tid, (name, switches, _) in sorted(after.items()):
            delta = switches - before.get(tid, (name, 0, 0))[1]
            total += delta
            if tid == pid:
                main_switches = delta
            elif delta:
                self.add(f'idle, {title}: wakeups/s, thread {name}', f'{elapsed:.0f} s',
                         f'{delta / elapsed:.2f} /s')
        self.add(f'idle, {title}: wakeups/s, all threads', f'{elapsed:.0f} s',
                 f'{total / elapsed:.2f} /s', '-', f'<= {WAKEUP_GOAL} /s',
                 verdict(total / elapsed <= WAKEUP_GOAL))
        self.add(f'idle, {title}: wakeups/s, main thread', f'{elapsed:.0f} s',
                 f'{main_switches / elapsed:.2f} /s')
        running = sum(ns for _, _, ns in after.values()) - \
            sum(before[tid][2] for tid in after if tid in before)
        self.add(f'idle, {title}: CPU (schedstat run time)', f'{elapsed:.0f} s',
                 f'{running / 1e6:.1f} ms', f'{100 * running / 1e9 / elapsed:.4f} %')
        self.add(f'idle, {title}: CPU (utime+stime)', f'{elapsed:.0f} s',
                 f'{(ticks_after - ticks_before) * 1000 // CLOCK_TICKS} ms')

        main_name = after[pid][0]
        timer = causes.get(main_name, collections.Counter())['timer (poll timed out)']
        self.add(f'idle, {title}: main thread timer wakeups (strace)', f'{traced:.0f} s',
                 f'{timer / traced:.2f} /s', '-', f'<= {WAKEUP_GOAL} /s',
                 verdict(timer / traced <= WAKEUP_GOAL))
        for thread, counter in sorted(causes.items()):
            for cause, count in counter.most_common():
                if thread == main_name and cause.startswith('timer'):
                    continue
                self.add(f'  {title}, {thread}: {cause}', f'{traced:.0f} s',
                         f'{count / traced:.2f} /s')

    def trace(self, session, pid, window):
        """Follows the program for `window` seconds; returns (causes, seconds traced)."""
        thread_names = {tid: name for tid, (name, _, _) in thread_counters(pid).items()}
        fd_names = descriptor_names(pid, {
            'D-Bus system bus': session.system_bus_address.split('path=')[-1].split(',')[0],
            'D-Bus session bus': session.session_bus_address.split('path=')[-1].split(',')[0],
        })
        log = session.path('idle.strace')
        tracer = subprocess.Popen(['strace', '-f', '-tt', '-qq', '-o', log, '-p', str(pid)],
                                  stderr=subprocess.DEVNULL)
        started = time.monotonic()
        time.sleep(window)
        tracer.send_signal(signal.SIGINT)
        tracer.wait()
        traced = time.monotonic() - started
        return wakeup_causes(log, pid, thread_names, fd_names), traced


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--seconds', type=float, default=600.0,
                        help='idle period after start (default 600)')
    parser.add_argument('--window', type=float, default=60.0,
                        help='wakeup and CPU window, the end of the idle period (default 60)')
    parser.add_argument('--program', default=DEFAULT_PROGRAM)
    parser.add_argument('--only', metavar='TITLE',
                        help='run the one session of that title (e.g. "no tray, connected"), so '
                             'that its Pss shares pages with no other Qt program')
    parser.add_argument('--helper', default=HELPER,
                        help='the release check helper; "none" for a build without one')
    arguments = parser.parse_args()
    if not 0 < arguments.window <= arguments.seconds:
        parser.error('--window must be positive and at most --seconds')

    scenarios = [Scenario('scanning', arguments), Scenario('connected', arguments, connected=True),
                 Scenario('no tray, connected', arguments, connected=True, tray=False),
                 Scenario('no tray, no BlueZ', arguments, tray=False, system='no bluez'),
                 Scenario('no tray, no system bus', arguments, tray=False, system='no bus')]
    if arguments.only:
        scenarios = [scenario for scenario in scenarios if scenario.title == arguments.only]
        if not scenarios:
            parser.error(f'no session is called {arguments.only!r}')
    threads = [threading.Thread(target=scenario.run) for scenario in scenarios]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for scenario in scenarios:
        if scenario.error:
            print(f'idle, {scenario.title}: {scenario.error}', file=sys.stderr)
            return 1
        for fields in scenario.rows:
            row(*fields)
    if arguments.helper != 'none':
        peak, lifetime = helper_rows(arguments.helper)
        row('release check helper: peak RSS', 1, megabytes(peak))
        row('release check helper: lifetime, launch to exit', 1, milliseconds(lifetime))
    return 0


if __name__ == '__main__':
    sys.exit(main())
