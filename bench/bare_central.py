#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The real stack's floor: a bare python3-dbus central on hci0 doing what the program's adapter
does, and no more. With nothing remembered it finds the clicker through discovery (the
clicker-service filter, StartDiscovery), connects it and remembers it. For a remembered clicker
bluetoothd lists, it waits with a pending Device1.Connect, issued again whenever it fails; once
ServicesResolved it calls StartNotify on the command characteristic, and it ends that
notification session (StopNotify) whenever the link ends. Driven by one command per line on
standard input:

    connect     discover the first device advertising the clicker service, connect it and
                subscribe
    forget      forget the clicker, disconnect and remove every device; answers "ok"

It reports "resolved <ns>" (ServicesResolved), "subscribed <ns>" (StartNotify answered), each
value as "value <hex> <ns>" (CLOCK_MONOTONIC ns), and how each Connect ended ("connect answered,
connected <bool> <ns>" or "connect failed: <message> <ns>"). With --watch it only reports when hci0's devices
resolve their services: a step of another central. (bluetoothd tells Connected in the same
signal as ServicesResolved, so the connection itself is taken from btmon.)
"""

import sys
import time

import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

SERVICE = 'e20a39f4-73f5-4bc4-a12f-17d1ad07a961'
COMMAND = '08590f7e-db05-467e-8757-72f6faeb13d4'
ADAPTER = '/org/bluez/hci0'
BLUEZ = 'org.bluez'
PROPERTIES = 'org.freedesktop.DBus.Properties'
AGAIN_MS = 200  # before a failed Connect is issued again


def emit(line):
    sys.stdout.write(line + '\n')
    sys.stdout.flush()


def now():
    return time.monotonic_ns()


class BareCentral:
    def __init__(self, watch):
        self.bus = dbus.SystemBus()
        self.adapter = dbus.Interface(self.bus.get_object(BLUEZ, ADAPTER), 'org.bluez.Adapter1')
        self.manager = dbus.Interface(self.bus.get_object(BLUEZ, '/'),
                                      'org.freedesktop.DBus.ObjectManager')
        self.watch = watch
        self.discovering = False
        self.remembered = None
        self.command = None
        self.bus.add_signal_receiver(self.changed, 'PropertiesChanged',
                                     PROPERTIES, BLUEZ,
                                     path_keyword='path')
        self.bus.add_signal_receiver(self.added, 'InterfacesAdded',
                                     'org.freedesktop.DBus.ObjectManager', BLUEZ)
        self.bus.add_signal_receiver(self.removed, 'InterfacesRemoved',
                                     'org.freedesktop.DBus.ObjectManager', BLUEZ)

    def objects(self):
        return self.manager.GetManagedObjects()

    def device(self, path):
        return dbus.Interface(self.bus.get_object(BLUEZ, path), 'org.bluez.Device1')

    def characteristic(self, path):
        return dbus.Interface(self.bus.get_object(BLUEZ, path), 'org.bluez.GattCharacteristic1')

    def connect(self):
        self.discovering = True
        self.adapter.SetDiscoveryFilter({'UUIDs': dbus.Array([SERVICE], 's'), 'Transport': 'le'})
        self.adapter.StartDiscovery()
        for path, interfaces in self.objects().items():
            self.heard(path, interfaces.get('org.bluez.Device1'))

    def added(self, path, interfaces):
        self.heard(path, interfaces.get('org.bluez.Device1'))

    def heard(self, path, device):
        if self.discovering and device and 'RSSI' in device and \
                SERVICE in device.get('UUIDs', []):
            self.discovering = False
            self.adapter.StopDiscovery()
            self.remembered = path
            self.link_up(path)

    def removed(self, path, interfaces):
        if path == self.remembered and 'org.bluez.Device1' in interfaces:
            self.remembered = None
            self.connect()

    def changed(self, interface, changes, _invalidated, path):
        if interface == 'org.bluez.GattCharacteristic1' and 'Value' in changes:
            emit(f'value {bytes(changes["Value"]).hex()} {now()}')
        if interface != 'org.bluez.Device1' or not path.startswith(ADAPTER + '/'):
            return
        if self.discovering and 'RSSI' in changes:
            self.heard(path, self.objects().get(path, {}).get('org.bluez.Device1'))
        if changes.get('ServicesResolved'):
            emit(f'resolved {now()}')
            if path == self.remembered and not self.watch:
                self.subscribe(path)
        # dbus.Boolean is an int, never the False singleton.
        if 'Connected' in changes and not changes['Connected'] and path == self.remembered and \
                not self.watch:
            self.link_down(path)

    def link_up(self, path):
        if path == self.remembered:
            self.device(path).Connect(reply_handler=lambda: self.linked(path),
                                      error_handler=lambda error: self.again(path, error))

    def linked(self, path):
        # A Connect that comes while bluetoothd still takes the last link down is answered at
        # once, with no connection made and none pending.
        try:
            connected = dbus.Interface(self.bus.get_object(BLUEZ, path), PROPERTIES).Get(
                'org.bluez.Device1', 'Connected')
        except dbus.DBusException:
            return  # gone: InterfacesRemoved takes it from here
        emit(f'connect answered, connected {bool(connected)} {now()}')
        if not connected:
            self.again(path)

    def again(self, path, error=None):
        if error is not None:
            emit(f'connect failed: {error.get_dbus_message()} {now()}')
        GLib.timeout_add(AGAIN_MS, lambda: self.link_up(path))

    def link_down(self, path):
        if self.command:
            self.characteristic(self.command).StopNotify(reply_handler=lambda: None,
                                                          error_handler=lambda _error: None)
            self.command = None
        self.link_up(path)

    def subscribe(self, path):
        for child, interfaces in self.objects().items():
            characteristic = interfaces.get('org.bluez.GattCharacteristic1')
            if child.startswith(path + '/') and characteristic and \
                    characteristic['UUID'] == COMMAND:
                self.command = child
                self.characteristic(child).StartNotify(
                    reply_handler=lambda: emit(f'subscribed {now()}'),
                    error_handler=lambda error: emit(f'error {error}'))
                return

    def forget(self):
        self.remembered, self.command, self.discovering = None, None, False
        for path, interfaces in self.objects().items():
            if 'org.bluez.Device1' in interfaces and path.startswith(ADAPTER + '/'):
                self.adapter.RemoveDevice(path)
        emit('ok')


def main():
    DBusGMainLoop(set_as_default=True)
    central = BareCentral('--watch' in sys.argv[1:])
    loop = GLib.MainLoop()

    def command(source, _condition):
        line = source.readline().strip()
        if not line:
            loop.quit()
            return False
        {'connect': central.connect, 'forget': central.forget}[line]()
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, command)
    emit('ready')
    loop.run()


if __name__ == '__main__':
    main()
