#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A desktop's tray for the tray tests, the benchmarks and the package test:
org.kde.StatusNotifierWatcher on the session bus, with one host registered, that writes down when
each item registers.

Usage: status_notifier_watcher.py   (with DBUS_SESSION_BUS_ADDRESS set)

Writes one line per event on standard output, flushed:

    ready                                   it owns org.kde.StatusNotifierWatcher
    registered <service> <CLOCK_MONOTONIC ns when the call arrived>

Ends when the bus goes or on SIGTERM.
"""

import signal
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

SERVICE = 'org.kde.StatusNotifierWatcher'
PATH = '/StatusNotifierWatcher'
PROPERTIES = 'org.freedesktop.DBus.Properties'

# Qt reads IsStatusNotifierHostRegistered through a QDBusInterface, which sees only what the
# introspection data declares; dbus-python leaves properties out of it.
INTROSPECTION = f"""<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node>
  <interface name="{SERVICE}">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
  <interface name="{PROPERTIES}">
    <method name="Get">
      <arg name="interface" type="s" direction="in"/><arg name="name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="GetAll">
      <arg name="interface" type="s" direction="in"/>
      <arg name="properties" type="a{{sv}}" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect"><arg name="data" type="s" direction="out"/></method>
  </interface>
</node>
"""


def emit(line):
    sys.stdout.write(line + '\n')
    sys.stdout.flush()


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.items = []

    @dbus.service.method(SERVICE, in_signature='s', out_signature='', sender_keyword='sender')
    def RegisterStatusNotifierItem(self, service, sender=None):
        arrived = time.monotonic_ns()
        # Items that pass an object path register under their connection's name.
        name = sender + service if service.startswith('/') else service
        self.items.append(name)
        emit(f'registered {name} {arrived}')
        self.StatusNotifierItemRegistered(name)

    @dbus.service.method(SERVICE, in_signature='s', out_signature='')
    def RegisterStatusNotifierHost(self, _service):
        pass

    @dbus.service.signal(SERVICE, signature='s')
    def StatusNotifierItemRegistered(self, _service):
        pass

    def properties(self):
        return {
            'RegisteredStatusNotifierItems': dbus.Array(self.items, signature='s'),
            'IsStatusNotifierHostRegistered': dbus.Boolean(True),
            'ProtocolVersion': dbus.Int32(0),
        }

    @dbus.service.method(PROPERTIES, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        if interface != SERVICE or name not in self.properties():
            raise dbus.exceptions.DBusException(
                f'No property {interface}.{name}',
                name='org.freedesktop.DBus.Error.UnknownProperty')
        return self.properties()[name]

    @dbus.service.method(PROPERTIES, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        return self.properties() if interface == SERVICE else {}

    @dbus.service.method('org.freedesktop.DBus.Introspectable', in_signature='',
                         out_signature='s')
    def Introspect(self):
        return INTROSPECTION


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    name = dbus.service.BusName(SERVICE, bus, do_not_queue=True)
    loop = GLib.MainLoop()
    bus.add_signal_receiver(loop.quit, signal_name='Disconnected',
                            path='/org/freedesktop/DBus/Local',
                            dbus_interface='org.freedesktop.DBus.Local')
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    emit('ready')
    loop.run()
    del name, watcher
    return 0


if __name__ == '__main__':
    sys.exit(main())
