# SPDX-License-Identifier: MIT
"""A scripted desktop behind the real xdg-desktop-portal: the org.freedesktop.impl.portal
RemoteDesktop backend a desktop provides, as a python3-dbusmock template. The frontend finds it
through portals/quenlark-test.portal when XDG_CURRENT_DESKTOP is quenlark-test.

Knobs on org.freedesktop.DBus.Mock:
  SetAnswer(u)      the user's answer to each later consent dialog: 0 allowed, 1 refused,
                    2 dismissed, 3 none yet: the dialog stays open until Answer(u)
  Answer(u)         answers every dialog left open
  ConsentDialogs()  how many consent dialogs were shown (Start calls)
  CloseSessions()   ends every session, as the user revoking it in the desktop does
  Keys()            every keycode and state received, in order, flattened: [code, state, ...]
"""

import dbus
from dbusmock import mockobject

BUS_NAME = 'org.freedesktop.impl.portal.desktop.quenlark'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.impl.portal.RemoteDesktop'
SESSION_IFACE = 'org.freedesktop.impl.portal.Session'
MOCK_IFACE = 'org.freedesktop.DBus.Mock'
SYSTEM_BUS = False

KEYBOARD = 1

OPEN = 3

state = {'answer': 0, 'dialogs': 0, 'sessions': [], 'keys': [], 'open': []}


def load(mock, _parameters):
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary({
        'AvailableDeviceTypes': dbus.UInt32(KEYBOARD),
        'version': dbus.UInt32(1),
    }, signature='sv'))


def _results(values=None):
    return dbus.Dictionary(values or {}, signature='sv')


@dbus.service.method(MAIN_IFACE, in_signature='oosa{sv}', out_signature='ua{sv}')
def CreateSession(self, _handle, session_handle, _app_id, _options):
    self.AddObject(session_handle, SESSION_IFACE, {}, [('Close', '', '', '')])
    state['sessions'].append(session_handle)
    return dbus.UInt32(0), _results()


@dbus.service.method(MAIN_IFACE, in_signature='oosa{sv}', out_signature='ua{sv}')
def SelectDevices(self, _handle, _session_handle, _app_id, options):
    if not int(options.get('types', 0)) & KEYBOARD:
        return dbus.UInt32(2), _results()
    return dbus.UInt32(0), _results()


def _consent(answer):
    return dbus.UInt32(answer), _results({'devices': dbus.UInt32(KEYBOARD)} if answer == 0 else {})


@dbus.service.method(MAIN_IFACE, in_signature='oossa{sv}', out_signature='ua{sv}',
                     async_callbacks=('reply', '_error'))
def Start(self, _handle, _session_handle, _app_id, _parent_window, _options, reply, _error):
    state['dialogs'] += 1
    if state['answer'] == OPEN:
        state['open'].append(reply)
    else:
        reply(*_consent(state['answer']))


@dbus.service.method(MAIN_IFACE, in_signature='oa{sv}iu', out_signature='')
def NotifyKeyboardKeycode(self, _session_handle, _options, keycode, key_state):
    state['keys'].extend([int(keycode), int(key_state)])


@dbus.service.method(MOCK_IFACE, in_signature='u', out_signature='')
def SetAnswer(self, answer):
    state['answer'] = int(answer)


@dbus.service.method(MOCK_IFACE, in_signature='u', out_signature='')
def Answer(self, answer):
    while state['open']:
        state['open'].pop(0)(*_consent(int(answer)))


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='u')
def ConsentDialogs(self):
    return dbus.UInt32(state['dialogs'])


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='')
def CloseSessions(self):
    for path in state['sessions']:
        if path in mockobject.objects:
            mockobject.objects[path].EmitSignal(SESSION_IFACE, 'Closed', '', [])
            self.RemoveObject(path)
    state['sessions'].clear()


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='ai')
def Keys(self):
    return dbus.Array(state['keys'], signature='i')
