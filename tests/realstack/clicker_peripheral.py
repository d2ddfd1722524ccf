#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A scriptable clicker on one controller of the real bluetoothd, through its peripheral API
(LEAdvertisingManager1, GattManager1), plus the desktop's pairing agent. Each command on standard
input is answered with "ok [detail]" or "error <text>"; events meanwhile come as
"event <what> <ns>" (CLOCK_MONOTONIC ns):

    gatt [encrypt] [hid]      the clicker service, its command characteristic (encrypt-notify with
                              "encrypt") and, with "hid", HID over GATT (0x1812) with a keyboard
                              report map
    advertise [hid]           advertise the clicker service (and 0x1812 with "hid")  -> ok <ns>
    stop                      stop advertising
    notify MS HEX...          notify each value, one every MS milliseconds           -> ok <ns>
    drop                      disconnect every central from this side
    sleep                     stop advertising and drop every link, as a clicker going to sleep
    wake HEX                  advertise again, holding the press HEX until a central switches
                              notifications on; then notify it                        -> ok <ns>
    power on|off              power this controller
    name TEXT                 the controller's name, which the advertisement carries
    agent accept|refuse|silent|off   the desktop's agent: says yes, says no, never answers, none
    address                   -> ok <this controller's address>

Events: "subscribed" (a central switched notifications on), "unsubscribed", "pairing <method>"
for each agent request, "woken" when the held press went out.

    clicker_peripheral.py hci1
"""

import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

BLUEZ = 'org.bluez'
PROPERTIES = 'org.freedesktop.DBus.Properties'
SERVICE = 'e20a39f4-73f5-4bc4-a12f-17d1ad07a961'
COMMAND = '08590f7e-db05-467e-8757-72f6faeb13d4'
HID = '00001812-0000-1000-8000-00805f9b34fb'
NO_OPTIONS = dbus.Dictionary({}, signature='sv')
# A boot keyboard: modifiers, reserved byte, six key codes; LED output report.
KEYBOARD_REPORT_MAP = bytes.fromhex(
    '05010906a101850175019508050719e029e715002501810295017508810395057501050819012905910295017503'
    '910195067508150025650507190029658100c0')


def emit(line):
    print(line, flush=True)


class Characteristic(dbus.service.Object):
    def __init__(self, bus, path, service, uuid, flags, value):
        super().__init__(bus, path)
        self.path, self.service, self.uuid, self.flags = path, service, uuid, flags
        self.value, self.notifying, self.held = bytes(value), False, None

    def properties(self):
        return {'org.bluez.GattCharacteristic1': {
            'Service': dbus.ObjectPath(self.service), 'UUID': self.uuid,
            'Flags': dbus.Array(self.flags, 's'), 'Value': dbus.ByteArray(self.value)}}

    @dbus.service.method('org.bluez.GattCharacteristic1', in_signature='a{sv}',
                         out_signature='ay')
    def ReadValue(self, _options):
        return dbus.ByteArray(self.value)

    @dbus.service.method('org.bluez.GattCharacteristic1', in_signature='aya{sv}')
    def WriteValue(self, value, _options):
        self.value = bytes(value)

    @dbus.service.method('org.bluez.GattCharacteristic1')
    def StartNotify(self):
        self.notifying = True
        if self.uuid == COMMAND:
            emit(f'event subscribed {time.monotonic_ns()}')
            if self.held is not None:
                # After this call's reply: bluetoothd may count the central as subscribed only
                # once StartNotify answered.
                GLib.idle_add(self.send_held)

    def send_held(self):
        if self.held is not None and self.notifying:
            self.notify(self.held)
            self.held = None
            emit(f'event woken {time.monotonic_ns()}')
        return False

    @dbus.service.method('org.bluez.GattCharacteristic1')
    def StopNotify(self):
        self.notifying = False
        if self.uuid == COMMAND:
            emit(f'event unsubscribed {time.monotonic_ns()}')

    def notify(self, value):
        self.value = bytes(value)
        self.PropertiesChanged('org.bluez.GattCharacteristic1',
                               {'Value': dbus.ByteArray(self.value)}, [])

    @dbus.service.signal(PROPERTIES, signature='sa{sv}as')
    def PropertiesChanged(self, interface, changed, invalidated):
        pass


class Descriptor(dbus.service.Object):
    def __init__(self, bus, path, characteristic, uuid, value):
        super().__init__(bus, path)
        self.path, self.characteristic, self.uuid, self.value = path, characteristic, uuid, value

    def properties(self):
        return {'org.bluez.GattDescriptor1': {
            'Characteristic': dbus.ObjectPath(self.characteristic), 'UUID': self.uuid,
            'Flags': dbus.Array(['read'], 's')}}

    @dbus.service.method('org.bluez.GattDescriptor1', in_signature='a{sv}', out_signature='ay')
    def ReadValue(self, _options):
        return dbus.ByteArray(self.value)


class Application(dbus.service.Object):
    """The GATT database: the clicker service and, optionally, HID over GATT."""

    def __init__(self, bus, path, encrypt, hid):
        super().__init__(bus, path)
        self.path, self.objects, self.services = path, [], []
        flags = ['encrypt-notify', 'encrypt-read'] if encrypt else ['notify', 'read']
        service = self.add_service(SERVICE)
        self.command = self.add_characteristic(service, COMMAND, flags, b'\x00\x00')
        if hid:
            # Reading the report map and reports needs encryption, as on real keyboards.
            hid_service = self.add_service(HID)
            self.add_characteristic(hid_service, '2a4a', ['read'], b'\x11\x01\x00\x02')
            self.add_characteristic(hid_service, '2a4b', ['encrypt-read'], KEYBOARD_REPORT_MAP)
            self.add_characteristic(hid_service, '2a4e', ['read', 'write-without-response'],
                                    b'\x01')
            self.add_characteristic(hid_service, '2a4c', ['write-without-response'], b'\x00')
            report = self.add_characteristic(hid_service, '2a4d',
                                             ['encrypt-read', 'encrypt-notify'], bytes(8))
            self.objects.append(Descriptor(self.connection, report.path + '/desc0', report.path,
                                           '2908', b'\x01\x01'))

    def add_service(self, uuid):
        path = f'{self.path}/service{len(self.services)}'
        self.services.append((path, uuid))
        return path

    def add_characteristic(self, service, uuid, flags, value):
        characteristic = Characteristic(self.connection, f'{service}/char{len(self.objects)}',
                                        service, uuid, flags, value)
        self.objects.append(characteristic)
        return characteristic

    def remove(self):
        for obj in self.objects:
            obj.remove_from_connection()
        self.remove_from_connection()

    @dbus.service.method('org.freedesktop.DBus.ObjectManager', out_signature='a{oa{sa{sv}}}')
    def GetManagedObjects(self):
        managed = {dbus.ObjectPath(path): {'org.bluez.GattService1': {
            'UUID': uuid, 'Primary': True}} for path, uuid in self.services}
        for obj in self.objects:
            managed[dbus.ObjectPath(obj.path)] = obj.properties()
        return managed


class Advertisement(dbus.service.Object):
    def __init__(self, bus, path, services, name):
        super().__init__(bus, path)
        self.services, self.name = services, name

    @dbus.service.method(PROPERTIES, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(PROPERTIES, in_signature='s', out_signature='a{sv}')
    def GetAll(self, _interface):
        return {'Type': 'peripheral', 'ServiceUUIDs': dbus.Array(self.services, 's'),
                'LocalName': self.name, 'Discoverable': True}

    @dbus.service.method('org.bluez.LEAdvertisement1')
    def Release(self):
        pass


class Agent(dbus.service.Object):
    """The desktop's pairing agent: says yes, says no or never answers."""

    answer = 'accept'

    def decide(self, method, reply, fail, value=None):
        emit(f'event pairing {method} {time.monotonic_ns()}')
        if self.answer == 'accept':
            reply() if value is None else reply(value)
        elif self.answer == 'refuse':
            fail(dbus.DBusException('Refused', name='org.bluez.Error.Rejected'))
        # silent: the request stays open until bluetoothd gives up on it

    @dbus.service.method('org.bluez.Agent1', in_signature='ou', async_callbacks=('reply', 'fail'))
    def RequestConfirmation(self, _device, _passkey, reply, fail):
        self.decide('confirmation', reply, fail)

    @dbus.service.method('org.bluez.Agent1', in_signature='o', async_callbacks=('reply', 'fail'))
    def RequestAuthorization(self, _device, reply, fail):
        self.decide('authorization', reply, fail)

    @dbus.service.method('org.bluez.Agent1', in_signature='os', async_callbacks=('reply', 'fail'))
    def AuthorizeService(self, _device, _uuid, reply, fail):
        self.decide('service', reply, fail)

    @dbus.service.method('org.bluez.Agent1', in_signature='o', out_signature='u',
                         async_callbacks=('reply', 'fail'))
    def RequestPasskey(self, _device, reply, fail):
        self.decide('passkey', reply, fail, dbus.UInt32(0))

    @dbus.service.method('org.bluez.Agent1', in_signature='o', out_signature='s',
                         async_callbacks=('reply', 'fail'))
    def RequestPinCode(self, _device, reply, fail):
        self.decide('pincode', reply, fail, '0000')

    @dbus.service.method('org.bluez.Agent1', in_signature='ouq')
    def DisplayPasskey(self, _device, _passkey, _entered):
        emit(f'event pairing display {time.monotonic_ns()}')

    @dbus.service.method('org.bluez.Agent1', in_signature='os')
    def DisplayPinCode(self, _device, _code):
        emit(f'event pairing display {time.monotonic_ns()}')

    @dbus.service.method('org.bluez.Agent1')
    def Cancel(self):
        emit(f'event pairing cancelled {time.monotonic_ns()}')

    @dbus.service.method('org.bluez.Agent1')
    def Release(self):
        pass


class Clicker:
    def __init__(self, adapter):
        self.bus = dbus.SystemBus()
        self.adapter_path = f'/org/bluez/{adapter}'
        self.tag = adapter
        self.name = 'Clicker'
        self.application = self.advertisement = self.agent = None
        self.generation = 0
        self.gatt([])

    def call(self, interface, method, *arguments, signature=None):
        """Calls bluetoothd while serving its calls back (GetManagedObjects, GetAll)."""
        outcome = []
        # A fresh proxy each time: bluetoothd may have been restarted under another bus name.
        adapter = self.bus.get_object(BLUEZ, self.adapter_path, introspect=False)
        getattr(dbus.Interface(adapter, interface), method)(
            *arguments, signature=signature, timeout=30,
            reply_handler=lambda *values: outcome.append((True, values)),
            error_handler=lambda error: outcome.append((False, error)))
        context = GLib.main_context_default()
        while not outcome:
            context.iteration(True)
        succeeded, result = outcome[0]
        if not succeeded:
            raise result
        return result[0] if result else None

    def set_adapter(self, name, value):
        self.call(PROPERTIES, 'Set', 'org.bluez.Adapter1', name, value, signature='ssv')

    def gatt(self, options):
        if self.application:
            try:
                self.call('org.bluez.GattManager1', 'UnregisterApplication',
                          dbus.ObjectPath(self.application.path))
            except dbus.DBusException:
                pass  # a restarted bluetoothd never had it
            self.application.remove()
        self.generation += 1
        self.application = Application(self.bus, f'/quenlark/{self.tag}/app{self.generation}',
                                       'encrypt' in options, 'hid' in options)
        self.call('org.bluez.GattManager1', 'RegisterApplication',
                  dbus.ObjectPath(self.application.path), NO_OPTIONS)

    def advertise(self, options):
        self.stop([])
        self.generation += 1
        services = [SERVICE] + ([HID] if 'hid' in options else [])
        self.advertisement = Advertisement(self.bus, f'/quenlark/{self.tag}/adv{self.generation}',
                                           services, self.name)
        started = time.monotonic_ns()
        self.call('org.bluez.LEAdvertisingManager1', 'RegisterAdvertisement',
                  dbus.ObjectPath(self.advertisement.__dbus_object_path__), NO_OPTIONS)
        return str(started)

    def stop(self, _options):
        if self.advertisement:
            try:
                self.call('org.bluez.LEAdvertisingManager1', 'UnregisterAdvertisement',
                          dbus.ObjectPath(self.advertisement.__dbus_object_path__))
            except dbus.DBusException:
                pass  # gone with a power-off
            self.advertisement.remove_from_connection()
            self.advertisement = None

    def notify(self, options):
        interval, values = int(options[0]) / 1000.0, [bytes.fromhex(v) for v in options[1:]]
        started = time.monotonic_ns()
        for index, value in enumerate(values):
            self.application.command.notify(value)
            # Let the bus carry it before the next one, at the asked pace.
            while GLib.main_context_default().iteration(False):
                pass
            delay = started / 1e9 + (index + 1) * interval - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        return str(started)

    def drop(self, _options):
        manager = dbus.Interface(self.bus.get_object(BLUEZ, '/'),
                                 'org.freedesktop.DBus.ObjectManager')
        dropped = 0
        for path, interfaces in manager.GetManagedObjects().items():
            device = interfaces.get('org.bluez.Device1')
            if device and path.startswith(self.adapter_path + '/') and device['Connected']:
                dbus.Interface(self.bus.get_object(BLUEZ, path), 'org.bluez.Device1').Disconnect()
                dropped += 1
        return str(dropped)

    def sleep(self, _options):
        self.application.command.held = None
        self.stop([])
        return self.drop([])

    def wake(self, options):
        self.application.command.held = bytes.fromhex(options[0])
        return self.advertise([])

    def power(self, options):
        self.set_adapter('Powered', dbus.Boolean(options[0] == 'on'))
        if options[0] == 'off':
            self.stop([])

    def name_(self, options):
        self.name = ' '.join(options)
        self.set_adapter('Alias', self.name)

    def agent_(self, options):
        manager = dbus.Interface(self.bus.get_object(BLUEZ, '/org/bluez'),
                                 'org.bluez.AgentManager1')
        if self.agent is None:
            self.agent = Agent(self.bus, '/quenlark/agent')
        else:
            try:
                manager.UnregisterAgent('/quenlark/agent')
            except dbus.DBusException:
                pass
        if options[0] != 'off':
            Agent.answer = options[0]
            manager.RegisterAgent('/quenlark/agent', 'KeyboardDisplay')
            manager.RequestDefaultAgent('/quenlark/agent')

    def address(self, _options):
        return str(self.call(PROPERTIES, 'Get', 'org.bluez.Adapter1', 'Address'))

    def handle(self, line):
        words = line.split()
        if not words:
            return True
        action = {'gatt': self.gatt, 'advertise': self.advertise, 'stop': self.stop,
                  'notify': self.notify, 'drop': self.drop, 'sleep': self.sleep,
                  'wake': self.wake, 'power': self.power,
                  'name': self.name_, 'agent': self.agent_, 'address': self.address}.get(words[0])
        try:
            if action is None:
                raise ValueError(f'unknown command {words[0]!r}')
            detail = action(words[1:])
            emit('ok' + (f' {detail}' if detail else ''))
        except (dbus.DBusException, ValueError, IndexError) as error:
            emit(f'error {error}')
        return True


def main():
    DBusGMainLoop(set_as_default=True)
    clicker = Clicker(sys.argv[1])
    loop = GLib.MainLoop()

    def command(source, _condition):
        line = source.readline()
        if not line:
            loop.quit()
            return False
        return clicker.handle(line)

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, command)
    emit('ready')
    loop.run()
    return 0


if __name__ == '__main__':
    sys.exit(main())
