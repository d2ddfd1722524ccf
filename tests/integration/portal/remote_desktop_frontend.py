# SPDX-License-Identifier: MIT
"""A scripted org.freedesktop.portal.RemoteDesktop frontend of version 2, written from the portal's
documented interface, as a python3-dbusmock template: Debian 12's xdg-desktop-portal speaks
version 1, which knows no restore tokens. The desktop answers at once. Each request's Response is
sent before the call's reply, as a portal may (only a client that subscribed before calling sees
it), or after it, as xdg-desktop-portal does.

Knobs on org.freedesktop.DBus.Mock:
  SetSessionHandleForm(s)  'path' (as documented) or 'string' (as xdg-desktop-portal 1.16 sends)
  SetOrder(s)              'response-first' (the default) or 'reply-first'
  SetAnswer(u)             the user's answer to each later Start: 0 allowed, 1 refused, 2 dismissed;
                           a refusal also closes the session
  Starts()                 how many consent dialogs were asked for (Start calls)
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

state = {'form': 'path', 'order': 'response-first', 'answer': 0, 'tokens': [], 'modes': [],
         'starts': 0, 'keys': []}


def load(mock, _parameters):
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary({
        'AvailableDeviceTypes': dbus.UInt32(KEYBOARD),
        'version': dbus.UInt32(2),
    }, signature='sv'))


def _object_path(kind, sender, token):
    return dbus.ObjectPath(f'{MAIN_OBJ}/{kind}/{sender[1:].replace(".", "_")}/{token}')


def _respond(mock, sender, options, reply, results, response=0):
    """Answers the request at once, on either side of the call's reply that returns its handle."""
    handle = _object_path('request', sender, options['handle_token'])
    signal = dbus.lowlevel.SignalMessage(handle, 'org.freedesktop.portal.Request', 'Response')
    signal.set_destination(sender)
    signal.append(dbus.UInt32(response), dbus.Dictionary(results, signature='sv'),
                  signature='ua{sv}')
    if state['order'] == 'reply-first':
        reply(handle)
    mock.connection.send_message(signal)
    if state['order'] != 'reply-first':
        reply(handle)


@dbus.service.method(MAIN_IFACE, in_signature='a{sv}', out_signature='o', sender_keyword='sender',
                     async_callbacks=('reply', '_error'))
def CreateSession(self, options, sender, reply, _error):
    session = _object_path('session', sender, options['session_handle_token'])
    self.AddObject(session, SESSION_IFACE, {}, [('Close', '', '', '')])
    handle = session if state['form'] == 'path' else dbus.String(session)
    _respond(self, sender, options, reply, {'session_handle': handle})


@dbus.service.method(MAIN_IFACE, in_signature='oa{sv}', out_signature='o', sender_keyword='sender',
                     async_callbacks=('reply', '_error'))
def SelectDevices(self, _session, options, sender, reply, _error):
    state['tokens'].append(str(options.get('restore_token', '')))
    state['modes'].append(int(options.get('persist_mode', 0)))
    _respond(self, sender, options, reply, {})


@dbus.service.method(MAIN_IFACE, in_signature='osa{sv}', out_signature='o', sender_keyword='sender',
                     async_callbacks=('reply', '_error'))
def Start(self, session, _parent_window, options, sender, reply, _error):
    state['starts'] += 1
    if state['answer'] != 0:
        # Like xdg-desktop-portal, a refusal also ends the session, right after the Response.
        _respond(self, sender, options, reply, {}, state['answer'])
        closed = dbus.lowlevel.SignalMessage(session, SESSION_IFACE, 'Closed')
        closed.set_destination(sender)
        closed.append(dbus.Dictionary({}, signature='sv'), signature='a{sv}')
        self.connection.send_message(closed)
        return
    _respond(self, sender, options, reply, {'devices': dbus.UInt32(KEYBOARD),
                                            'restore_token': f'token-{state["starts"]}'})


@dbus.service.method(MAIN_IFACE, in_signature='oa{sv}iu', out_signature='')
def NotifyKeyboardKeycode(self, _session, _options, keycode, key_state):
    state['keys'].extend([int(keycode), int(key_state)])


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def SetSessionHandleForm(self, form):
    state['form'] = str(form)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def SetOrder(self, order):
    state['order'] = str(order)


@dbus.service.method(MOCK_IFACE, in_signature='u', out_signature='')
def SetAnswer(self, answer):
    state['answer'] = int(answer)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='u')
def Starts(self):
    return dbus.UInt32(state['starts'])


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def RestoreTokensSent(self):
    return dbus.Array(state['tokens'], signature='s')


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='au')
def PersistModesSent(self):
    return dbus.Array(state['modes'], signature='u')


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='ai')
def Keys(self):
    return dbus.Array(state['keys'], signature='i')
