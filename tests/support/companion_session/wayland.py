# SPDX-License-Identifier: MIT
"""The session on Wayland compositors: Weston's headless backend with the real remote-desktop
portal, and Sway's headless backend with no portal."""

import json
import os
import pwd
import shutil
import subprocess
import tempfile

import dbus.bus
from PIL import Image

from .buses import PORTAL_FRONTEND, PORTAL_NAME, ScriptedPortal
from .desktop import CompanionSession
from .keys import WaylandKeyRecorder
from .processes import DEFAULT_TIMEOUT, SessionError, end, spawn, wait_for

WAYLAND_SOCKET = 'wayland-quenlark'


class WaylandCompanionSession(CompanionSession):
    """The same session on Weston's headless Wayland compositor instead of an X display, with the
    real remote-desktop portal and a scripted desktop behind it (`session.portal`): where
    /dev/uinput cannot be written, the portal is the companion's only way in, and the keys are
    read where the desktop receives them. There is no key window and no screen to read."""
    DISPLAY_LOG = 'weston.log'

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
        """The whole screen as an RGB image (there are no windows to name); also kept as PNG
        when `path` is set."""
        assert window is None, 'Wayland gives no window geometry'
        with tempfile.TemporaryDirectory(dir=self.directory) as shots:
            subprocess.run(['weston-screenshooter'], env=self.environment(), cwd=shots,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=DEFAULT_TIMEOUT, check=True)
            shot = os.path.join(shots, os.listdir(shots)[0])
            if path:
                shutil.copyfile(shot, path)
            with Image.open(shot) as image:
                return image.convert('RGB')

    def panel_height(self, path, background=(239, 239, 239)):
        """The height of the panel's background on the screen, whose picture is kept at `path`."""
        image = self.screenshot(path)
        rows = [y for y in range(image.height)
                if any(image.getpixel((x, y)) == background for x in range(0, image.width, 4))]
        return rows[-1] - rows[0] + 1 if rows else 0


class SwayCompanionSession(CompanionSession):
    """The session on Sway's headless backend, a wlroots compositor without a remote-desktop
    portal. Sway refuses to run as root, so it runs as nobody in a runtime folder of its own;
    programs of the session reach it by the socket's full path. `session.start_recorder()` starts
    the key recorder, which takes the focus; `session.focused_app()` names the focused window's
    program."""
    DISPLAY_LOG = 'sway.log'

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


def _nodes(node):
    yield node
    for child in node.get('nodes', []) + node.get('floating_nodes', []):
        yield from _nodes(child)
