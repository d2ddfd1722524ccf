# SPDX-License-Identifier: MIT
"""The real Bluetooth stack inside the VM (realstack-vm): the kernel's Bluetooth modules, three
LE controllers emulated by btvirt (hci0 for the program, hci1 and hci2 for clickers), a system
bus and the real bluetoothd; and what runs on it: a clicker per controller
(clicker_peripheral.py), the Bluetooth harness, and the whole program in a desktop."""

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
        """The first line from index `start` on that matches the regular expression `pattern`."""
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

    def count(self, pattern):
        return sum(1 for line in self.lines if re.search(pattern, line))


class Btmon:
    """btmon recording every controller; read back, how long one spent scanning and initiating."""

    # A packet's first line, its name shortened to fit 80 columns: matched by opcode or event code.
    HEADER = re.compile(r'^([<>]) HCI (?:Command|Event): .*?'
                        r'\((0x[0-9a-f]{2}(?:\|0x[0-9a-f]{4})?)\) plen \d+ .*'
                        r'\[(hci\d+)\] (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+)$')
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

    def blocks(self):
        """(time, direction, opcode or event code, body) of each HCI packet of hci0."""
        text = run('btmon', '-T', '-r', self.path, timeout=120)
        with open(self.path + '.txt', 'w', encoding='utf-8') as decoded:
            decoded.write(text)
        packets = []
        # A packet is its header line and the indented lines under it.
        for block in re.split(r'\n(?![ \t])', text):
            first, _, body = block.partition('\n')
            header = self.HEADER.match(first.rstrip())
            if header and header.group(3) == 'hci0':
                moment = datetime.datetime.strptime(header.group(4), '%Y-%m-%d %H:%M:%S.%f')
                packets.append((moment.timestamp(), header.group(1), header.group(2), body))
        return packets

    def connections(self):
        """time.time() of each connection the controller completed (or failed) so far."""
        return [moment for moment, _, code, body in self.blocks()
                if code == self.LE_META and self.CONNECTED.search(body)]

    def shares(self, start, until):
        """Shares of [start, until] (time.time() seconds) spent scanning actively, scanning
        passively and initiating, and how many commands the controller took in all. A command
        counts once the controller reports it succeeded; the controller is taken as idle when
        the recording began."""
        state = {'scanning': False, 'active': False, 'initiating': False}
        spent = {'active': 0.0, 'passive': 0.0, 'initiating': 0.0}
        sent, commands, last = {}, 0, start
        # The last row only closes the accounting at `until`.
        for moment, direction, code, body in self.blocks() + [(until, '', '', '')]:
            moment = min(max(moment, start), until)
            if state['scanning']:
                spent['active' if state['active'] else 'passive'] += moment - last
            if state['initiating']:
                spent['initiating'] += moment - last
            last = max(last, moment)
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
        if commands == 0:
            raise SessionError(f'btmon recorded no command of hci0 in {self.path}')
        return {kind: value / (until - start) for kind, value in spent.items()}, commands


class HidWatch:
    """What a hostile device (a ClickerPeripheral) gets from the stack, watched without a gap: its
    links and every HID or input device, from the kernel's uevents (udevadm cannot listen in the
    VM's chroot); input devices listed and its bonds stored for another controller, polled every
    PERIOD s. Times are CLOCK_MONOTONIC s. No input device may appear at all. bluetoothd's input
    profile pairs a HID device before the program can read its services, so with an agent that
    says yes a bond may come over a link; the program removes the device when it cuts the link,
    so the bond must be gone within GRACE s of the link's end."""

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
        """Ends the watch; returns the worst windows' line, a line on each thing seen, and what
        broke the rules: an input or HID device, a bond that outlived its link, a link still up.
        `agent_requests`: CLOCK_MONOTONIC ns of the agents' pairing requests."""
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
    """clicker_peripheral.py on one controller; send() returns its last answer's detail."""

    def __init__(self, adapter, log_path):
        self.adapter = adapter
        self.process = spawn([PYTHON, '-u', os.path.join(HERE, 'clicker_peripheral.py'), adapter],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.out = Lines(self.process, log_path)
        self.out.wait_line('^ready$')
        self.address = self.send('address')
        self.since = 0

    def send(self, *commands):
        for command in commands:
            start = len(self.out.lines)
            self.process.stdin.write(command + '\n')
            self.process.stdin.flush()
            answer = self.out.wait_line('^(ok|error)', TIMEOUT * 4, start)
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
        self._parts.append(lambda: end(self.bluetoothd))
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

    def power(self, adapter, on):
        dbus_send(f'/org/bluez/{adapter}', 'org.freedesktop.DBus.Properties.Set',
                  'string:org.bluez.Adapter1', 'string:Powered',
                  f'variant:boolean:{"true" if on else "false"}')

    def privacy(self, adapter, on):
        """Resolvable private addresses on the controller (set while it is off)."""
        for step in (('power', 'off'), ('privacy', 'on' if on else 'off'), ('power', 'on')):
            run('btmgmt', '--index', adapter[3:], *step)

    def clicker(self, adapter):
        if adapter not in self.clickers:
            clicker = ClickerPeripheral(adapter, self.log(f'clicker-{adapter}.log'))
            self._parts.append(lambda: end(clicker.process))
            self.clickers[adapter] = clicker
        return self.clickers[adapter]

    @staticmethod
    def bluetoothctl(*arguments, timeout=60):
        return run('bluetoothctl', *arguments, timeout=timeout)

    def device_info(self, address):
        return self.bluetoothctl('info', address, timeout=15)

    @staticmethod
    def remove_devices():
        """bluetoothd forgets every device, bonds included, on every controller."""
        reply = dbus_send('/', 'org.freedesktop.DBus.ObjectManager.GetManagedObjects')
        for device, adapter in sorted(set(re.findall(
                r'object path "((/org/bluez/hci\d+)/dev_[0-9A-F_]+)"', reply))):
            dbus_send(adapter, 'org.bluez.Adapter1.RemoveDevice', f'objpath:{device}')

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

