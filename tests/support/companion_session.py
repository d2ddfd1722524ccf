# SPDX-License-Identifier: MIT
"""A private desktop session in which the real companion program meets a scripted BlueZ.

One session holds, each started here and ended when the session closes:
  - a private system bus with the scripted BlueZ (tests/integration/bluetooth) and one powered
    adapter, hci0; the clickers are added through `session.bluez`;
  - a virtual X display (Xvfb, 1280x800) and a private session bus without service activation;
  - a key window (key_window.py) that holds the input focus and reports every key it receives
    with its CLOCK_MONOTONIC time, through `session.keys`;
  - companion processes started with `session.start_companion()`: the program given to the
    session (a build tree's or an installed one), with an XDG_CONFIG_HOME, XDG_RUNTIME_DIR,
    XDG_CACHE_HOME and XDG_DATA_HOME of their own, shared by every launch of one session.

    from companion_session import CompanionSession

    with CompanionSession('/usr/bin/quenlark-companion') as session:
        clicker = session.bluez.add_clicker('C0:FF:EE:00:00:01', 'Clicker One')
        companion = session.start_companion()
        session.wait_for(lambda: session.bluez.is_notifying(clicker), 'the clicker subscribed')
        session.wait_for_panel()                  # mapped, and the focus on the key window
        sent_ns = session.bluez.notify(clicker, bytes([1, 5]))     # CLOCK_MONOTONIC ns
        press, release = session.keys.next_keys(2)   # KeyEvent('press', 'Right', ns, server ms)
        latency_ns = press.received_ns - sent_ns     # both CLOCK_MONOTONIC
        session.screenshot('panel.png', session.panel_window())

For the panel's accessibility, `session.start_accessibility_bus()` starts at-spi2-core's bus,
which every program started afterwards is shown on, and `session.start_tray_host('xfce4-panel')`
(its status tray, a StatusNotifierItem host, across the top) or `('trayer')` (an XEmbed tray at
the bottom right) starts a real tray, whose companion icon `session.click_tray_icon()` clicks.

WaylandCompanionSession is the same on Weston's headless Wayland compositor, with the real
remote-desktop portal in front of a scripted desktop (`session.portal`) in place of Xvfb and the
key window. SwayCompanionSession is the same on Sway's headless backend, with no portal, and a
Wayland key recorder (wev) in place of the key window.

The panel that opens on its own (no tray) leaves the focus alone; one the user asks for takes it,
and the key window takes it back at once. wait_for_panel() returns only once the key window has
the focus, so presses sent afterwards reach it.

Every child runs in a process group of its own with PR_SET_PDEATHSIG, so it goes with this
process however that ends; closing the session (also after an exception, SIGINT or SIGTERM, or
at interpreter exit) ends the groups and removes the session's files. Waits are bounded: they
poll a condition until a deadline and raise SessionError with what was awaited.
"""

import atexit
import collections
import configparser
import ctypes
import importlib.util
import json
import os
import pwd
import queue
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time
import zlib

import dbus
import dbus.bus
from Xlib import X, Xatom, display as xdisplay
from Xlib.protocol import event as xevent

HERE = os.path.dirname(os.path.abspath(__file__))
BLUETOOTH_DIR = os.path.join(os.path.dirname(HERE), 'integration', 'bluetooth')
KEY_WINDOW = os.path.join(HERE, 'key_window.py')
PYTHON = '/usr/bin/python3'

CLICKER_SERVICE = 'e20a39f4-73f5-4bc4-a12f-17d1ad07a961'
ADAPTER = 'hci0'
PANEL_TITLE = 'Quenlark'
DESKTOP_COLOUR = 0x3b4a5a
SETTINGS_KEY = 'savedPeripheralUUID'

# Generous: the CI machine is a loaded two-core box.
DEFAULT_TIMEOUT = 20.0
STOP_TIMEOUT = 5.0
POLL_INTERVAL = 0.05

# Like the system bus's stand-in, with no service activation: nothing starts behind the tests.
SESSION_BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir={directory}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
"""

# One panel across the top holding the status tray, which hosts StatusNotifierItems (and XEmbed
# icons): xfce4-panel's configuration channel, read by xfconfd from XDG_CONFIG_HOME.
XFCE_PANEL_CHANNEL = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="26"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
"""
XFCONFD = '/usr/lib/x86_64-linux-gnu/xfce4/xfconf/xfconfd'
ATSPI_BUS_LAUNCHER = '/usr/libexec/at-spi-bus-launcher'
# The windows that hold the companion's icon in each tray: the status tray's plugin under
# xfce4-panel (it holds this icon alone), the companion's own embedded window under trayer.
TRAY_ICON_CLASSES = {'xfce4-panel': b'wrapper-2.0', 'trayer': b'quenlark-companion'}

# Variables of the caller's desktop that must not reach the private one.
FOREIGN_VARIABLES = ('DISPLAY', 'WAYLAND_DISPLAY', 'XAUTHORITY', 'DBUS_SESSION_BUS_ADDRESS',
                     'DBUS_SYSTEM_BUS_ADDRESS', 'XDG_SESSION_TYPE', 'XDG_CURRENT_DESKTOP',
                     'XDG_SESSION_DESKTOP', 'XDG_RUNTIME_DIR', 'XDG_CONFIG_HOME',
                     'XDG_CACHE_HOME', 'XDG_DATA_HOME', 'SESSION_MANAGER', 'DESKTOP_SESSION',
                     'QT_QPA_PLATFORM', 'QT_QPA_PLATFORMTHEME', 'BLUETOOTH_FORCE_DBUS_LE_VERSION',
                     'AT_SPI_BUS_ADDRESS')


class SessionError(RuntimeError):
    pass


def missing_desktop_parts():
    """What the accessibility and tray helpers need and this machine lacks."""
    missing = [path for path in (ATSPI_BUS_LAUNCHER, XFCONFD, '/usr/bin/xfce4-panel',
                                 '/usr/bin/trayer', '/usr/bin/xdotool')
               if not os.access(path, os.X_OK)]
    return missing + ([] if importlib.util.find_spec('pyatspi') else ['pyatspi'])


def wait_for(condition, what, timeout=DEFAULT_TIMEOUT):
    """Polls `condition` until it returns a true value, which is returned; raises after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise SessionError(f'timed out after {timeout:g} s waiting for {what}')
        time.sleep(POLL_INTERVAL)


# Process groups

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1
_live = set()


def _die_with_parent():
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)


def spawn(arguments, **options):
    """Starts a child in a new process group that receives SIGTERM when this process dies."""
    process = subprocess.Popen(arguments, start_new_session=True, preexec_fn=_die_with_parent,
                               **options)
    _live.add(process)
    return process


def _signal_group(process, sig):
    # Only while the leader is unreaped: its number cannot have been given to another process.
    if process.poll() is None:
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            pass


def end(process, timeout=STOP_TIMEOUT):
    """Ends the child's process group: SIGTERM, then SIGKILL when it is still there after
    `timeout`."""
    if process is None:
        return
    _signal_group(process, signal.SIGTERM)
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        _signal_group(process, signal.SIGKILL)
        process.wait()
    _live.discard(process)
    for stream in (process.stdin, process.stdout, process.stderr):
        if stream:
            try:
                stream.close()
            except OSError:
                pass  # a pipe whose reader is gone


@atexit.register
def _end_leftovers():
    for process in list(_live):
        _signal_group(process, signal.SIGKILL)
    _live.clear()


def _exit_on_signal(signum, _frame):
    raise SystemExit(128 + signum)


def _install_signal_handlers():
    """SIGTERM and SIGHUP unwind the stack like SIGINT does, so every session closes."""
    if threading.current_thread() is not threading.main_thread():
        return
    for signum in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(signum) == signal.SIG_DFL:
            signal.signal(signum, _exit_on_signal)


def read_line(process, what, timeout=DEFAULT_TIMEOUT):
    """One line of the child's standard output, within `timeout`."""
    lines = queue.Queue()
    threading.Thread(target=lambda: lines.put(process.stdout.readline()), daemon=True).start()
    try:
        line = lines.get(timeout=timeout)
    except queue.Empty:
        raise SessionError(f'timed out after {timeout:g} s waiting for {what}') from None
    if not line:
        raise SessionError(f'{what}: the process ended (exit status {process.poll()})')
    return line.strip()


# The scripted BlueZ

class ScriptedBluez:
    """The knobs of scripted_bluez.py (org.bluez.Mock) and its call records."""

    def __init__(self, bus_address, log_path):
        environment = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus_address)
        self.process = spawn([os.path.join(BLUETOOTH_DIR, 'bluetoothd'), '--log', log_path],
                             env=environment, stdout=subprocess.PIPE, text=True)
        self.log_path = log_path
        if read_line(self.process, 'the scripted BlueZ to get ready') != 'ready':
            raise SessionError('the scripted BlueZ did not get ready')
        self.bus = dbus.bus.BusConnection(bus_address)
        self.mock = dbus.Interface(self.bus.get_object('org.bluez', '/'), 'org.bluez.Mock')
        self.adapter_path = str(self.mock.AddAdapter(ADAPTER, 'test host'))
        self.device_paths = {}

    def close(self):
        self.bus.close()
        end(self.process)

    def add_clicker(self, address, name='Clicker', services=(CLICKER_SERVICE,)):
        """A device in range advertising the clicker service; returns its address."""
        path = self.mock.AddPeripheral(ADAPTER, address, name, dbus.Array(services, 's'))
        self.device_paths[address] = str(path)
        return address

    def remove(self, address):
        self.mock.RemovePeripheral(address)

    def set_clicker_in_range(self, address, name, in_range):
        """Puts the clicker in range with the radio on, or takes both away."""
        if self.device_paths.pop(address, None):
            self.remove(address)
        if in_range:
            self.add_clicker(address, name)
        self.mock.SetPowered('hci0', in_range)

    def notify(self, address, value):
        """Sends one notification of the command characteristic; returns the CLOCK_MONOTONIC
        time (ns) at which the scripted BlueZ emitted it."""
        return int(self.mock.Notify(address, dbus.ByteArray(bytes(value))))

    def drop_link(self, address):
        self.mock.DropLink(address)

    def is_connected(self, address):
        return bool(self.mock.IsConnected(address))

    def is_notifying(self, address):
        """Whether the clicker has notifications enabled now; False while it is not connected,
        though bluetoothd keeps the sessions (and Notifying) across a drop."""
        try:
            return bool(self.mock.Subscribed(address))
        except dbus.exceptions.DBusException:
            return False

    def calls(self, method, address=None):
        """How many times `method` was called on the adapter, or on the device at `address`."""
        path = self.device_paths[address] if address else self.adapter_path
        mock = dbus.Interface(self.bus.get_object('org.bluez', path),
                              'org.freedesktop.DBus.Mock')
        return len(mock.GetMethodCalls(method))

    def log_tail(self, size=4000):
        try:
            with open(self.log_path, encoding='utf-8', errors='replace') as log:
                return log.read()[-size:]
        except OSError:
            return ''


# The key window

KeyEvent = collections.namedtuple('KeyEvent', 'kind key received_ns server_ms')


class KeyWindow:
    """The focused window's report: key events in order, and when it took the focus back."""

    def __init__(self, environment, geometry):
        self.process = spawn([PYTHON, KEY_WINDOW, '--geometry', geometry], env=environment,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self._events = queue.Queue()
        self._refocused = []
        self._lock = threading.Lock()
        ready = read_line(self.process, 'the key window to be mapped')
        if not ready.startswith('ready '):
            raise SessionError(f'the key window said {ready!r}')
        self.window_id = int(ready.split()[1])
        threading.Thread(target=self._read, daemon=True).start()

    def close(self):
        end(self.process)

    def _read(self):
        try:
            self._read_lines()
        except (OSError, ValueError):
            pass  # the pipe was closed with the window
        self._events.put(None)

    def _read_lines(self):
        for line in self.process.stdout:
            fields = line.split()
            if fields[:1] in (['press'], ['release']):
                self._events.put(KeyEvent(fields[0], fields[1], int(fields[2]), int(fields[3])))
            elif fields[:1] == ['refocused']:
                with self._lock:
                    self._refocused.append(int(fields[1]))

    def _next(self, timeout, what):
        try:
            event = self._events.get(timeout=timeout)
        except queue.Empty:
            raise SessionError(f'timed out after {timeout:g} s waiting for {what}') from None
        if event is None:
            raise SessionError(f'the key window ended while waiting for {what}')
        return event

    def refocused_since(self, monotonic_ns):
        """Whether the window took the focus back from another window after that time."""
        with self._lock:
            return any(moment > monotonic_ns for moment in self._refocused)

    def next_keys(self, count, timeout=DEFAULT_TIMEOUT):
        """The next `count` key events, in the order received."""
        keys = []
        while len(keys) < count:
            keys.append(self._next(timeout, f'key event {len(keys) + 1} of {count} (got {keys})'))
        return keys


# Screen images

class Image:
    """Pixels read from the X server, as (red, green, blue) triples."""

    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb

    def pixel(self, x, y):
        offset = (y * self.width + x) * 3
        return tuple(self.rgb[offset:offset + 3])

    def save_png(self, path):
        rows = b''.join(b'\x00' + bytes(self.rgb[y * self.width * 3:(y + 1) * self.width * 3])
                        for y in range(self.height))

        def chunk(kind, data):
            body = kind + data
            return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body))

        header = struct.pack('>IIBBBBB', self.width, self.height, 8, 2, 0, 0, 0)
        with open(path, 'wb') as png:
            png.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header)
                      + chunk(b'IDAT', zlib.compress(rows, 6)) + chunk(b'IEND', b''))


def _read_png(path):
    """An 8-bit RGB or RGBA PNG, such as weston-screenshooter writes, as an Image."""
    with open(path, 'rb') as png:
        data = png.read()
    width, height, depth, colour = struct.unpack('>IIBB', data[16:26])
    if depth != 8 or colour not in (2, 6):
        raise SessionError(f'{path}: an 8-bit RGB or RGBA PNG was expected')
    compressed, offset = b'', 8
    while offset < len(data):
        size, kind = struct.unpack('>I4s', data[offset:offset + 8])
        if kind == b'IDAT':
            compressed += data[offset + 8:offset + 8 + size]
        offset += size + 12
    raw, channels = zlib.decompress(compressed), 3 if colour == 2 else 4
    stride, rgb, previous = width * channels, bytearray(), bytearray(width * channels)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            left = line[x - channels] if x >= channels else 0
            up, corner = previous[x], previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + left) & 0xff
            elif kind == 2:
                line[x] = (line[x] + up) & 0xff
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 0xff
            elif kind == 4:
                guess = left + up - corner
                near = min((abs(guess - left), 0, left), (abs(guess - up), 1, up),
                           (abs(guess - corner), 2, corner))[2]
                line[x] = (line[x] + near) & 0xff
        rgb += bytes(b for x in range(width) for b in line[x * channels:x * channels + 3])
        previous = line
    return Image(width, height, rgb)


Window = collections.namedtuple('Window', 'id x y width height viewable')


# The companion

class Companion:
    """One launch of the program; its standard output and error go to a log file."""

    def __init__(self, program, arguments, environment, log_path):
        self.log_path = log_path
        with open(log_path, 'ab') as log:
            self.process = spawn([program, *arguments], env=environment, stdout=log,
                                 stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

    def output(self):
        with open(self.log_path, encoding='utf-8', errors='replace') as log:
            return log.read()

    def exit_status(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the program to end by itself; raises when it is still running."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise SessionError(f'the companion (pid {self.process.pid}) was still running '
                               f'after {timeout:g} s') from None

    def is_running(self):
        return self.process.poll() is None

    def stop(self):
        end(self.process)


class CompanionSession:
    def __init__(self, program=None, screen='1280x800x24', key_window_geometry='360x300+300+40',
                 keep_files=False):
        """`program` defaults to QUENLARK_COMPANION, else the default build's."""
        self.program = os.path.abspath(program or os.environ.get('QUENLARK_COMPANION', os.path.join(
            HERE, '..', '..', 'build', 'default', 'src', 'quenlark-companion')))
        if not os.access(self.program, os.X_OK):
            raise SessionError(f'{self.program} is not an executable program')
        self.screen = screen
        self.key_window_geometry = key_window_geometry
        self.keep_files = keep_files
        self.directory = None
        self.companions = []
        self._parts = []
        self._display = None
        self._extra_environment = {}
        self._tray_host = None

    # Setup and teardown

    def __enter__(self):
        _install_signal_handlers()
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *_):
        self.close()

    def start(self):
        self.directory = tempfile.mkdtemp(prefix='quenlark-session-')
        for name in ('config', 'runtime', 'cache', 'data', 'session-bus'):
            os.makedirs(self.path(name), mode=0o700)

        system_bus_process, self.system_bus_address = self._start_bus(
            ['--config-file=' + os.path.join(HERE, 'system-bus.conf')], 'system')
        self._parts.append(lambda: end(system_bus_process))
        self.bluez = ScriptedBluez(self.system_bus_address, self.path('bluez.log'))
        self._parts.append(self.bluez.close)

        config = self.path('session-bus.conf')
        with open(config, 'w', encoding='utf-8') as file:
            file.write(SESSION_BUS_CONFIG.format(directory=self.path('session-bus')))
        session_bus_process, self.session_bus_address = self._start_bus(
            ['--config-file=' + config], 'session')
        self._parts.append(lambda: end(session_bus_process))
        self._start_desktop()

    def _start_desktop(self):
        self._start_display()
        self.keys = KeyWindow(self.environment(), self.key_window_geometry)
        self._parts.append(self.keys.close)
        self._display = xdisplay.Display(self.display_name)
        self._parts.append(self._display.close)
        # A desktop-like backdrop instead of black, for screenshots people look at.
        root = self._display.screen().root
        root.change_attributes(background_pixel=DESKTOP_COLOUR)
        root.clear_area()
        self._display.sync()

    def close(self):
        """Ends every companion and every part, newest first, and removes the session's files."""
        self._parts.extend(companion.stop for companion in self.companions)
        while self._parts:
            try:
                self._parts.pop()()
            except Exception:  # pylint: disable=broad-except
                pass
        if self.directory and not self.keep_files:
            shutil.rmtree(self.directory, ignore_errors=True)

    def _start_bus(self, arguments, what):
        process = spawn(['dbus-daemon', '--nofork', '--print-address=1', *arguments],
                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            address = read_line(process, f'the private {what} bus to start')
        except SessionError:
            end(process)
            raise
        return process, address

    def _start_display(self):
        reader, writer = os.pipe()
        try:
            with open(self.path('xvfb.log'), 'wb') as log:
                process = spawn(['Xvfb', '-displayfd', str(writer), '-nolisten', 'tcp',
                                 '-screen', '0', self.screen], pass_fds=(writer,),
                                stdout=subprocess.DEVNULL, stderr=log)
        finally:
            os.close(writer)
        self._parts.append(lambda: end(process))
        with os.fdopen(reader) as numbers:
            ready = queue.Queue()
            threading.Thread(target=lambda: ready.put(numbers.readline()), daemon=True).start()
            try:
                number = ready.get(timeout=DEFAULT_TIMEOUT).strip()
            except queue.Empty:
                number = ''
        if not number:
            raise SessionError('Xvfb gave no display number: ' + self._file_tail('xvfb.log'))
        self.display_name = ':' + number

    # Paths and environment

    def path(self, name):
        return os.path.join(self.directory, name)

    @property
    def settings_file(self):
        return self.path('config/Quenlark/Quenlark Companion.conf')

    def environment(self):
        """The environment of a program in this session."""
        environment = {name: value for name, value in os.environ.items()
                       if name not in FOREIGN_VARIABLES}
        environment.update({
            'DISPLAY': self.display_name,
            'XDG_SESSION_TYPE': 'x11',
            'DBUS_SYSTEM_BUS_ADDRESS': self.system_bus_address,
            'DBUS_SESSION_BUS_ADDRESS': self.session_bus_address,
            'XDG_CONFIG_HOME': self.path('config'),
            'XDG_RUNTIME_DIR': self.path('runtime'),
            'XDG_CACHE_HOME': self.path('cache'),
            'XDG_DATA_HOME': self.path('data'),
            'QT_QPA_PLATFORM': 'xcb',
        })
        environment.update(self._extra_environment)
        return environment

    def _file_tail(self, name, size=4000):
        try:
            with open(self.path(name), encoding='utf-8', errors='replace') as file:
                return file.read()[-size:]
        except OSError:
            return ''

    # The companion

    def start_companion(self, *arguments, environment=None):
        """One launch of the program; `environment` adds to or overrides the session's."""
        companion = Companion(self.program, arguments,
                              dict(self.environment(), **(environment or {})),
                              self.path(f'companion-{len(self.companions) + 1}.log'))
        self.companions.append(companion)
        return companion

    def start_tray(self):
        tray = Tray(self.environment())
        self._parts.append(tray.close)
        return tray

    def saved_clicker(self):
        """The identifier in the companion's settings file, or None."""
        settings = configparser.ConfigParser(interpolation=None)
        settings.optionxform = str
        try:
            settings.read(self.settings_file, encoding='utf-8')
        except configparser.Error:
            return None
        return settings.get('General', SETTINGS_KEY, fallback=None)

    def wait_for(self, condition, what, timeout=DEFAULT_TIMEOUT):
        return wait_for(condition, what, timeout)

    # Assistive technology and trays

    def start_accessibility_bus(self):
        """Starts at-spi2-core's accessibility bus and returns its address. Programs started
        afterwards show their widgets on it (Qt: QT_LINUX_ACCESSIBILITY_ALWAYS_ON)."""
        with open(self.path('at-spi.log'), 'wb') as log:
            launcher = spawn([ATSPI_BUS_LAUNCHER, '--launch-immediately'], env=self.environment(),
                             stdout=log, stderr=log)
        self._parts.append(lambda: end(launcher))
        bus = dbus.bus.BusConnection(self.session_bus_address)
        try:
            wait_for(lambda: bus.name_has_owner('org.a11y.Bus'), 'the accessibility bus')
            address = dbus.Interface(bus.get_object('org.a11y.Bus', '/org/a11y/bus'),
                                     'org.a11y.Bus').GetAddress()
        finally:
            bus.close()
        self._extra_environment['QT_LINUX_ACCESSIBILITY_ALWAYS_ON'] = '1'
        # libatspi, in this process, reads the address once, when it is first imported.
        os.environ['AT_SPI_BUS_ADDRESS'] = str(address)
        self._atspi = importlib.import_module('pyatspi')
        self._glib = importlib.import_module('gi.repository.GLib')
        return str(address)

    def accessible_panel(self):
        """The shown leaves of the open panel's accessible tree, top to bottom: pyatspi
        Accessibles, each with getRoleName() and name."""
        # The registry's news of programs that came or went, read in GLib's loop.
        while self._glib.MainContext.default().iteration(False):
            pass
        showing = self._atspi.STATE_SHOWING

        def leaves(node):
            for child in node:
                if child.getState().contains(showing):
                    yield from (leaves(child) if child.childCount else [child])
        for application in self._atspi.Registry.getDesktop(0):
            for window in application or []:
                if window.name == PANEL_TITLE and window.getState().contains(showing):
                    return list(leaves(window))
        return []

    def accessible_rows(self):
        """The open panel's shown leaves as 'role "name"', top to bottom."""
        return [f'{node.getRoleName()} "{node.name}"' for node in self.accessible_panel()]

    def press_accessible(self, name):
        """Presses the panel's element named `name` through AT-SPI's action interface."""
        node = next(node for node in self.accessible_panel() if node.name == name)
        actions = node.queryAction()
        actions.doAction([actions.getName(i) for i in range(actions.nActions)].index('Press'))

    def tray_tooltip(self):
        """The tooltip title of the StatusNotifierItem registered first."""
        bus = dbus.bus.BusConnection(self.session_bus_address)
        try:
            watcher = bus.get_object('org.kde.StatusNotifierWatcher', '/StatusNotifierWatcher')
            item = str(wait_for(lambda: watcher.Get(
                'org.kde.StatusNotifierWatcher', 'RegisteredStatusNotifierItems',
                dbus_interface=dbus.PROPERTIES_IFACE), 'a registered item')[0])
            service, _, path = item.partition('/')
            tooltip = bus.get_object(service, '/' + (path or 'StatusNotifierItem')).Get(
                'org.kde.StatusNotifierItem', 'ToolTip', dbus_interface=dbus.PROPERTIES_IFACE)
            return str(tooltip[2])
        finally:
            bus.close()

    def start_tray_host(self, kind):
        """Starts a real tray, 'xfce4-panel' or 'trayer' (see above); ended by stop_tray_host()
        or with the session."""
        environment = self.environment()
        processes = []
        with open(self.path(f'{kind}.log'), 'ab') as log:
            if kind == 'xfce4-panel':
                channels = self.path('config/xfce4/xfconf/xfce-perchannel-xml')
                os.makedirs(channels, exist_ok=True)
                with open(os.path.join(channels, 'xfce4-panel.xml'), 'w', encoding='utf-8') as f:
                    f.write(XFCE_PANEL_CHANNEL)
                # The session bus starts no services: the settings daemon is started here.
                processes.append(spawn([XFCONFD], env=environment, stdout=log, stderr=log))
                bus = dbus.bus.BusConnection(self.session_bus_address)
                try:
                    wait_for(lambda: bus.name_has_owner('org.xfce.Xfconf'), 'xfconfd')
                finally:
                    bus.close()
                arguments = ['xfce4-panel', '--disable-wm-check']
            else:
                arguments = ['trayer', '--edge', 'bottom', '--align', 'right',
                             '--widthtype', 'request', '--height', '24']
            processes.append(spawn(arguments, env=environment, stdout=log, stderr=log))
        self._tray_host = (kind, processes)
        self._parts.append(lambda: [end(process) for process in processes])

    def stop_tray_host(self):
        for process in reversed(self._tray_host[1]):
            end(process)
        self._tray_host = None

    def _tray_icon_area(self):
        """(x, y, width, height) on the screen of the window holding the companion's icon."""
        wanted = TRAY_ICON_CLASSES[self._tray_host[0]]
        root = self._display.screen().root
        pending = list(root.query_tree().children)
        while pending:
            window = pending.pop()
            try:
                children = window.query_tree().children
                pending.extend(children)
                if window.query_tree().parent == root or \
                        window.get_attributes().map_state != X.IsViewable:
                    continue
                wm_class = window.get_full_property(Xatom.WM_CLASS, X.AnyPropertyType)
                if wm_class is None or not wm_class.value.startswith(wanted + b'\0'):
                    continue
                geometry = window.get_geometry()
                origin = root.translate_coords(window, 0, 0)
                return origin.x, origin.y, geometry.width, geometry.height
            except Exception:  # pylint: disable=broad-except
                continue  # gone meanwhile
        return None

    def click(self, x, y):
        """A real left click at (x, y) on the screen."""
        subprocess.run(['xdotool', 'mousemove', str(x), str(y), 'click', '1'],
                       env=self.environment(), check=True, timeout=DEFAULT_TIMEOUT)

    def click_tray_icon(self, attempts=5):
        """Clicks the middle of the companion's icon in the tray until the panel is on screen;
        returns the icon's area. The status tray draws the icon a moment after the item
        registered, and a click before that reaches nothing."""
        area = wait_for(self._tray_icon_area, 'the companion icon in the tray')
        for _ in range(attempts):
            self.click(area[0] + area[2] // 2, area[1] + area[3] // 2)
            try:
                wait_for(self.panel_window, 'the panel', timeout=3)
                return area
            except SessionError:
                continue
        raise SessionError(f'{attempts} clicks on the tray icon opened no panel')

    def diagnostics(self):
        """What to read when something failed: every log's end."""
        parts = [f'--- {os.path.basename(c.log_path)} ---\n{c.output()[-4000:]}'
                 for c in self.companions]
        parts.append(f'--- scripted BlueZ ---\n{self.bluez.log_tail()}')
        parts.append(f'--- Xvfb ---\n{self._file_tail("xvfb.log", 2000)}')
        for name in ('at-spi.log', 'xfce4-panel.log', 'trayer.log'):
            if os.path.exists(self.path(name)):
                parts.append(f'--- {name} ---\n{self._file_tail(name, 2000)}')
        return '\n'.join(parts)

    # The X display

    def windows(self):
        """The top-level windows named like the panel (there is no window manager)."""
        found = []
        for child in self._display.screen().root.query_tree().children:
            try:
                name = child.get_full_property(Xatom.WM_NAME, X.AnyPropertyType)
                if name is None or name.value not in (PANEL_TITLE, PANEL_TITLE.encode()):
                    continue
                geometry = child.get_geometry()
                viewable = child.get_attributes().map_state == X.IsViewable
            except Exception:  # pylint: disable=broad-except
                continue  # gone meanwhile
            found.append(Window(child.id, geometry.x, geometry.y, geometry.width,
                                geometry.height, viewable))
        return found

    def panel_window(self):
        """The companion's panel when it is on screen, else None."""
        shown = [window for window in self.windows() if window.viewable]
        return shown[0] if len(shown) == 1 else None

    def wait_for_panel(self, since_ns=0, takes_focus=False, timeout=DEFAULT_TIMEOUT):
        """Waits until the panel is on screen and the key window has the focus. A panel the user
        asked for (`takes_focus`) takes the focus when shown, after `since_ns` (CLOCK_MONOTONIC),
        and the key window takes it back; one that opens on its own leaves the focus alone."""
        panel = wait_for(self.panel_window, 'the panel window on screen', timeout)
        if takes_focus:
            wait_for(lambda: self.keys.refocused_since(since_ns), 'the panel to take the focus',
                     timeout)
        wait_for(lambda: self._display.get_input_focus().focus.id == self.keys.window_id,
                 'the focus on the key window', timeout)
        return panel

    def panel_showing(self, colour, path):
        """The panel window if its picture, kept at `path`, holds a pixel of `colour` (RGB)."""
        panel = self.panel_window()
        if panel is None:
            return None
        image = self.screenshot(path, panel)
        return panel if colour in zip(image.rgb[0::3], image.rgb[1::3], image.rgb[2::3]) else None

    def close_window(self, window):
        """Asks the window to close, as a window manager's close button does."""
        protocols = self._display.intern_atom('WM_PROTOCOLS')
        delete = self._display.intern_atom('WM_DELETE_WINDOW')
        target = self._display.create_resource_object('window', window.id)
        message = xevent.ClientMessage(window=target, client_type=protocols,
                                      data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        target.send_event(message)
        self._display.flush()

    def screenshot(self, path=None, window=None):
        """The screen, or one window's area, as an Image; also saved as PNG when `path` is set."""
        root = self._display.screen().root
        if window is None:
            geometry = root.get_geometry()
            area = (0, 0, geometry.width, geometry.height)
        else:
            area = (window.x, window.y, window.width, window.height)
        raw = root.get_image(*area, X.ZPixmap, 0xffffffff)
        data = raw.data if isinstance(raw.data, bytes) else raw.data.encode('latin-1')
        width, height = area[2], area[3]
        rgb = bytearray(width * height * 3)
        # 24-bit visuals come as 32-bit little-endian words: blue, green, red, padding.
        rgb[0::3], rgb[1::3], rgb[2::3] = data[2::4], data[1::4], data[0::4]
        image = Image(width, height, rgb)
        if path:
            image.save_png(path)
        return image


# A Wayland session

PORTAL_DIR = os.path.join(os.path.dirname(HERE), 'integration', 'portal')
TRAY_WATCHER = os.path.join(HERE, 'status_notifier_watcher.py')
PORTAL_FRONTEND = '/usr/libexec/xdg-desktop-portal'
PORTAL_NAME = 'org.freedesktop.portal.Desktop'
SCRIPTED_DESKTOP_NAME = 'org.freedesktop.impl.portal.desktop.quenlark'
PORTAL_PATH = '/org/freedesktop/portal/desktop'
WAYLAND_SOCKET = 'wayland-quenlark'


class ScriptedPortal:
    """The real xdg-desktop-portal in front of the scripted desktop
    (tests/integration/portal/remote_desktop_backend.py) on the session bus, and its knobs."""

    ALLOWED, REFUSED, DISMISSED, OPEN = 0, 1, 2, 3

    def __init__(self, environment, bus_address):
        self.bus = dbus.bus.BusConnection(bus_address)
        self.desktop = spawn([PYTHON, '-m', 'dbusmock', '--session', '--template',
                              os.path.join(PORTAL_DIR, 'remote_desktop_backend.py')],
                             env=environment, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        wait_for(lambda: self.bus.name_has_owner(SCRIPTED_DESKTOP_NAME), 'the scripted desktop')
        frontend_environment = dict(environment, XDG_CURRENT_DESKTOP='quenlark-test',
                                    XDG_DESKTOP_PORTAL_DIR=os.path.join(PORTAL_DIR, 'portals'))
        self.frontend = spawn([PORTAL_FRONTEND], env=frontend_environment,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: self.bus.name_has_owner(PORTAL_NAME), 'xdg-desktop-portal')
        self.mock = dbus.Interface(self.bus.get_object(SCRIPTED_DESKTOP_NAME, PORTAL_PATH),
                                   'org.freedesktop.DBus.Mock')

    def close(self):
        self.bus.close()
        end(self.frontend)
        end(self.desktop)

    def set_answer(self, answer):
        """The user's answer to each later consent dialog; OPEN leaves it open."""
        self.mock.SetAnswer(dbus.UInt32(answer))

    def answer(self, answer):
        """Answers the dialogs left open."""
        self.mock.Answer(dbus.UInt32(answer))

    def consent_dialogs(self):
        return int(self.mock.ConsentDialogs())

    def keys(self):
        """Every (keycode, state) the desktop received, in order."""
        flat = [int(value) for value in self.mock.Keys()]
        return list(zip(flat[0::2], flat[1::2]))


class Tray:
    """A desktop's tray on the session bus (tests/support/status_notifier_watcher.py),
    which lists the items that registered with it."""

    def __init__(self, environment):
        self.process = spawn([PYTHON, TRAY_WATCHER], env=environment, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
        if read_line(self.process, 'the tray to start') != 'ready':
            raise SessionError('the tray did not start')
        self._items = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        try:
            for line in self.process.stdout:
                if line.startswith('registered '):
                    self._items.append(line.split()[1])
        except (OSError, ValueError):
            pass

    def items(self):
        return list(self._items)

    def close(self):
        end(self.process)


def hold(process):
    """Stops the process: calls to it wait on the bus until release()."""
    os.kill(process.pid, signal.SIGSTOP)


def release(process):
    os.kill(process.pid, signal.SIGCONT)


class WaylandCompanionSession(CompanionSession):
    """The same session on Weston's headless Wayland compositor instead of an X display, with the
    real remote-desktop portal and a scripted desktop behind it (`session.portal`): where
    /dev/uinput cannot be written, the portal is the companion's only way in, and the keys are
    read where the desktop receives them. There is no key window and no screen to read."""

    def _start_desktop(self):
        self.display_name = ''
        with open(self.path('weston.log'), 'wb') as log:
            # Pixman draws the screen, and --debug lets weston-screenshooter read it.
            weston = spawn(['weston', '--backend=headless-backend.so', '--use-pixman', '--debug',
                            '--idle-time=0', '--socket=' + WAYLAND_SOCKET],
                           env=self.environment(),
                           stdout=subprocess.DEVNULL, stderr=log)
        self._parts.append(lambda: end(weston))
        wait_for(lambda: os.path.exists(self.path('runtime/' + WAYLAND_SOCKET)) or
                 weston.poll() is not None, 'Weston to listen')
        if weston.poll() is not None:
            raise SessionError('Weston ended: ' + self._file_tail('weston.log'))
        self.portal = ScriptedPortal(self.environment(), self.session_bus_address)
        self._parts.append(self.portal.close)

    def environment(self):
        environment = super().environment()
        del environment['DISPLAY']
        environment.update({'WAYLAND_DISPLAY': WAYLAND_SOCKET, 'XDG_SESSION_TYPE': 'wayland',
                            'QT_QPA_PLATFORM': 'wayland'})
        return environment

    def screenshot(self, path=None, window=None):
        """The whole screen as an Image (there are no windows to name); also kept as PNG when `path`
        is set."""
        assert window is None, 'Wayland gives no window geometry'
        with tempfile.TemporaryDirectory(dir=self.directory) as shots:
            subprocess.run(['weston-screenshooter'], env=self.environment(), cwd=shots,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=DEFAULT_TIMEOUT, check=True)
            shot = os.path.join(shots, os.listdir(shots)[0])
            if path:
                shutil.copyfile(shot, path)
            return _read_png(shot)

    def panel_height(self, path, background=(239, 239, 239)):
        """The height of the panel's background on the screen, whose picture is kept at `path`."""
        image = self.screenshot(path)
        rows = [y for y in range(image.height)
                if any(image.pixel(x, y) == background for x in range(0, image.width, 4))]
        return rows[-1] - rows[0] + 1 if rows else 0

    def diagnostics(self):
        return '\n'.join([f'--- {os.path.basename(c.log_path)} ---\n{c.output()[-4000:]}'
                          for c in self.companions] +
                         [f'--- scripted BlueZ ---\n{self.bluez.log_tail()}',
                          f'--- Weston ---\n{self._file_tail("weston.log", 2000)}'])


# A Sway session



class WaylandKeyRecorder:
    """A focused Wayland client that records the keys it receives: Debian's wev, whose report is
    read as (kind, key name) pairs, the name from the keymap it was handed."""

    def __init__(self, environment):
        self.process = spawn(['stdbuf', '-oL', 'wev', '-f', 'wl_keyboard:key'], env=environment,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self._events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def close(self):
        end(self.process)

    def _read(self):
        # "key: serial: 7; time: 1; key: 114; state: 1 (pressed)", then "sym: Right (65363), ..."
        kind = None
        try:
            for line in self.process.stdout:
                if 'wl_keyboard] key:' in line:
                    kind = 'press' if '(pressed)' in line else 'release'
                elif kind and line.strip().startswith('sym:'):
                    self._events.put((kind, line.split()[1]))
                    kind = None
        except (OSError, ValueError):
            pass

    def next_keys(self, count, timeout=DEFAULT_TIMEOUT):
        keys = []
        while len(keys) < count:
            try:
                keys.append(self._events.get(timeout=timeout))
            except queue.Empty:
                raise SessionError(f'timed out waiting for key {len(keys) + 1} of {count} '
                                   f'(got {keys})') from None
        return keys

    def received_nothing_more(self):
        return self._events.empty()


class SwayCompanionSession(CompanionSession):
    """The session on Sway's headless backend, a wlroots compositor without a remote-desktop
    portal. Sway refuses to run as root, so it runs as nobody in a runtime folder of its own;
    programs of the session reach it by the socket's full path. `session.start_recorder()` starts
    the key recorder, which takes the focus; `session.focused_app()` names the focused window's
    program."""

    def _start_desktop(self):
        self.display_name = ''
        runtime = tempfile.mkdtemp(prefix='quenlark-sway-')
        self._parts.append(lambda: shutil.rmtree(runtime, ignore_errors=True))
        nobody = pwd.getpwnam('nobody')
        os.chown(runtime, nobody.pw_uid, nobody.pw_gid)
        os.chmod(runtime, 0o700)
        environment = {'PATH': os.environ.get('PATH', '/usr/bin:/bin'), 'HOME': runtime,
                       'XDG_RUNTIME_DIR': runtime, 'WLR_BACKENDS': 'headless',
                       'WLR_RENDERER': 'pixman', 'WLR_LIBINPUT_NO_DEVICES': '1'}
        with open(self.path('sway.log'), 'wb') as log:
            sway = spawn(['sway', '-c', '/dev/null'], env=environment, user=nobody.pw_uid,
                         group=nobody.pw_gid, extra_groups=[], stdout=subprocess.DEVNULL,
                         stderr=log)
        self._parts.append(lambda: end(sway))

        def sockets():
            names = os.listdir(runtime)
            display = [n for n in names if n.startswith('wayland-') and not n.endswith('.lock')]
            ipc = [n for n in names if n.startswith('sway-ipc.')]
            return (display[0], ipc[0]) if display and ipc else sway.poll() is not None

        found = wait_for(sockets, 'Sway to listen')
        if sway.poll() is not None:
            raise SessionError('Sway ended: ' + self._file_tail('sway.log'))
        self.wayland_display, self.sway_ipc = (os.path.join(runtime, name) for name in found)

    def environment(self):
        environment = super().environment()
        del environment['DISPLAY']
        environment.update({'WAYLAND_DISPLAY': self.wayland_display,
                            'XDG_SESSION_TYPE': 'wayland', 'QT_QPA_PLATFORM': 'wayland'})
        return environment

    def start_bare_portal(self):
        """xdg-desktop-portal with no desktop behind it, as on Sway without a portal backend that
        offers remote desktop; returns its process."""
        os.makedirs(self.path('no-portals'), exist_ok=True)
        environment = dict(self.environment(), XDG_CURRENT_DESKTOP='sway',
                           XDG_DESKTOP_PORTAL_DIR=self.path('no-portals'))
        frontend = spawn([PORTAL_FRONTEND], env=environment, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
        self._parts.append(lambda: end(frontend))
        bus = dbus.bus.BusConnection(self.session_bus_address)
        self._parts.append(bus.close)
        wait_for(lambda: bus.name_has_owner(PORTAL_NAME), 'xdg-desktop-portal')
        return frontend

    def start_recorder(self):
        """A key recorder (wev), once it has the focus."""
        recorder = WaylandKeyRecorder(self.environment())
        self._parts.append(recorder.close)
        wait_for(lambda: self.focused_app() == 'wev', 'the focus on the recorder')
        return recorder

    def _ask(self, what):
        reply = subprocess.run(['swaymsg', '-s', self.sway_ipc, '-t', what, '-r'],
                               capture_output=True, text=True, timeout=DEFAULT_TIMEOUT, check=True)
        return json.loads(reply.stdout)

    def _tree(self):
        return self._ask('get_tree')

    def keyboards(self):
        """The names of Sway's keyboards: with no devices of its own, those that programs made."""
        return [device['name'] for device in self._ask('get_inputs')
                if device.get('type') == 'keyboard']

    def apps(self):
        """The program (app_id) of every window on screen."""
        return [node.get('app_id') for node in _nodes(self._tree()) if node.get('pid')]

    def focused_app(self):
        return next((node.get('app_id') for node in _nodes(self._tree()) if node.get('focused')),
                    None)

    def diagnostics(self):
        return '\n'.join([f'--- {os.path.basename(c.log_path)} ---\n{c.output()[-4000:]}'
                          for c in self.companions] +
                         [f'--- scripted BlueZ ---\n{self.bluez.log_tail()}',
                          f'--- Sway ---\n{self._file_tail("sway.log", 2000)}'])


def _nodes(node):
    yield node
    for child in node.get('nodes', []) + node.get('floating_nodes', []):
        yield from _nodes(child)
