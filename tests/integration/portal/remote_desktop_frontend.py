# SPDX-License-Identifier: MIT
"""A scripted org.freedesktop.portal.RemoteDesktop frontend of version 2, written from the portal's
documented interface, as a python3-dbusmock template: Debian 12's xdg-desktop-portal speaks
version 1, which knows no restore tokens. The desktop consents at once. Each request's Response is
sent before the call's reply, as a portal may: only a client that subscribed before calling sees it.

Knobs on org.freedesktop.DBus.Mock:
  SetSessionHandleForm(s)  'path' (as documented) or 'string' (as xdg-desktop-portal 1.16 sends)
  RestoreTokensSent()      the restore_token of each SelectDevices, '' where none came
  PersistModesSent()       the persist_mode of each SelectDevices, 0 where none came
  Keys()                   every keycode and state received, flattened: [code, state, ...]
"""

import dbus
import dbus.lowlevel

BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.RemoteDesktop'
SESSION_IFACE = 'org.freedesktop.portal.Session'
MOCK_IFACE = 'org.freedesktop.DBus.Mock'
SYSTEM_BUS = False

KEYBOARD = 1

state = {'form': 'path', 'tokens': [], 'modes': [], 'starts': 0, 'keys': []}


def load(mock, _parameters):
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary({
        'AvailableDeviceTypes': dbus.UInt32(KEYBOARD),
        'version': dbus.UInt32(2),
    }, signature='sv'))


def _object_path(kind, sender, token):
    return dbus.ObjectPath(f'{MAIN_OBJ}/{kind}/{sender[1:].replace(".", "_")}/{token}')


def _respond(mock, sender, options, results):
    """Answers the request at once, before the call returns its handle."""
    handle = _object_path('request', sender, options['handle_token'])
    signal = dbus.lowlevel.SignalMessage(handle, 'org.freedesktop.portal.Request', 'Response')
    signal.set_destination(sender)
    signal.append(dbus.UInt32(0), dbus.Dictionary(results, signature='sv'), signature='ua{sv}')
    mock.connection.send_message(signal)
    return handle


@dbus.service.method(MAIN_IFACE, in_signature='a{sv}', out_signature='o', sender_keyword='sender')
def CreateSession(self, options, sender):
    session = _object_path('session', sender, options['session_handle_token'])
    self.AddObject(session, SESSION_IFACE, {}, [('Close', '', '', '')])
    handle = session if state['form'] == 'path' else dbus.String(session)
    return _respond(self, sender, options, {'session_handle': handle})


@dbus.service.method(MAIN_IFACE, in_signature='oa{sv}', out_signature='o', sender_keyword='sender')
def SelectDevices(self, _session, options, sender):
    state['tokens'].append(str(options.get('restore_token', '')))
    state['modes'].append(int(options.get('persist_mode', 0)))
    return _respond(self, sender, options, {})


@dbus.service.method(MAIN_IFACE, in_signature='osa{sv}', out_signature='o', sender_keyword='sender')
def Start(self, _session, _parent_window, options, sender):
    state['starts'] += 1
    return _respond(self, sender, options, {'devices': dbus.UInt32(KEYBOARD),
                                            'restore_token': f'token-{state["starts"]}'})


@dbus.service.method(MAIN_IFACE, in_signature='oa{sv}iu', out_signature='')
def NotifyKeyboardKeycode(self, _session, _options, keycode, key_state):
    state['keys'].extend([int(keycode), int(key_state)])


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def SetSessionHandleForm(self, form):
    state['form'] = str(form)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def RestoreTokensSent(self):
    return dbus.Array(state['tokens'], signature='s')


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='au')
def PersistModesSent(self):
    return dbus.Array(state['modes'], signature='u')


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='ai')
def Keys(self):
    return dbus.Array(state['keys'], signature='i')
