# SPDX-License-Identifier: MIT
"""The real Bluetooth stack inside the VM (realstack-vm): the kernel's Bluetooth modules, three
LE controllers emulated by btvirt (hci0 for the program, hci1 and hci2 for clickers), a system
dbus-daemon and the real bluetoothd; and handles on what runs on it: a clicker per controller
(clicker_peripheral.py), the Bluetooth harness, and the whole program in a desktop
(companion_session with the real system bus).

    with RealStack(logs) as stack:
        clicker = stack.clicker('hci1')
        clicker.send('advertise')
        harness = stack.harness(build)
        harness.wait_line('subscribed')
"""

import argparse
import datetime
import glob
import os
import queue
import re
import select
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'support'))
import companion_session  # noqa: E402
from companion_session import SessionError, end, spawn, wait_for  # noqa: E402

PYTHON = '/usr/bin/python3'
BLUETOOTHD = '/usr/libexec/bluetooth/bluetoothd'
SYSTEM_BUS = 'unix:path=/run/dbus/system_bus_socket'
CONTROLLERS = 3
# Under TCG the kernel's 2 s HCI timeout may fire while btvirt sets up a controller, which then
# never appears: btvirt is started again, a bounded number of times.
BTVIRT_TRIES = 4
TIMEOUT = 30.0


def run(*arguments, timeout=TIMEOUT):
    return subprocess.run(arguments, capture_output=True, text=True, timeout=timeout).stdout


def dbus_send(*arguments):
    """busctl waits for systemd, which is not here."""
    return run('dbus-send', '--system', '--print-reply', '--dest=org.bluez', *arguments)


class Lines:
    """A child's standard output read on a thread, line by line, kept whole."""

    def __init__(self, process, log_path=None):
        self.process, self.lines, self._new = process, [], queue.Queue()
        self._log = open(log_path, 'a', encoding='utf-8') if log_path else None
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            line = line.rstrip('\n')
            if self._log:
                self._log.write(f'{time.monotonic_ns()} {line}\n')
                self._log.flush()
            self.lines.append(line)
            self._new.put(line)
        self._new.put(None)

    def wait_line(self, pattern, timeout=TIMEOUT, start=0):
        """The first line from index `start` on that matches `pattern` (a regular expression)."""
        deadline = time.monotonic() + timeout
        while True:
            for line in self.lines[start:]:
                if re.search(pattern, line):
                    return line
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise SessionError(f'timed out after {timeout:g} s waiting for {pattern!r}; '
                                   f'last lines: {self.lines[-8:]}')
            try:
                self._new.get(timeout=min(remaining, 0.2))
            except queue.Empty:
                pass

    def count(self, pattern, start=0):
        return sum(1 for line in self.lines[start:] if re.search(pattern, line))


class Btmon:
    """btmon recording every controller to a btsnoop file, read back with btmon -r: how long a
    controller spends scanning actively, scanning passively and initiating connections."""

    # A packet's first line, its name shortened to fit 80 columns: matched by opcode or event code.
    HEADER = re.compile(r'^([<>]) HCI (?:Command|Event): .*?\((0x[0-9a-f]{2}(?:\|0x[0-9a-f]{4})?)\) '
                        r'plen \d+ .*\[(hci\d+)\] (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+)$')
    COMPLETED = re.compile(r'^\s+.+? \((0x[0-9a-f]{2}\|0x[0-9a-f]{4})\) ncmd', re.MULTILINE)
    SCAN_PARAMETERS = ('0x08|0x000b', '0x08|0x0041')
    SCAN_ENABLE = ('0x08|0x000c', '0x08|0x0042')
    CREATE_CONNECTION = ('0x08|0x000d', '0x08|0x0043')
    CREATE_CONNECTION_CANCEL, RESET = '0x08|0x000e', '0x03|0x0003'
    COMMAND_COMPLETE, COMMAND_STATUS, LE_META = '0x0e', '0x0f', '0x3e'
    CONNECTED = re.compile(r'^\s+LE (Enhanced )?Connection Complete', re.MULTILINE)

    def __init__(self, path):
        self.path = path
        with open(path + '.log', 'w', encoding='utf-8') as log:
            self.process = spawn(['btmon', '-w', path], stdout=log, stderr=subprocess.STDOUT)
        wait_for(lambda: os.path.exists(path) and os.path.getsize(path) >= 16, 'btmon recording')

    def stop(self):
        end(self.process)

    def blocks(self, adapter):
        """(time, direction, opcode or event code, body) of each HCI packet of `adapter`."""
        text = run('btmon', '-T', '-r', self.path, timeout=120)
        with open(self.path + '.txt', 'w', encoding='utf-8') as decoded:
            decoded.write(text)
        packets, current = [], None
        for line in text.splitlines():
            if line[:1].isspace():
                if current:
                    current[3].append(line)
                continue
            current = None
            header = self.HEADER.match(line.rstrip())
            if header and header.group(3) == adapter:
                moment = datetime.datetime.strptime(header.group(4), '%Y-%m-%d %H:%M:%S.%f')
                current = (moment.timestamp(), header.group(1), header.group(2), [])
                packets.append(current)
        return [(moment, direction, code, '\n'.join(body))
                for moment, direction, code, body in packets]

    def connections(self, adapter='hci0'):
        """time.time() of each connection the controller completed (or failed) so far."""
        return [moment for moment, _, code, body in self.blocks(adapter)
                if code == self.LE_META and self.CONNECTED.search(body)]

    def shares(self, start, until, adapter='hci0'):
        """Shares of [start, until] (time.time() seconds) spent scanning actively, scanning
        passively and initiating, and how many commands the controller took in all. A command
        counts once the controller reports it succeeded; the controller is taken as idle when
        the recording began."""
        state = {'scanning': False, 'active': False, 'initiating': False}
        spent = {'active': 0.0, 'passive': 0.0, 'initiating': 0.0}
        sent, commands, last = {}, 0, start

        def account(moment):
            nonlocal last
            moment = min(max(moment, start), until)
            if state['scanning']:
                spent['active' if state['active'] else 'passive'] += moment - last
            if state['initiating']:
                spent['initiating'] += moment - last
            last = max(last, moment)

        for moment, direction, code, body in self.blocks(adapter):
            account(moment)
            if direction == '<':
                sent[code] = body
                commands += 1
                continue
            if code == self.LE_META and self.CONNECTED.search(body):
                state['initiating'] = False
            completed = self.COMPLETED.search(body)
            if code not in (self.COMMAND_COMPLETE, self.COMMAND_STATUS) or not completed:
                continue
            command, parameters = completed.group(1), sent.pop(completed.group(1), '')
            if 'Status: Success' not in body:
                continue
            if command in self.SCAN_PARAMETERS:
                state['active'] = 'Type: Active' in parameters
            elif command in self.SCAN_ENABLE:
                state['scanning'] = re.search(r'^\s+(Scanning|Extended scan): Enabled',
                                              parameters, re.MULTILINE) is not None
            elif command in self.CREATE_CONNECTION:
                state['initiating'] = True
            elif command == self.CREATE_CONNECTION_CANCEL:
                state['initiating'] = False
            elif command == self.RESET:
                state.update(scanning=False, initiating=False)
        account(until)
        if commands == 0:
            raise SessionError(f'btmon recorded no command of {adapter} in {self.path}')
        return {kind: value / (until - start) for kind, value in spent.items()}, commands


class HidWatch:
    """What a hostile device (a ClickerPeripheral) could get from the stack, watched without a gap
    while it runs: each of its links and each HID or input device the kernel makes, from the
    kernel's own uevents (udevadm will not listen inside the VM's chroot); each input device listed
    and each bond with it that bluetoothd stored for another controller, polled 10 times a second.
    Times are CLOCK_MONOTONIC seconds.

    No input device may come into being at all. bluetoothd's input profile pairs a HID device as
    soon as it has its services, before the program can read them, so with an agent that says yes
    a bond may come over a link; it must be gone within GRACE s of the link's end, as the program
    removes the device when it cuts the link. The hostile device's own bond is none of ours."""

    PERIOD = 0.1
    GRACE = 2.0
    NETLINK_KOBJECT_UEVENT, KERNEL_GROUP = 15, 1
    # The sections bluetoothd writes to a device's info file once it bonded it.
    KEYS = re.compile(r'^\[(LinkKey|LongTermKey|PeripheralLongTermKey|SlaveLongTermKey|'
                      r'IdentityResolvingKey)\]$', re.MULTILINE)

    def __init__(self, device, log_path):
        self.link = re.compile(rf'/{device.adapter}:\d+$')
        self.bond_files = f'/var/lib/bluetooth/*/{device.address}/info'
        self.log_path = log_path
        self.socket = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM,
                                    self.NETLINK_KOBJECT_UEVENT)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.socket.bind((0, self.KERNEL_GROUP))
        self.started = time.monotonic()
        self.uevents = []  # (moment, action, devpath, subsystem)
        self.listed = {}  # input devices and bonds by name: [first seen, last seen]
        self._baseline = self._input_devices()
        self._stopped = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    @staticmethod
    def _input_devices():
        with open('/proc/bus/input/devices', encoding='utf-8') as devices:
            return set(re.findall(r'^S: Sysfs=(\S+)$', devices.read(), re.MULTILINE))

    def _bonds(self):
        bonds = set()
        for path in glob.glob(self.bond_files):
            try:
                with open(path, encoding='utf-8', errors='replace') as info:
                    if self.KEYS.search(info.read()):
                        bonds.add('bond ' + os.path.relpath(os.path.dirname(path),
                                                            '/var/lib/bluetooth'))
            except OSError:
                pass  # being written or removed
        return bonds

    def _receive(self, log):
        message = self.socket.recv(1 << 16)
        moment = time.monotonic()
        fields = dict(field.split('=', 1) for field in
                      message.decode(errors='replace').split('\0')[1:] if '=' in field)
        event = (moment, fields.get('ACTION', ''), fields.get('DEVPATH', ''),
                 fields.get('SUBSYSTEM', ''))
        self.uevents.append(event)
        log.write('%.6f %s %s (%s)\n' % event)

    def _watch(self):
        with open(self.log_path, 'w', encoding='utf-8') as log:
            due = time.monotonic()
            while not self._stopped.is_set():
                if select.select([self.socket], [], [], max(due - time.monotonic(), 0))[0]:
                    self._receive(log)
                now = time.monotonic()
                if now < due:
                    continue
                due = max(due + self.PERIOD, now)
                inputs = {'input device ' + name
                          for name in self._input_devices() - self._baseline}
                for name in inputs | self._bonds():
                    self.listed.setdefault(name, [now, now])[1] = now

    def stop(self, agent_requests):
        """Ends the watch; returns the line that reports the worst windows, a line on each thing
        seen, and what broke the rules: an input or HID device, a bond that outlived its link, or a
        link still up at the end. `agent_requests` are the CLOCK_MONOTONIC ns of the pairing
        requests the agents saw."""
        self._stopped.set()
        self._thread.join()
        self.socket.close()
        ended = time.monotonic()
        links, spans = [], {'link': [], 'input device': [], 'bond': []}
        seen, broken, added = [], [], {}
        for moment, action, path, subsystem in self.uevents:
            link = subsystem == 'bluetooth' and self.link.search(path)
            if not link and subsystem not in ('hid', 'hidraw', 'input'):
                continue
            if action == 'add':
                added[path] = moment
                if not link:
                    broken.append(f'{subsystem} {path} came into being')
            elif action == 'remove' and path in added:
                began = added.pop(path)
                spans['link' if link else 'input device'].append(moment - began)
                if link:
                    links.append((began, moment))
                seen.append(f'{path}: {moment - began:.2f} s')
        for path, began in added.items():
            spans['link' if self.link.search(path) else 'input device'].append(ended - began)
            broken.append(f'{path} still there after {ended - began:.2f} s')
        for name, (first, last) in self.listed.items():
            # Seen at `first` and `last`: there for at least that long, at most a period more.
            if name.startswith('input'):
                spans['input device'].append(last - first + self.PERIOD)
                broken.append(f'{name} listed')
                continue
            spans['bond'].append(last - first + self.PERIOD)
            carried = [until for began, until in links if began <= first]
            after = f'{last - max(carried):+.2f} s after its link ended' if carried else 'no link'
            seen.append(f'{name}: {last - first + self.PERIOD:.2f} s, last seen {after}')
            if not carried or last > max(carried) + self.GRACE:
                broken.append(f'{name} outlived its link ({after})')
        worst = {kind: max(values, default=0.0) for kind, values in spans.items()}
        requests = [ns for ns in agent_requests if ns >= self.started * 1e9]
        summary = (f'HID window: worst {max(worst.values()):.2f} s ('
                   + ', '.join(f'{kind} {seconds:.2f} s' for kind, seconds in worst.items())
                   + f', agent requests {len(requests)}) in {ended - self.started:.0f} s watched')
        return summary, seen, broken


class ClickerPeripheral:
    """clicker_peripheral.py on one controller; send() returns its answer's detail."""

    def __init__(self, adapter, log_path):
        self.adapter = adapter
        self.process = spawn([PYTHON, '-u', os.path.join(HERE, 'clicker_peripheral.py'), adapter],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.out = Lines(self.process, log_path)
        self.out.wait_line('^ready$')
        self.address = self.send('address')
        self.since = 0

    def send(self, command, timeout=TIMEOUT * 4):
        start = len(self.out.lines)
        self.process.stdin.write(command + '\n')
        self.process.stdin.flush()
        answer = self.out.wait_line('^(ok|error)', timeout, start)
        if answer.startswith('error'):
            raise SessionError(f'{self.adapter}: {command.split()[0]}: {answer}')
        return answer[3:]

    def mark(self):
        """Later calls of events() count from here."""
        self.since = len(self.out.lines)

    def events(self, kind):
        """CLOCK_MONOTONIC ns of each event of `kind` since the mark."""
        return [int(line.split()[-1]) for line in self.out.lines[self.since:]
                if line.startswith(f'event {kind} ')]


class Harness:
    """quenlark-bluetooth-harness on hci0: standard output as lines, standard error kept apart."""

    def __init__(self, program, log_path):
        self.stderr_path = log_path + '.stderr'
        with open(self.stderr_path, 'w', encoding='utf-8') as errors:
            self.process = spawn([program], stdout=subprocess.PIPE, stderr=errors, text=True,
                                 env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=SYSTEM_BUS))
        self.out = Lines(self.process, log_path)

    def errors(self):
        with open(self.stderr_path, encoding='utf-8', errors='replace') as errors:
            return errors.read()

    def stop(self):
        end(self.process)


class RealSession(companion_session.CompanionSession):
    """The whole program in a private desktop (Xvfb, the key window) on the real system bus."""

    def start(self):
        self.directory = tempfile.mkdtemp(prefix='quenlark-realstack-')
        for name in ('config', 'runtime', 'cache', 'data', 'session-bus'):
            os.makedirs(self.path(name), mode=0o700)
        self.system_bus_address = SYSTEM_BUS
        config = self.path('session-bus.conf')
        with open(config, 'w', encoding='utf-8') as file:
            file.write(companion_session.SESSION_BUS_CONFIG.format(
                directory=self.path('session-bus')))
        process, self.session_bus_address = self._start_bus(['--config-file=' + config],
                                                            'session')
        self._parts.append(lambda: end(process))
        self._start_desktop()

    def forget_saved_clicker(self):
        if os.path.exists(self.settings_file):
            os.remove(self.settings_file)

    def diagnostics(self):
        return '\n'.join(f'--- {os.path.basename(c.log_path)} ---\n{c.output()[-3000:]}'
                         for c in self.companions)


class RealStack:
    def __init__(self, logs):
        self.logs = logs
        self._parts = []
        self.clickers = {}

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *_):
        self.close()

    def log(self, name):
        return os.path.join(self.logs, name)

    def start(self):
        for module in ('bluetooth', 'hci_vhci', 'uhid'):
            subprocess.run(['modprobe', module], check=True)
        os.makedirs('/run/dbus', exist_ok=True)
        bus = spawn(['dbus-daemon', '--system', '--nofork', '--nopidfile'])
        self._parts.append(lambda: end(bus))
        wait_for(lambda: os.path.exists('/run/dbus/system_bus_socket'), 'the system bus')
        os.environ['DBUS_SYSTEM_BUS_ADDRESS'] = SYSTEM_BUS
        self._start_btvirt()
        self.start_bluetoothd()
        self._parts.append(self.stop_bluetoothd)
        for index in range(CONTROLLERS):
            self.power(f'hci{index}', True)

    def _start_btvirt(self):
        for attempt in range(1, BTVIRT_TRIES + 1):
            with open(self.log('btvirt.log'), 'a', encoding='utf-8') as log:
                log.write(f'--- attempt {attempt}\n')
                log.flush()
                btvirt = spawn(['btvirt', '-L', f'-l{CONTROLLERS}'], stdout=log,
                               stderr=subprocess.STDOUT)
            try:
                wait_for(lambda: len(re.findall(r'^hci\d+:\s', run('btmgmt', 'info'),
                                                re.MULTILINE)) == CONTROLLERS,
                         f'{CONTROLLERS} controllers ready', timeout=20)
                self._parts.append(lambda: end(btvirt))
                return
            except SessionError:
                end(btvirt)
                wait_for(lambda: not glob.glob('/sys/class/bluetooth/hci*'),
                         'the controllers to go', timeout=10)
        raise SessionError(f'btvirt gave no {CONTROLLERS} ready controllers in {BTVIRT_TRIES} '
                           'tries; see btvirt.log')

    def start_bluetoothd(self):
        # One bluetoothd serves the clickers too. Between two BlueZ it opens enhanced ATT bearers,
        # which a clicker does not offer, and spreads notifications over them with no order
        # between bearers: a burst arrives shuffled. One bearer, as with a real clicker.
        config = self.log('main.conf')
        with open(config, 'w', encoding='utf-8') as file:
            file.write('[GATT]\nChannels = 1\n')
        with open(self.log('bluetoothd.log'), 'a', encoding='utf-8') as log:
            self.bluetoothd = spawn([BLUETOOTHD, '-n', '-d', '-f', config], stdout=log,
                                    stderr=subprocess.STDOUT)
        # Asked only once it owns its name: the bus would try to activate it otherwise.
        wait_for(lambda: 'boolean true' in run(
            'dbus-send', '--system', '--print-reply', '--dest=org.freedesktop.DBus', '/',
            'org.freedesktop.DBus.NameHasOwner', 'string:org.bluez'), 'bluetoothd on the bus')
        wait_for(lambda: all(f'/org/bluez/hci{i}' in dbus_send('/', 'org.freedesktop.DBus.'
                                                               'ObjectManager.GetManagedObjects')
                             for i in range(CONTROLLERS)), 'bluetoothd with every controller')

    def check_bluetoothd(self):
        if self.bluetoothd.poll() is not None:
            raise SessionError(f'bluetoothd died: status {self.bluetoothd.poll()}')

    def stop_bluetoothd(self, kill=False):
        if kill:
            self.bluetoothd.kill()
            self.bluetoothd.wait()
        else:
            end(self.bluetoothd)

    def power(self, adapter, on):
        dbus_send(f'/org/bluez/{adapter}', 'org.freedesktop.DBus.Properties.Set',
                  'string:org.bluez.Adapter1', 'string:Powered',
                  f'variant:boolean:{"true" if on else "false"}')

    def privacy(self, adapter, on):
        """Resolvable private addresses on the controller (set while it is off)."""
        index = adapter[3:]
        run('btmgmt', '--index', index, 'power', 'off')
        run('btmgmt', '--index', index, 'privacy', 'on' if on else 'off')
        run('btmgmt', '--index', index, 'power', 'on')

    def clicker(self, adapter):
        if adapter not in self.clickers:
            clicker = ClickerPeripheral(adapter, self.log(f'clicker-{adapter}.log'))
            self._parts.append(lambda: end(clicker.process))
            self.clickers[adapter] = clicker
        return self.clickers[adapter]

    def devices(self, adapter='hci0'):
        """Device object paths bluetoothd holds under the adapter."""
        reply = dbus_send('/', 'org.freedesktop.DBus.ObjectManager.GetManagedObjects')
        return sorted(set(re.findall(rf'object path "(/org/bluez/{adapter}/dev_[0-9A-F_]+)"',
                                     reply)))

    def device_info(self, address):
        return run('bluetoothctl', 'info', address, timeout=15)

    @staticmethod
    def run_bluetoothctl(*arguments):
        return run('bluetoothctl', *arguments, timeout=60)

    def remove_devices(self):
        """bluetoothd forgets every device, bonds included, on every controller."""
        for index in range(CONTROLLERS):
            for path in self.devices(f'hci{index}'):
                dbus_send(f'/org/bluez/hci{index}', 'org.bluez.Adapter1.RemoveDevice',
                          f'objpath:{path}')

    def hid_watch(self, device, name):
        return HidWatch(device, self.log(f'{name}-uevents.log'))

    def btmon(self, name):
        recording = Btmon(self.log(f'{name}.btsnoop'))
        self._parts.append(recording.stop)
        return recording

    def harness(self, program, name):
        harness = Harness(program, self.log(f'{name}-harness.log'))
        self._parts.append(harness.stop)
        return harness

    def close(self):
        while self._parts:
            try:
                self._parts.pop()()
            except Exception:  # pylint: disable=broad-except
                pass


def run_scenarios(scenarios, bed_type, description):
    """Runs the named rows of `scenarios` ((name, function of a bed) pairs), or all, on one stack;
    each leaves RESULTS/NAME.log whose first line is "pass" or "fail: why", then its notes."""
    parser = argparse.ArgumentParser(description=description.splitlines()[0])
    parser.add_argument('--build', required=True)
    parser.add_argument('--results', required=True)
    parser.add_argument('names', nargs='*')
    arguments = parser.parse_args()
    chosen = [row for row in scenarios if not arguments.names or row[0] in arguments.names]
    passed, started = 0, time.monotonic()
    with RealStack(arguments.results) as stack:
        notes = []
        bed = bed_type(stack, arguments.build, notes)
        for name, scenario in chosen:
            notes.clear()
            began = time.monotonic()
            try:
                bed.reset()
                scenario(bed)
                stack.check_bluetoothd()
                verdict = 'pass'
                passed += 1
            except Exception as error:  # pylint: disable=broad-except
                verdict = f'fail: {type(error).__name__}: {error}'
                notes.extend([traceback.format_exc(), bed.diagnostics()])
                if stack.bluetoothd.poll() is not None:
                    verdict += f' (bluetoothd died: status {stack.bluetoothd.poll()})'
                    stack.start_bluetoothd()
            with open(os.path.join(arguments.results, f'{name}.log'), 'w',
                      encoding='utf-8') as log:
                log.write('\n'.join([verdict, f'took {time.monotonic() - began:.1f} s', *notes]))
            print(f'{name}: {verdict}', flush=True)
    print(f'{passed} passed, {len(chosen) - passed} failed '
          f'({time.monotonic() - started:.0f} s)', flush=True)
    return 0 if passed == len(chosen) else 1
