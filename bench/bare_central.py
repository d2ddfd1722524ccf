#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The real stack's floor: a bare python3-dbus central on hci0 doing what the program's adapter
does, and no more: the clicker-service discovery filter, StartDiscovery, Connect, and StartNotify
on the command characteristic. Driven by one command per line on standard input:

    connect     discover the first device advertising the clicker service, connect it and
                subscribe; answers "subscribed <ns>"
    forget      disconnect and remove every device; answers "ok"

and reports each value as "value <hex> <ns>" (CLOCK_MONOTONIC ns).
"""

import sys
import time

import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

SERVICE = 'e20a39f4-73f5-4bc4-a12f-17d1ad07a961'
COMMAND = '08590f7e-db05-467e-8757-72f6faeb13d4'
ADAPTER = '/org/bluez/hci0'


def emit(line):
    sys.stdout.write(line + '\n')
    sys.stdout.flush()


class BareCentral:
    def __init__(self):
        self.bus = dbus.SystemBus()
        self.adapter = dbus.Interface(self.bus.get_object('org.bluez', ADAPTER), 'org.bluez.Adapter1')
        self.manager = dbus.Interface(self.bus.get_object('org.bluez', '/'),
                                      'org.freedesktop.DBus.ObjectManager')
        self.adapter.SetDiscoveryFilter({'UUIDs': dbus.Array([SERVICE], 's'), 'Transport': 'le'})
        self.wanted = None
        self.bus.add_signal_receiver(self.changed, 'PropertiesChanged',
                                     'org.freedesktop.DBus.Properties', 'org.bluez',
                                     path_keyword='path')
        self.bus.add_signal_receiver(self.added, 'InterfacesAdded',
                                     'org.freedesktop.DBus.ObjectManager', 'org.bluez')

    def objects(self):
        return self.manager.GetManagedObjects()

    def connect(self):
        self.wanted = 'device'
        self.adapter.StartDiscovery()
        for path, interfaces in self.objects().items():
            device = interfaces.get('org.bluez.Device1')
            if device and 'RSSI' in device and SERVICE in device.get('UUIDs', []):
                self.found(path)

    def added(self, path, interfaces):
        device = interfaces.get('org.bluez.Device1')
        if device and SERVICE in device.get('UUIDs', []) and 'RSSI' in device:
            self.found(path)

    def changed(self, interface, changes, _invalidated, path):
        if interface == 'org.bluez.Device1' and self.wanted == 'device' and 'RSSI' in changes:
            self.found(path)
        elif interface == 'org.bluez.Device1' and changes.get('ServicesResolved') and \
                self.wanted == path:
            self.subscribe(path)
        elif interface == 'org.bluez.GattCharacteristic1' and 'Value' in changes:
            emit(f'value {bytes(changes["Value"]).hex()} {time.monotonic_ns()}')

    def found(self, path):
        if self.wanted != 'device':
            return
        self.wanted = path
        self.adapter.StopDiscovery()
        device = dbus.Interface(self.bus.get_object('org.bluez', path), 'org.bluez.Device1')
        device.Connect(reply_handler=lambda: None,
                       error_handler=lambda error: emit(f'error {error}'))

    def subscribe(self, path):
        self.wanted = None
        for child, interfaces in self.objects().items():
            characteristic = interfaces.get('org.bluez.GattCharacteristic1')
            if child.startswith(path + '/') and characteristic and \
                    characteristic['UUID'] == COMMAND:
                dbus.Interface(self.bus.get_object('org.bluez', child),
                               'org.bluez.GattCharacteristic1').StartNotify(
                    reply_handler=lambda: emit(f'subscribed {time.monotonic_ns()}'),
                    error_handler=lambda error: emit(f'error {error}'))
                return

    def forget(self):
        for path, interfaces in self.objects().items():
            if 'org.bluez.Device1' in interfaces and path.startswith(ADAPTER + '/'):
                self.adapter.RemoveDevice(path)
        emit('ok')


def main():
    DBusGMainLoop(set_as_default=True)
    central = BareCentral()

    def command(source, _condition):
        line = source.readline().strip()
        if not line:
            GLib.MainLoop().quit()
            sys.exit(0)
        {'connect': central.connect, 'forget': central.forget}[line]()
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, command)
    emit('ready')
    GLib.MainLoop().run()


if __name__ == '__main__':
    main()
