# SPDX-License-Identifier: MIT
"""The private buses and the scripted services on them: BlueZ on the system bus; the portal, in
front of a scripted desktop, and a tray's watcher on the session bus."""

import os
import subprocess
import threading

import dbus
import dbus.bus

from .processes import PYTHON, SessionError, end, read_line, spawn, wait_for

TESTS_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BLUETOOTH_DIR = os.path.join(TESTS_DIR, 'integration', 'bluetooth')
PORTAL_DIR = os.path.join(TESTS_DIR, 'integration', 'portal')
TRAY_WATCHER = os.path.join(TESTS_DIR, 'support', 'status_notifier_watcher.py')
SYSTEM_BUS_CONFIG = os.path.join(TESTS_DIR, 'support', 'system-bus.conf')
PORTAL_FRONTEND = '/usr/libexec/xdg-desktop-portal'
PORTAL_NAME = 'org.freedesktop.portal.Desktop'
SCRIPTED_DESKTOP_NAME = 'org.freedesktop.impl.portal.desktop.quenlark'
PORTAL_PATH = '/org/freedesktop/portal/desktop'

CLICKER_SERVICE = 'e20a39f4-73f5-4bc4-a12f-17d1ad07a961'
ADAPTER = 'hci0'


def _session_bus_config():
    """The system bus's stand-in as a session bus listening in the folder `{directory}`."""
    with open(SYSTEM_BUS_CONFIG, encoding='utf-8') as file:
        config = file.read()
    config = config.replace('<type>system</type>', '<type>session</type>').replace(
        'unix:tmpdir=/tmp', 'unix:dir={directory}')
    # Fails loudly should the stand-in's text change, rather than start a second system bus.
    assert '<type>session</type>' in config and '{directory}' in config, SYSTEM_BUS_CONFIG
    return config


SESSION_BUS_CONFIG = _session_bus_config()


def start_bus(arguments, what):
    """A dbus-daemon started with `arguments`; returns its process and its address."""
    process = spawn(['dbus-daemon', '--nofork', '--print-address=1', *arguments],
                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        address = read_line(process, f'the private {what} bus to start')
    except SessionError:
        end(process)
        raise
    return process, address


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
        self.mock.SetPowered(ADAPTER, in_range)

    def notify(self, address, value):
        """Notifies the command characteristic; returns when it was sent (CLOCK_MONOTONIC ns)."""
        return int(self.mock.Notify(address, dbus.ByteArray(bytes(value))))

    def drop_link(self, address):
        self.mock.DropLink(address)

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


class ScriptedPortal:
    """The real xdg-desktop-portal in front of the scripted desktop, and the desktop's knobs."""

    ALLOWED, REFUSED, DISMISSED, OPEN = 0, 1, 2, 3

    def __init__(self, environment, bus):
        self.bus = bus
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
    """A desktop's tray (status_notifier_watcher.py): the items that registered with it."""

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
