#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A scripted BlueZ on the system bus, for the Bluetooth adapter's integration tests.

python3-dbusmock's bluez5 template, extended with what a Low Energy central meets on a real
bluetoothd: devices that advertise service UUIDs, a Connect that publishes the GATT objects (a
Device Information service and the clicker service, whose command characteristic carries the 0x2902
client configuration descriptor) and then sets ServicesResolved, reads that are never answered, and
notifications as changes of the characteristic's Value. It also misbehaves as bluetoothd 5.66 does
(each knob names the part of BlueZ it follows): devices it only remembers, discovery that ends on
its own, Connect and StartNotify failing or never answering, a clicker it connects by itself, and
pairing that its input profile or an encrypted characteristic starts on its own, answered by the
desktop's agent, notification sessions that outlive the link, devices found by discovery that it
forgets after a while, and a crowd of other devices. The tests drive it through extra methods on
the template's own test interface, org.bluez.Mock.

Prints "ready" on standard output once it owns org.bluez and is set up.
"""

import argparse
import os
import signal
import sys
import time

import dbus
import dbus.exceptions
import dbus.mainloop.glib
import dbus.service
from dbusmock import OBJECT_MANAGER_IFACE, mockobject
from dbusmock.templates import bluez5
from gi.repository import GLib

MOCK_IFACE = bluez5.BLUEZ_MOCK_IFACE
ADAPTER_IFACE = bluez5.ADAPTER_IFACE
DEVICE_IFACE = bluez5.DEVICE_IFACE
SERVICE_IFACE = 'org.bluez.GattService1'
CHARACTERISTIC_IFACE = 'org.bluez.GattCharacteristic1'
DESCRIPTOR_IFACE = 'org.bluez.GattDescriptor1'

CLIENT_CONFIGURATION = '00002902-0000-1000-8000-00805f9b34fb'
DEVICE_INFORMATION = '0000180a-0000-1000-8000-00805f9b34fb'
MANUFACTURER_NAME = '00002a29-0000-1000-8000-00805f9b34fb'
HUMAN_INTERFACE_DEVICE = '00001812-0000-1000-8000-00805f9b34fb'
CLICKER_SERVICE = 'e20a39f4-73f5-4bc4-a12f-17d1ad07a961'
COMMAND_CHARACTERISTIC = '08590f7e-db05-467e-8757-72f6faeb13d4'

CONNECT_BEHAVIOURS = ('succeed', 'fail', 'hang', 'unresolved')
NOTIFY_BEHAVIOURS = ('succeed', 'fail', 'hang', 'encrypted')
# The desktop's pairing agent: none registered (bluetoothd refuses the pairing at once, src/device.c
# new_auth: "No agent available"), one that says yes, or one that never answers.
AGENT_ANSWERS = ('none', 'accept', 'silent')
# After a failed pairing the link goes, from the clicker's side as the central sees it.
PAIRING_FAILED_DROP_MS = 100

# A clicker advertises every few tens of milliseconds; bluetoothd reports a device as heard when
# its first advertisement of a discovery arrives (src/device.c, device_set_rssi_with_delta: RSSI
# appears when it was unset, and changes only by 8 dBm or more after that).
ADVERTISING_INTERVAL_MS = 100
# The kernel gives up an LE connection to a device that does not advertise; bluetoothd then
# fails Connect with this reason (src/error.h, ERR_LE_CONN_ABORT_BY_LOCAL).
ABSENT_CONNECT_MS = 2000
LE_CONNECTION_ABORT = 'le-connection-abort-by-local'
# A GATT request the device never answers ends its link after ATT's transaction timeout, 30 s in
# src/shared/att.c; shortened here.
ATT_TIMEOUT_MS = 4000
# src/main.c, DEFAULT_TEMPORARY_TIMEOUT: how long a device found by discovery stays listed after it
# was last heard or disconnected.
TEMPORARY_TIMEOUT_S = 30
# src/device.c, RSSI_THRESHOLD: an unfiltered discovery reports changes of this many dBm or more.
RSSI_THRESHOLD = 8
# How often the crowd's timer runs; each run changes its share of the crowd's signal strengths.
CROWD_TICK_MS = 20


def bluez_error(name, message):
    return dbus.exceptions.DBusException(message, name='org.bluez.Error.' + name)


def root():
    return mockobject.objects['/']


def dbus_value(value):
    """dbusmock wraps D-Bus types only."""
    return dbus.types.Boolean(value) if isinstance(value, bool) else value


def record_call(obj, method, arguments=()):
    """Keeps the call in the object's call log, as dbusmock does for the methods it dispatches
    itself, so that org.freedesktop.DBus.Mock.GetMethodCalls counts replaced methods too."""
    obj.call_log.append((int(time.time()), method, list(arguments)))


def add_methods(obj, interface, methods):
    """Adds dbus-python methods, asynchronous ones too, given as functions or (name, function)."""
    for method in methods:
        name, function = method if isinstance(method, tuple) else (method.__name__, method)
        obj.methods.setdefault(interface, {})[name] = (
            function._dbus_in_signature, function._dbus_out_signature, '', function)


def publish(path, interface, properties, methods):
    root().AddObject(path, interface, properties, [])
    add_methods(mockobject.objects[path], interface, methods)
    root().EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                      [dbus.ObjectPath(path), {interface: properties}])


def unpublish(path, interface):
    root().RemoveObject(path)
    root().EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas',
                      [dbus.ObjectPath(path), [interface]])


def set_properties(path, interface, changes):
    mockobject.objects[path].UpdateProperties(
        interface, {name: dbus_value(value) for name, value in changes.items()})


class DeviceScript:
    """What the tests scripted for one device, and where its connection stands."""

    def __init__(self):
        self.connect = 'succeed'
        self.notify = 'succeed'
        self.advertising = True
        self.rssi = -60
        self.connected = False
        self.pending_connect = None
        # The reply of a Connect that waits for the device to advertise.
        self.awaited_reply = None
        self.gatt = []
        # Connected, and its services not resolved yet.
        self.resolving = False
        # Further primary services of its GATT database, found only once connected.
        self.hidden_services = []
        # Notify sessions of the command characteristic by D-Bus sender: whether each is
        # registered on the current link (src/gatt-client.c, notify_client with a notify_id).
        self.sessions = {}
        # Whether the device has notifications enabled: its 0x2902 write was answered.
        self.subscribed = False
        # A value the device sends as soon as notifications are enabled.
        self.held = None
        # Found by discovery, so forgotten a while after last heard (src/device.c,
        # btd_device_set_temporary).
        self.temporary = False
        self.last_seen = time.monotonic()


# The agent that the desktop registered, for every device.
agent = {'answer': 'none'}
# Addresses of devices removed through Adapter1.RemoveDevice and not added since.
removed_addresses = set()
temporary_timeout = {'seconds': TEMPORARY_TIMEOUT_S}


def device_path(address):
    for path, obj in mockobject.objects.items():
        if DEVICE_IFACE in obj.props and obj.props[DEVICE_IFACE].get('Address') == address:
            return path
    raise dbus.exceptions.DBusException(f'No device {address}',
                                        name=MOCK_IFACE + '.NoSuchDevice')


def device_at(address):
    return mockobject.objects[device_path(address)]


def adapter_at(name):
    path = '/org/bluez/' + name
    if path not in mockobject.objects:
        raise dbus.exceptions.DBusException(f'No adapter {name}',
                                            name=MOCK_IFACE + '.NoSuchAdapter')
    return mockobject.objects[path]


# GATT objects, as bluetoothd names them after their attribute handles.

@dbus.service.method(CHARACTERISTIC_IFACE, in_signature='a{sv}', out_signature='ay',
                     async_callbacks=('_reply', '_fail'))
def ReadValue(_obj, _options, _reply, _fail):
    """Never answered, like a read to a device that stopped responding."""


@dbus.service.method(CHARACTERISTIC_IFACE, in_signature='aya{sv}', out_signature='')
def WriteValue(_obj, _value, _options):
    pass


@dbus.service.method(CHARACTERISTIC_IFACE, in_signature='', out_signature='',
                     async_callbacks=('reply', 'fail'), sender_keyword='sender')
def StartNotify(characteristic, reply, fail, sender):
    """One session per sender (src/gatt-client.c, characteristic_start_notify): again while it is
    registered on the link succeeds, while it waits for one is refused as in progress; without a
    link it is kept for the next one. The 0x2902 write fails with one of src/gatt-client.c's own
    replies, or is never answered, as when the device stops answering ATT requests."""
    device = mockobject.objects[characteristic.path.rsplit('/', 2)[0]]
    script = device.script
    if 'notify' not in characteristic.props[CHARACTERISTIC_IFACE]['Flags']:
        fail(bluez_error('NotSupported', 'Operation is not supported'))
    elif sender in script.sessions:
        if script.sessions[sender]:
            reply()
        else:
            fail(bluez_error('InProgress', 'In Progress'))
    elif not script.connected:
        script.sessions[sender] = False
        reply()
    else:
        script.sessions[sender] = True
        enable_notifications(device, [sender], reply, fail)


def enable_notifications(device, senders, reply, fail):
    """The 0x2902 write for sessions just registered; the device needs it once for all of them
    (src/shared/gatt-client.c, register_notify). A refusal drops those sessions
    (register_notify_cb)."""
    script = device.script
    behaviour = 'succeed' if script.subscribed else script.notify
    if script.connect == 'unresolved':
        behaviour = 'hang'
    if behaviour == 'encrypted' and not device.props[DEVICE_IFACE]['Paired']:
        # src/shared/att.c raises the security of the link when the 0x2902 write is refused as
        # insufficient, and the kernel pairs; the write goes through once it is encrypted.
        behaviour = pair(device, 'succeed', 'hang')
    if behaviour == 'fail':
        for sender in senders:
            del script.sessions[sender]
        fail(bluez_error('Failed', 'Failed to register notify session'))
    elif behaviour == 'succeed':
        path = command_characteristic(device)
        if not mockobject.objects[path].props[CHARACTERISTIC_IFACE]['Notifying']:
            set_properties(path, CHARACTERISTIC_IFACE, {'Notifying': True})
        reply()
        if not script.subscribed:
            script.subscribed = True
            if script.held is not None:
                send_value(device, script.held)
                script.held = None


@dbus.service.method(CHARACTERISTIC_IFACE, in_signature='', out_signature='',
                     sender_keyword='sender')
def StopNotify(characteristic, sender):
    device = mockobject.objects[characteristic.path.rsplit('/', 2)[0]]
    if sender not in device.script.sessions:
        raise bluez_error('Failed', 'No notify session started')
    end_session(device, sender)


def end_session(device, sender):
    """The device has notifications disabled with its last registered session; Notifying goes
    false only then, and only on this call (src/gatt-client.c, update_notifying)."""
    script = device.script
    del script.sessions[sender]
    if any(script.sessions.values()):
        return
    if script.connected:
        script.subscribed = False
    path = command_characteristic(device)
    if mockobject.objects[path].props[CHARACTERISTIC_IFACE]['Notifying']:
        set_properties(path, CHARACTERISTIC_IFACE, {'Notifying': False})


def sender_left(name, _old_owner, new_owner):
    """src/gatt-client.c, notify_client_disconnect: a client that leaves the bus loses its
    sessions."""
    if new_owner or not name.startswith(':'):
        return
    for obj in list(mockobject.objects.values()):
        script = getattr(obj, 'script', None)
        if script and name in script.sessions:
            end_session(obj, name)


def send_value(device, value):
    """A notification: bluetoothd writes the value once per registered session, each a change of
    Value (src/gatt-client.c, notify_cb)."""
    path = command_characteristic(device)
    for _ in range(sum(device.script.sessions.values())):
        set_properties(path, CHARACTERISTIC_IFACE, {'Value': dbus.Array(value, signature='y')})


@dbus.service.method(DESCRIPTOR_IFACE, in_signature='a{sv}', out_signature='ay',
                     async_callbacks=('_reply', '_fail'))
def ReadDescriptor(_obj, _options, _reply, _fail):
    """Never answered either."""


def gatt_layout(device):
    def service(handle, uuid):
        return (f'{device}/service{handle:04x}', SERVICE_IFACE, {
            'UUID': dbus.String(uuid, variant_level=1),
            'Primary': dbus.Boolean(True, variant_level=1),
            'Device': dbus.ObjectPath(device, variant_level=1),
            'Includes': dbus.Array([], signature='o', variant_level=1),
        }, [])

    def characteristic(service_path, handle, uuid, flags):
        return (f'{service_path}/char{handle:04x}', CHARACTERISTIC_IFACE, {
            'UUID': dbus.String(uuid, variant_level=1),
            'Service': dbus.ObjectPath(service_path, variant_level=1),
            'Value': dbus.Array([], signature='y', variant_level=1),
            'Notifying': dbus.Boolean(False, variant_level=1),
            'Flags': dbus.Array(flags, signature='s', variant_level=1),
        }, [ReadValue, WriteValue, StartNotify, StopNotify])

    def descriptor(characteristic_path, handle, uuid):
        return (f'{characteristic_path}/desc{handle:04x}', DESCRIPTOR_IFACE, {
            'UUID': dbus.String(uuid, variant_level=1),
            'Characteristic': dbus.ObjectPath(characteristic_path, variant_level=1),
            'Value': dbus.Array([], signature='y', variant_level=1),
        }, [('ReadValue', ReadDescriptor)])

    information = service(0x000a, DEVICE_INFORMATION)
    manufacturer = characteristic(information[0], 0x000b, MANUFACTURER_NAME, ['read'])
    clicker = service(0x0010, CLICKER_SERVICE)
    command = characteristic(clicker[0], 0x0011, COMMAND_CHARACTERISTIC, ['read', 'notify'])
    configuration = descriptor(command[0], 0x0013, CLIENT_CONFIGURATION)
    # bluetoothd claims a HID service for its input profile and shows applications no objects of it
    # (src/device.c, add_gatt_service; src/gatt-client.c exports unclaimed services only).
    hidden = [service(0x0020 + 0x10 * index, uuid)
              for index, uuid in enumerate(mockobject.objects[device].script.hidden_services)
              if uuid != HUMAN_INTERFACE_DEVICE]
    return [information, manufacturer, clicker, command, configuration] + hidden


def pair(device, paired, unpaired):
    """Pairing that bluetoothd starts by itself, answered by the agent: returns `paired` once it
    bonded, `unpaired` otherwise. A refused pairing ends the link shortly after; bluetoothd does
    not answer what waited for it first."""
    if agent['answer'] == 'accept':
        set_properties(device.path, DEVICE_IFACE, {'Paired': True, 'Bonded': True})
        return paired
    if agent['answer'] == 'none':
        def drop():
            if device.script.connected:
                end_connection(device)
        GLib.timeout_add(PAIRING_FAILED_DROP_MS, drop)
    return unpaired


def command_characteristic(device):
    for path, interface, properties, _ in device.script.gatt:
        if interface == CHARACTERISTIC_IFACE and properties['UUID'] == COMMAND_CHARACTERISTIC:
            return path
    raise bluez_error('NotConnected', 'Not Connected')


def end_connection(device):
    """The link is gone. bluetoothd keeps the GATT objects (src/device.c, gatt_cache_cleanup: its
    default Cache is "always") and every notify session, no longer registered; Notifying stays as
    it was (src/gatt-client.c, btd_gatt_client_disconnected, clear_notify_id)."""
    script = device.script
    script.connected = script.resolving = script.subscribed = False
    script.sessions = dict.fromkeys(script.sessions, False)
    script.last_seen = time.monotonic()
    set_properties(device.path, DEVICE_IFACE, {'Connected': False, 'ServicesResolved': False})


def temporary(device):
    """A bonded device is kept (src/device.c, device_set_bonded); a trusted one is taken as kept
    too, as a desktop trusts only the devices it set up."""
    return device.script.temporary and not any(
        device.props[DEVICE_IFACE][flag] for flag in ('Paired', 'Bonded', 'Trusted'))


def forget(device):
    """bluetoothd drops the device with its GATT objects (src/adapter.c,
    btd_adapter_remove_device)."""
    if device.script.connected:
        end_connection(device)
    for path, interface, _, _ in reversed(device.script.gatt):
        unpublish(path, interface)
    unpublish(device.path, DEVICE_IFACE)


# Device1, replacing the template's methods.

@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='',
                     async_callbacks=('reply', 'fail'))
def Connect(device, reply, fail):
    record_call(device, 'Connect')
    script = device.script
    if script.pending_connect:
        # src/device.c, dev_connect: one attempt at a time.
        fail(bluez_error('InProgress', 'In Progress'))
        return
    # src/device.c, dev_connect: a device asked for is kept.
    script.temporary = False
    if script.connected:
        fail(bluez_error('AlreadyConnected', 'Already Connected'))
    elif script.connect == 'fail':
        fail(bluez_error('Failed', LE_CONNECTION_ABORT))
    elif script.connect == 'hang':
        script.pending_connect = fail
    elif not script.advertising:
        # A device bluetoothd only remembers: the attempt waits for it to advertise, until the
        # kernel gives up.
        script.pending_connect, script.awaited_reply = fail, reply

        def abort():
            if script.pending_connect is fail:
                script.pending_connect = script.awaited_reply = None
                fail(bluez_error('Failed', LE_CONNECTION_ABORT))
        GLib.timeout_add(ABSENT_CONNECT_MS, abort)
    else:
        establish(device, reply)


def establish(device, reply):
    script = device.script
    script.connected = True
    set_properties(device.path, DEVICE_IFACE, {'Connected': True})
    reply()
    # With the link up, before the services resolve, bluetoothd registers every kept session
    # again by itself (src/device.c, gatt_client_init; src/gatt-client.c,
    # btd_gatt_client_connected).
    kept = list(script.sessions)
    if kept:
        script.sessions = dict.fromkeys(kept, True)
        enable_notifications(device, kept, lambda: None, lambda _error: None)
    if script.connect == 'unresolved':
        # Connected, but the GATT discovery never ends: ServicesResolved stays false until ATT
        # gives up the request and the link.
        script.resolving = True

        def give_up():
            if script.resolving:
                end_connection(device)
        GLib.timeout_add(ATT_TIMEOUT_MS, give_up)
        return
    if script.gatt:
        set_properties(device.path, DEVICE_IFACE, {'ServicesResolved': True})
        return
    script.gatt = gatt_layout(device.path)
    # src/device.c adds every primary service it finds to UUIDs, and probes its profiles: the
    # input profile raises the security of an unbonded HID device at once (profiles/input/hog.c,
    # hog_accept), all before ServicesResolved.
    uuids = list(device.props[DEVICE_IFACE]['UUIDs'])
    uuids += [uuid for uuid in [properties['UUID'] for _, interface, properties, _ in script.gatt
                                if interface == SERVICE_IFACE] + script.hidden_services
              if uuid not in uuids]
    set_properties(device.path, DEVICE_IFACE, {'UUIDs': dbus.Array(uuids, signature='s')})
    if HUMAN_INTERFACE_DEVICE in uuids and not device.props[DEVICE_IFACE]['Paired']:
        pair(device, 'bonded', 'waiting')
    for path, interface, properties, methods in script.gatt:
        publish(path, interface, properties, methods)
    set_properties(device.path, DEVICE_IFACE, {'ServicesResolved': True})


@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='')
def Disconnect(device):
    record_call(device, 'Disconnect')
    script = device.script
    if script.pending_connect:
        fail, script.pending_connect, script.awaited_reply = script.pending_connect, None, None
        fail(bluez_error('Failed', 'Operation was cancelled'))
    elif script.resolving:
        # bluetoothd 5.66 dies of SIGSEGV when the link is cut while it resolves the services
        # (src/device.c, device_svc_resolved with -EIO after the MTU exchange failed).
        print('scripted_bluez: Disconnect while services resolve: bluetoothd crashes',
              file=sys.stderr, flush=True)
        os._exit(139)
    elif script.connected:
        end_connection(device)
    else:
        raise bluez_error('NotConnected', 'Not Connected')


# Knobs on org.bluez.Mock.

@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='s')
def AddAdapter(mock, device_name, system_name):
    """The template's adapter, whose discovery refuses to start while it is off."""
    path = bluez5.AddAdapter(mock, device_name, system_name)
    adapter = mockobject.objects[path]
    add_methods(adapter, ADAPTER_IFACE,
                [StartDiscovery, StopDiscovery, SetDiscoveryFilter, RemoveDevice])
    # Kept off the adapter's properties, where bluetoothd has none.
    adapter.discovery_filter = {}
    # The client whose discovery ended underneath it, and is still listed (see EndDiscovery).
    adapter.stale_client = False
    # Seconds of discovery since DiscoverySeconds last asked, and since when it is on.
    adapter.discovery_seconds, adapter.discovering_since = 0.0, None
    # Other devices in range: address -> the RSSI they are heard at; and the next to change.
    adapter.crowd, adapter.crowd_turn, adapter.crowd_timer = {}, 0, None
    return path


def note_discovery(adapter):
    """Adds up the time Discovering has been true."""
    now = time.monotonic()
    if adapter.discovering_since is not None:
        adapter.discovery_seconds += now - adapter.discovering_since
    adapter.discovering_since = now if adapter.props[ADAPTER_IFACE]['Discovering'] else None


@dbus.service.method(ADAPTER_IFACE, in_signature='', out_signature='')
def StartDiscovery(adapter):
    record_call(adapter, 'StartDiscovery')
    properties = adapter.props[ADAPTER_IFACE]
    if not properties['Powered']:
        raise bluez_error('NotReady', 'Resource Not Ready')
    if adapter.stale_client:
        # src/adapter.c, start_discovery: a client already in the discovery list is busy.
        raise bluez_error('InProgress', 'Operation already in progress')
    set_properties(adapter.path, ADAPTER_IFACE, {'Discovering': True})
    note_discovery(adapter)


@dbus.service.method(ADAPTER_IFACE, in_signature='a{sv}', out_signature='')
def SetDiscoveryFilter(adapter, discovery_filter):
    adapter.discovery_filter = discovery_filter


@dbus.service.method(ADAPTER_IFACE, in_signature='o', out_signature='')
def RemoveDevice(adapter, path):
    """Disconnects the device, drops its keys and its object (src/adapter.c, remove_device)."""
    record_call(adapter, 'RemoveDevice', [path])
    if path not in mockobject.objects:
        raise bluez_error('DoesNotExist', 'Does Not Exist')
    device = mockobject.objects[path]
    removed_addresses.add(device.props[DEVICE_IFACE]['Address'])
    forget(device)


@dbus.service.method(ADAPTER_IFACE, in_signature='', out_signature='')
def StopDiscovery(adapter):
    adapter.stale_client = False
    set_properties(adapter.path, ADAPTER_IFACE, {'Discovering': False})
    note_discovery(adapter)
    forget_advertisements(adapter)


def forget_advertisements(adapter):
    """src/adapter.c, discovery_cleanup: every device heard in the discovery loses its RSSI."""
    for path, obj in list(mockobject.objects.items()):
        if path.startswith(adapter.path + '/dev_') and DEVICE_IFACE in obj.props \
                and 'RSSI' in obj.props[DEVICE_IFACE]:
            del obj.props[DEVICE_IFACE]['RSSI']
            obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as',
                           [DEVICE_IFACE, {}, ['RSSI']])


def reported(adapter, uuids):
    """Whether bluetoothd reports the RSSI of a device advertising `uuids`: a discovery filter with
    UUIDs leaves out the others, though their objects are made all the same (src/adapter.c,
    btd_adapter_update_found_device: is_filter_match comes after adapter_create_device). The
    stand-in keeps one filter for the adapter, the last one set."""
    wanted = adapter.discovery_filter.get('UUIDs')
    return not wanted or any(uuid.lower() in [w.lower() for w in wanted] for uuid in uuids)


def advertise():
    """One advertising interval: each advertising, unconnected device under a discovering adapter
    is heard; bluetoothd reports that as its RSSI appearing. A device found by discovery goes
    once it was neither heard nor connected for the temporary timeout (src/device.c,
    device_update_last_seen, set_temporary_timer)."""
    now = time.monotonic()
    for path, obj in list(mockobject.objects.items()):
        script = getattr(obj, 'script', None)
        if not script or script.connected:
            continue
        adapter = mockobject.objects.get(path.rsplit('/', 1)[0])
        discovering = adapter and adapter.props[ADAPTER_IFACE]['Discovering']
        if discovering and script.advertising:
            script.last_seen = now
            if 'RSSI' not in obj.props[DEVICE_IFACE] and \
                    reported(adapter, obj.props[DEVICE_IFACE]['UUIDs']):
                rssi = dbus.Int16(script.rssi, variant_level=1)
                obj.props[DEVICE_IFACE]['RSSI'] = rssi
                obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as',
                               [DEVICE_IFACE, {'RSSI': rssi}, []])
        elif temporary(obj) and now - script.last_seen >= temporary_timeout['seconds']:
            forget(obj)
    return True


def crowd_tick(adapter):
    """Its share of the crowd is heard again: a member not listed is found, one listed is heard
    at the other of its two strengths, far enough apart that bluetoothd reports the change
    (src/device.c, device_set_rssi_with_delta)."""
    if not adapter.crowd or adapter.path not in mockobject.objects:
        adapter.crowd_timer = None
        return False
    if not adapter.props[ADAPTER_IFACE]['Discovering']:
        return True
    members = list(adapter.crowd)
    share = max(1, round(len(members) * adapter.crowd_rate * CROWD_TICK_MS / 1000))
    for _ in range(min(share, len(members))):
        address = members[adapter.crowd_turn % len(members)]
        adapter.crowd_turn += 1
        path = f'{adapter.path}/dev_{address.replace(":", "_")}'
        if path not in mockobject.objects:
            AddPeripheral(None, adapter.path.rsplit('/', 1)[1], address, '', [])
            continue
        device = mockobject.objects[path]
        device.script.last_seen = time.monotonic()
        adapter.crowd[address] = -60 if adapter.crowd[address] != -60 else -60 - 2 * RSSI_THRESHOLD
        device.script.rssi = adapter.crowd[address]
        if reported(adapter, []) and 'RSSI' in device.props[DEVICE_IFACE]:
            rssi = dbus.Int16(device.script.rssi, variant_level=1)
            device.props[DEVICE_IFACE]['RSSI'] = rssi
            device.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as',
                              [DEVICE_IFACE, {'RSSI': rssi}, []])
    return True


@dbus.service.method(MOCK_IFACE, in_signature='sssas', out_signature='o')
def AddPeripheral(_mock, adapter_name, address, name, uuids):
    """A device in range that advertises `uuids`; an empty name means it sends none."""
    adapter = adapter_at(adapter_name)
    path = f'{adapter.path}/dev_{address.replace(":", "_").upper()}'
    properties = {
        'Address': dbus.String(address, variant_level=1),
        'AddressType': dbus.String('random', variant_level=1),
        # bluetoothd shows a nameless device under its address.
        'Alias': dbus.String(name or address.replace(':', '-'), variant_level=1),
        'Class': dbus.UInt32(0, variant_level=1),
        'Paired': dbus.Boolean(False, variant_level=1),
        'Bonded': dbus.Boolean(False, variant_level=1),
        'Trusted': dbus.Boolean(False, variant_level=1),
        'Blocked': dbus.Boolean(False, variant_level=1),
        'LegacyPairing': dbus.Boolean(False, variant_level=1),
        'Connected': dbus.Boolean(False, variant_level=1),
        'ServicesResolved': dbus.Boolean(False, variant_level=1),
        'UUIDs': dbus.Array(uuids, signature='s', variant_level=1),
        'Adapter': dbus.ObjectPath(adapter.path, variant_level=1),
    }
    if name:
        properties['Name'] = dbus.String(name, variant_level=1)
    # Found by a discovery under way it comes heard, and is temporary; otherwise bluetoothd knew
    # it from before.
    found = bool(adapter.props[ADAPTER_IFACE]['Discovering'])
    if found and reported(adapter, uuids):
        properties['RSSI'] = dbus.Int16(-60, variant_level=1)
    removed_addresses.discard(address)
    publish(path, DEVICE_IFACE, properties, [Connect, Disconnect])
    mockobject.objects[path].script = DeviceScript()
    mockobject.objects[path].script.temporary = found
    return dbus.ObjectPath(path)


@dbus.service.method(MOCK_IFACE, in_signature='u', out_signature='')
def SetTemporaryTimeout(_mock, seconds):
    """How long a device found by discovery stays listed once neither heard nor connected
    (main.conf TemporaryTimeout; 30 s unless set)."""
    temporary_timeout['seconds'] = seconds


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='d')
def DiscoverySeconds(_mock, adapter_name):
    """Seconds the adapter's Discovering was true since the last call."""
    adapter = adapter_at(adapter_name)
    note_discovery(adapter)
    seconds, adapter.discovery_seconds = adapter.discovery_seconds, 0.0
    return seconds


@dbus.service.method(MOCK_IFACE, in_signature='sud', out_signature='')
def AddCrowd(_mock, adapter_name, count, changes_per_second):
    """`count` more LE devices in range, without the clicker service, each heard at a new
    strength `changes_per_second` times a second while the adapter discovers, all on one
    timer. bluetoothd lists them as it hears them, temporary (see SetTemporaryTimeout)."""
    adapter = adapter_at(adapter_name)
    first = len(adapter.crowd)
    for index in range(first, first + count):
        # Static random addresses: bluetoothd keeps temporary only those that are not private.
        adapter.crowd[f'D0:00:00:00:{index >> 8:02X}:{index & 0xff:02X}'] = -60
    adapter.crowd_rate = changes_per_second
    if adapter.crowd and adapter.crowd_timer is None:
        adapter.crowd_timer = GLib.timeout_add(CROWD_TICK_MS, crowd_tick, adapter)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def RemoveCrowd(_mock, adapter_name):
    """The crowd goes out of range; bluetoothd forgets each after the temporary timeout."""
    adapter = adapter_at(adapter_name)
    for address in adapter.crowd:
        path = f'{adapter.path}/dev_{address.replace(":", "_")}'
        if path in mockobject.objects:
            mockobject.objects[path].script.advertising = False
    adapter.crowd.clear()


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def OfferService(_mock, address, uuid):
    """One more primary service in the device's GATT database, which it does not advertise."""
    device_at(address).script.hidden_services.append(uuid)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def SetAgent(_mock, answer):
    """How the desktop's agent answers the pairings bluetoothd starts by itself."""
    check_behaviour(answer, AGENT_ANSWERS)
    agent['answer'] = answer


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def ConnectByItself(_mock, address):
    """A clicker the user paired in the desktop's settings: bluetoothd connects it as soon as it
    advertises (the kernel's accept list), and then it stops advertising."""
    device = device_at(address)
    set_properties(device.path, DEVICE_IFACE, {'Paired': True, 'Bonded': True})
    device.script.advertising = False
    establish(device, lambda: None)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='b')
def WasRemoved(_mock, address):
    """Whether a device of this address was removed and not added again."""
    return address in removed_addresses


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def RemovePeripheral(_mock, address):
    """The device goes out of range and bluetoothd forgets it."""
    forget(device_at(address))


def check_behaviour(behaviour, known):
    if behaviour not in known:
        raise dbus.exceptions.DBusException(f'Unknown behaviour {behaviour}',
                                            name=MOCK_IFACE + '.InvalidArgs')


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def SetConnectBehaviour(_mock, address, behaviour):
    """How Connect goes from now on: succeed; fail at once with the kernel's abort; hang until
    Disconnect; or connect with ServicesResolved never set (src/device.c sets it only when the
    GATT client is ready)."""
    check_behaviour(behaviour, CONNECT_BEHAVIOURS)
    device_at(address).script.connect = behaviour


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def SetNotifyBehaviour(_mock, address, behaviour):
    """How StartNotify goes from now on: succeed, fail, or hang."""
    check_behaviour(behaviour, NOTIFY_BEHAVIOURS)
    device_at(address).script.notify = behaviour


@dbus.service.method(MOCK_IFACE, in_signature='sb', out_signature='')
def SetAdvertising(_mock, address, advertising):
    """Whether the device is in range and advertising. One that is not stays in bluetoothd's
    object tree until RemoveDevice (doc/adapter-api.txt), without the RSSI that only an
    advertisement gives it (doc/device-api.txt); a Connect waiting for it goes through once it
    advertises again."""
    device = device_at(address)
    script = device.script
    script.advertising = bool(advertising)
    if script.advertising and script.awaited_reply:
        reply, script.pending_connect, script.awaited_reply = script.awaited_reply, None, None
        establish(device, reply)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def EndDiscovery(_mock, adapter_name):
    """The adapter's Discovering goes false while it stays powered. Qt asks for discovery again at
    once; bluetoothd, which still lists the client, refuses that as busy (src/adapter.c,
    start_discovery: the sender is already in discovery_list) until the client calls
    StopDiscovery."""
    adapter = adapter_at(adapter_name)
    adapter.stale_client = bool(adapter.props[ADAPTER_IFACE]['Discovering'])
    adapter.props[ADAPTER_IFACE]['Discovering'] = False
    adapter.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as',
                       [ADAPTER_IFACE, {'Discovering': dbus.Boolean(False, variant_level=1)}, []])
    note_discovery(adapter)
    forget_advertisements(adapter)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def DropLink(_mock, address):
    """The remote side ends the connection, or it is lost."""
    device = device_at(address)
    if not device.script.connected:
        raise bluez_error('NotConnected', 'Not Connected')
    end_connection(device)


@dbus.service.method(MOCK_IFACE, in_signature='say', out_signature='t')
def Notify(_mock, address, value):
    """One notification of the command characteristic; the same value again counts as new.
    Returns the CLOCK_MONOTONIC time in nanoseconds at which it is sent, for latency figures."""
    device = device_at(address)
    if not (device.script.connected and device.script.subscribed):
        raise bluez_error('NotPermitted', 'Notifications are not enabled')
    sent = time.monotonic_ns()
    send_value(device, value)
    return dbus.UInt64(sent)


@dbus.service.method(MOCK_IFACE, in_signature='say', out_signature='')
def HoldPress(_mock, address, value):
    """A value the clicker sends once notifications are enabled, as the press that woke it: at
    once when they are, else at the next 0x2902 write it answers, bluetoothd's own after a
    reconnection included (right after the link is up, before ServicesResolved)."""
    device = device_at(address)
    if device.script.connected and device.script.subscribed:
        send_value(device, value)
    else:
        device.script.held = bytes(value)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='b')
def Subscribed(_mock, address):
    """Whether the device has notifications enabled now, by any session."""
    script = device_at(address).script
    return script.connected and script.subscribed


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='u')
def SessionCount(_mock, address):
    """Notify sessions bluetoothd keeps for the command characteristic, registered or not."""
    return len(device_at(address).script.sessions)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='b')
def IsPaired(_mock, address):
    return bool(device_at(address).props[DEVICE_IFACE]['Paired'])


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='b')
def IsConnected(_mock, address):
    return device_at(address).script.connected


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='u')
def ConnectCalls(_mock, address):
    return sum(1 for _, method, _ in device_at(address).call_log if method == 'Connect')


@dbus.service.method(MOCK_IFACE, in_signature='sn', out_signature='')
def SetRssi(_mock, address, rssi):
    """Advertisements heard at another strength from now on."""
    device = device_at(address)
    device.script.rssi = rssi
    if 'RSSI' in device.props[DEVICE_IFACE]:
        set_properties(device.path, DEVICE_IFACE, {'RSSI': dbus.Int16(rssi)})


@dbus.service.method(MOCK_IFACE, in_signature='sb', out_signature='')
def SetPowered(_mock, adapter_name, powered):
    """Powering off drops every connection first and ends discovery, as bluetoothd does."""
    adapter = adapter_at(adapter_name)
    changes = {'Powered': bool(powered)}
    if not powered:
        for path, obj in list(mockobject.objects.items()):
            if path.startswith(adapter.path + '/') and getattr(obj, 'script', None) \
                    and obj.script.connected:
                end_connection(obj)
        changes['Discovering'] = False
        # src/adapter.c, adapter_stop: the discovery clients are dropped.
        adapter.stale_client = False
    set_properties(adapter.path, ADAPTER_IFACE, changes)
    note_discovery(adapter)
    if not powered:
        forget_advertisements(adapter)
        # src/adapter.c, set_mode: powering off drops the temporary devices.
        for path, obj in list(mockobject.objects.items()):
            if path.startswith(adapter.path + '/') and getattr(obj, 'script', None) \
                    and temporary(obj):
                forget(obj)


@dbus.service.method(MOCK_IFACE, in_signature='sb', out_signature='')
def SetDiscoverable(_mock, adapter_name, discoverable):
    set_properties(adapter_at(adapter_name).path, ADAPTER_IFACE,
                   {'Discoverable': bool(discoverable)})


KNOBS = [AddAdapter, AddPeripheral, OfferService, SetAgent, ConnectByItself, WasRemoved,
         IsPaired, RemovePeripheral, SetConnectBehaviour, SetNotifyBehaviour,
         SetAdvertising, EndDiscovery, DropLink, Notify, HoldPress, Subscribed, SessionCount,
         IsConnected, ConnectCalls, SetRssi, SetPowered, SetDiscoverable, SetTemporaryTimeout,
         DiscoverySeconds, AddCrowd, RemoveCrowd]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--log', default=os.devnull, help='where to log every D-Bus call')
    parser.add_argument('--advertising-interval', type=int, default=ADVERTISING_INTERVAL_MS,
                        metavar='MS', help='how often an advertising device is heard')
    arguments = parser.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    name = dbus.service.BusName(bluez5.BUS_NAME, bus, do_not_queue=True)
    manager = mockobject.DBusMockObject(name, bluez5.MAIN_OBJ, OBJECT_MANAGER_IFACE, {},
                                        arguments.log, True)
    mockobject.objects[bluez5.MAIN_OBJ] = manager
    manager.AddTemplate('bluez5', {})
    add_methods(manager, MOCK_IFACE, KNOBS)

    GLib.timeout_add(arguments.advertising_interval, advertise)
    bus.add_signal_receiver(sender_left, signal_name='NameOwnerChanged',
                            dbus_interface='org.freedesktop.DBus', bus_name='org.freedesktop.DBus')
    loop = GLib.MainLoop()
    bus.add_signal_receiver(loop.quit, signal_name='Disconnected',
                            path='/org/freedesktop/DBus/Local',
                            dbus_interface='org.freedesktop.DBus.Local')
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    print('ready', flush=True)
    loop.run()
    return 0


if __name__ == '__main__':
    sys.exit(main())
