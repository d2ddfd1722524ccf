# SPDX-License-Identifier: MIT
"""The private X desktop session: the display, its windows and pictures, real trays, the
accessibility bus; and the session that holds every part (see the package's docstring)."""

import collections
import functools
import importlib
import importlib.util
import os
import shutil
import subprocess
import tempfile

import dbus
import dbus.bus
from PIL import Image
from Xlib import X, Xatom, display as xdisplay
from Xlib.protocol import event as xevent

from .buses import SESSION_BUS_CONFIG, SYSTEM_BUS_CONFIG, ScriptedBluez, Tray, start_bus
from .keys import KeyWindow
from .processes import (DEFAULT_TIMEOUT, SessionError, end, file_tail, install_signal_handlers,
                        read_line, spawn, wait_for)
from .program import FOREIGN_VARIABLES, Companion, saved_clicker

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))))
PANEL_TITLE = 'Quenlark'
DESKTOP_COLOUR = 0x3b4a5a

# One panel across the top holding the status tray, which hosts StatusNotifierItems (and XEmbed
# icons): xfce4-panel's configuration channel, read by xfconfd from XDG_CONFIG_HOME.
XFCE_PANEL_CHANNEL = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="26"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
"""
XFCONFD = '/usr/lib/x86_64-linux-gnu/xfce4/xfconf/xfconfd'
ATSPI_BUS_LAUNCHER = '/usr/libexec/at-spi-bus-launcher'
# The windows that hold the companion's icon in each tray: the status tray's plugin under
# xfce4-panel (it holds this icon alone), the companion's own embedded window under trayer.
TRAY_ICON_CLASSES = {'xfce4-panel': b'wrapper-2.0', 'trayer': b'quenlark-companion'}


def missing_desktop_parts():
    """What the accessibility and tray helpers need and this machine lacks."""
    missing = [path for path in (ATSPI_BUS_LAUNCHER, XFCONFD, '/usr/bin/xfce4-panel',
                                 '/usr/bin/trayer', '/usr/bin/xdotool')
               if not os.access(path, os.X_OK)]
    return missing + ([] if importlib.util.find_spec('pyatspi') else ['pyatspi'])


Window = collections.namedtuple('Window', 'id x y width height')


class CompanionSession:
    """The session on Xvfb with the key window; see the package's docstring."""
    DISPLAY_LOG = 'xvfb.log'
    _start_bus = staticmethod(start_bus)
    wait_for = staticmethod(wait_for)

    def __init__(self, program=None, screen='1280x800x24', key_window_geometry='360x300+300+40'):
        """`program` defaults to QUENLARK_COMPANION, else the default build's."""
        self.program = os.path.abspath(program or os.environ.get('QUENLARK_COMPANION', os.path.join(
            ROOT, 'build', 'default', 'src', 'quenlark-companion')))
        if not os.access(self.program, os.X_OK):
            raise SessionError(f'{self.program} is not an executable program')
        self.screen = screen
        self.key_window_geometry = key_window_geometry
        self.directory = None
        self.companions = []
        self._parts = []
        self._extra_environment = {}
        self._tray_host = None

    def __enter__(self):
        install_signal_handlers()
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *_):
        self.close()

    def start(self):
        self.directory = tempfile.mkdtemp(prefix='quenlark-session-')
        for name in ('config', 'runtime', 'cache', 'data', 'session-bus'):
            os.makedirs(self.path(name), mode=0o700)
        process, self.system_bus_address = self._start_bus(
            ['--config-file=' + SYSTEM_BUS_CONFIG], 'system')
        self._parts.append(lambda: end(process))
        self.bluez = ScriptedBluez(self.system_bus_address, self.path('bluez.log'))
        self._parts.append(self.bluez.close)
        config = self.path('session-bus.conf')
        with open(config, 'w', encoding='utf-8') as file:
            file.write(SESSION_BUS_CONFIG.format(directory=self.path('session-bus')))
        session_bus, self.session_bus_address = self._start_bus(['--config-file=' + config],
                                                                'session')
        self._parts.append(lambda: end(session_bus))
        self._start_desktop()

    def _start_desktop(self):
        process = self._start(['Xvfb', '-displayfd', '1', '-nolisten', 'tcp', '-screen', '0',
                               self.screen], self.DISPLAY_LOG, stdout=subprocess.PIPE, text=True)
        try:
            self.display_name = ':' + read_line(process, 'Xvfb to give its display number')
        except SessionError as error:
            raise SessionError(f'{error}: {file_tail(self.path(self.DISPLAY_LOG))}') from None
        self.keys = KeyWindow(self.environment(), self.key_window_geometry)
        self._parts.append(self.keys.close)
        self._display = xdisplay.Display(self.display_name)
        self._parts.append(self._display.close)
        # A desktop-like backdrop instead of black, for screenshots people look at.
        root = self._display.screen().root
        root.change_attributes(background_pixel=DESKTOP_COLOUR)
        root.clear_area()
        self._display.sync()

    def close(self):
        """Ends every companion and every part, newest first, and removes the session's files."""
        self._parts.extend(companion.stop for companion in self.companions)
        while self._parts:
            try:
                self._parts.pop()()
            except Exception:  # pylint: disable=broad-except
                pass
        if self.directory:
            shutil.rmtree(self.directory, ignore_errors=True)

    def _start(self, arguments, log, stdout=None, **options):
        """A child whose output goes to the session's file `log`, ended with the session."""
        with open(self.path(log), 'ab') as file:
            process = spawn(arguments, stdout=stdout or file, stderr=file, **options)
        self._parts.append(lambda: end(process))
        return process

    def _await(self, process, condition, what):
        """Waits for `condition` of the display server `process`, which must not end meanwhile."""
        value = wait_for(lambda: condition() or process.poll() is not None, what)
        if process.poll() is not None:
            raise SessionError(f'{what}: it ended: {file_tail(self.path(self.DISPLAY_LOG))}')
        return value

    @functools.cached_property
    def session_bus(self):
        """This process's connection to the session bus, closed with the session."""
        bus = dbus.bus.BusConnection(self.session_bus_address)
        self._parts.append(bus.close)
        return bus

    def wait_for_name(self, name, what):
        wait_for(lambda: self.session_bus.name_has_owner(name), what)

    def path(self, name):
        return os.path.join(self.directory, name)

    @property
    def settings_file(self):
        return self.path('config/Quenlark/Quenlark Companion.conf')

    def _display_environment(self):
        return {'DISPLAY': self.display_name, 'XDG_SESSION_TYPE': 'x11', 'QT_QPA_PLATFORM': 'xcb'}

    def environment(self):
        """The environment of a program in this session."""
        environment = {name: value for name, value in os.environ.items()
                       if name not in FOREIGN_VARIABLES}
        environment.update({
            'DBUS_SYSTEM_BUS_ADDRESS': self.system_bus_address,
            'DBUS_SESSION_BUS_ADDRESS': self.session_bus_address,
            'XDG_RUNTIME_DIR': self.path('runtime'),
            **{f'XDG_{name.upper()}_HOME': self.path(name) for name in ('config', 'cache', 'data')},
            **self._display_environment(),
            **self._extra_environment,
        })
        return environment

    def start_companion(self, *arguments, environment=None):
        """One launch of the program; `environment` adds to or overrides the session's."""
        companion = Companion(self.program, arguments,
                              dict(self.environment(), **(environment or {})),
                              self.path(f'companion-{len(self.companions) + 1}.log'))
        self.companions.append(companion)
        return companion

    def start_tray(self):
        tray = Tray(self.environment())
        self._parts.append(tray.close)
        return tray

    def saved_clicker(self):
        return saved_clicker(self.settings_file)

    def diagnostics(self):
        """What to read when something failed: every log's end."""
        parts = [f'--- {os.path.basename(c.log_path)} ---\n{c.output()[-4000:]}'
                 for c in self.companions]
        parts.append(f'--- scripted BlueZ ---\n{file_tail(self.bluez.log_path)}')
        for name in (self.DISPLAY_LOG, 'at-spi.log', 'xfce4-panel.log', 'trayer.log'):
            if os.path.exists(self.path(name)):
                parts.append(f'--- {name} ---\n{file_tail(self.path(name), 2000)}')
        return '\n'.join(parts)

    def start_accessibility_bus(self):
        """Starts at-spi2-core's accessibility bus, on which programs started afterwards show
        their widgets (Qt: QT_LINUX_ACCESSIBILITY_ALWAYS_ON)."""
        self._start([ATSPI_BUS_LAUNCHER, '--launch-immediately'], 'at-spi.log',
                    env=self.environment())
        self.wait_for_name('org.a11y.Bus', 'the accessibility bus')
        address = dbus.Interface(self.session_bus.get_object('org.a11y.Bus', '/org/a11y/bus'),
                                 'org.a11y.Bus').GetAddress()
        self._extra_environment['QT_LINUX_ACCESSIBILITY_ALWAYS_ON'] = '1'
        # libatspi, in this process, reads the address once, when it is first imported.
        os.environ['AT_SPI_BUS_ADDRESS'] = str(address)
        self._atspi = importlib.import_module('pyatspi')
        self._glib = importlib.import_module('gi.repository.GLib')

    def accessible_panel(self):
        """The shown leaves (pyatspi Accessibles) of the open panel's tree, top to bottom."""
        # The registry's news of programs that came or went, read in GLib's loop.
        while self._glib.MainContext.default().iteration(False):
            pass
        showing = self._atspi.STATE_SHOWING

        def leaves(node):
            for child in node:
                if child.getState().contains(showing):
                    yield from (leaves(child) if child.childCount else [child])
        for application in self._atspi.Registry.getDesktop(0):
            for window in application or []:
                if window.name == PANEL_TITLE and window.getState().contains(showing):
                    return list(leaves(window))
        return []

    def accessible_rows(self):
        """The open panel's shown leaves as 'role "name"', top to bottom."""
        return [f'{node.getRoleName()} "{node.name}"' for node in self.accessible_panel()]

    def press_accessible(self, name):
        """Presses the panel's element named `name` through AT-SPI's action interface."""
        node = next(node for node in self.accessible_panel() if node.name == name)
        actions = node.queryAction()
        actions.doAction([actions.getName(i) for i in range(actions.nActions)].index('Press'))

    def tray_tooltip(self):
        """The tooltip title of the StatusNotifierItem registered first."""
        watcher = self.session_bus.get_object('org.kde.StatusNotifierWatcher',
                                              '/StatusNotifierWatcher')
        item = str(wait_for(lambda: watcher.Get(
            'org.kde.StatusNotifierWatcher', 'RegisteredStatusNotifierItems',
            dbus_interface=dbus.PROPERTIES_IFACE), 'a registered item')[0])
        service, _, path = item.partition('/')
        tooltip = self.session_bus.get_object(service, '/' + (path or 'StatusNotifierItem')).Get(
            'org.kde.StatusNotifierItem', 'ToolTip', dbus_interface=dbus.PROPERTIES_IFACE)
        return str(tooltip[2])

    def start_tray_host(self, kind):
        """Starts a real tray, 'xfce4-panel' or 'trayer', until stop_tray_host() or the end."""
        environment, log, processes = self.environment(), f'{kind}.log', []
        if kind == 'xfce4-panel':
            channels = self.path('config/xfce4/xfconf/xfce-perchannel-xml')
            os.makedirs(channels, exist_ok=True)
            with open(os.path.join(channels, 'xfce4-panel.xml'), 'w', encoding='utf-8') as file:
                file.write(XFCE_PANEL_CHANNEL)
            # The session bus starts no services: the settings daemon is started here.
            processes.append(self._start([XFCONFD], log, env=environment))
            self.wait_for_name('org.xfce.Xfconf', 'xfconfd')
            arguments = ['xfce4-panel', '--disable-wm-check']
        else:
            arguments = ['trayer', '--edge', 'bottom', '--align', 'right',
                         '--widthtype', 'request', '--height', '24']
        processes.append(self._start(arguments, log, env=environment))
        self._tray_host = (kind, processes)

    def stop_tray_host(self):
        for process in reversed(self._tray_host[1]):
            end(process)
        self._tray_host = None

    def _tray_icon_area(self):
        """(x, y, width, height) on the screen of the window holding the companion's icon."""
        wanted = TRAY_ICON_CLASSES[self._tray_host[0]]
        root = self._display.screen().root
        pending = list(root.query_tree().children)
        while pending:
            window = pending.pop()
            try:
                tree = window.query_tree()
                pending.extend(tree.children)
                if tree.parent == root or window.get_attributes().map_state != X.IsViewable:
                    continue
                wm_class = window.get_full_property(Xatom.WM_CLASS, X.AnyPropertyType)
                if wm_class is None or not wm_class.value.startswith(wanted + b'\0'):
                    continue
                geometry = window.get_geometry()
                origin = root.translate_coords(window, 0, 0)
                return origin.x, origin.y, geometry.width, geometry.height
            except Exception:  # pylint: disable=broad-except
                continue  # gone meanwhile
        return None

    def click(self, x, y):
        subprocess.run(['xdotool', 'mousemove', str(x), str(y), 'click', '1'],
                       env=self.environment(), check=True, timeout=DEFAULT_TIMEOUT)

    def click_tray_icon(self, attempts=5):
        """Clicks the companion's icon until the panel is on screen; returns the icon's area. The
        status tray draws the icon a moment after the item registered: earlier clicks miss."""
        area = wait_for(self._tray_icon_area, 'the companion icon in the tray')
        for _ in range(attempts):
            self.click(area[0] + area[2] // 2, area[1] + area[3] // 2)
            try:
                wait_for(self.panel_window, 'the panel', timeout=3)
                return area
            except SessionError:
                continue
        raise SessionError(f'{attempts} clicks on the tray icon opened no panel')

    def panel_window(self):
        """The one top-level window on screen named like the panel, else None."""
        shown = []
        for child in self._display.screen().root.query_tree().children:
            try:
                name = child.get_full_property(Xatom.WM_NAME, X.AnyPropertyType)
                if name is None or name.value not in (PANEL_TITLE, PANEL_TITLE.encode()) or \
                        child.get_attributes().map_state != X.IsViewable:
                    continue
                geometry = child.get_geometry()
            except Exception:  # pylint: disable=broad-except
                continue  # gone meanwhile
            shown.append(Window(child.id, geometry.x, geometry.y, geometry.width, geometry.height))
        return shown[0] if len(shown) == 1 else None

    def wait_for_panel(self, since_ns=0, takes_focus=False, timeout=DEFAULT_TIMEOUT):
        """Waits until the panel is on screen and the key window has the focus. A panel the user
        asked for (`takes_focus`) takes it after `since_ns` (CLOCK_MONOTONIC) and gives it back."""
        panel = wait_for(self.panel_window, 'the panel window on screen', timeout)
        if takes_focus:
            wait_for(lambda: self.keys.refocused_since(since_ns), 'the panel to take the focus',
                     timeout)
        wait_for(lambda: self._display.get_input_focus().focus.id == self.keys.window_id,
                 'the focus on the key window', timeout)
        return panel

    def panel_showing(self, colour, path):
        """The panel window if its picture, kept at `path`, holds a pixel of `colour` (RGB)."""
        panel = self.panel_window()
        if panel is None:
            return None
        return panel if colour in self.screenshot(path, panel).getdata() else None

    def close_window(self, window):
        """Asks the window to close, as a window manager's close button does."""
        protocols = self._display.intern_atom('WM_PROTOCOLS')
        delete = self._display.intern_atom('WM_DELETE_WINDOW')
        target = self._display.create_resource_object('window', window.id)
        target.send_event(xevent.ClientMessage(window=target, client_type=protocols,
                                               data=(32, [delete, X.CurrentTime, 0, 0, 0])))
        self._display.flush()

    def screenshot(self, path=None, window=None):
        """The screen, or one window's area, as an RGB image; also saved as PNG at `path`."""
        root = self._display.screen().root
        if window is None:
            geometry = root.get_geometry()
            area = (0, 0, geometry.width, geometry.height)
        else:
            area = (window.x, window.y, window.width, window.height)
        raw = root.get_image(*area, X.ZPixmap, 0xffffffff)
        data = raw.data if isinstance(raw.data, bytes) else raw.data.encode('latin-1')
        # 24-bit visuals come as 32-bit little-endian words: blue, green, red, padding.
        image = Image.frombytes('RGB', area[2:], data, 'raw', 'BGRX')
        if path:
            image.save(path)
        return image
