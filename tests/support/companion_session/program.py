# SPDX-License-Identifier: MIT
"""The program under test: its launches, the environment they get and the settings it keeps."""

import configparser
import subprocess

from .processes import DEFAULT_TIMEOUT, SessionError, end, spawn

SETTINGS_KEY = 'savedPeripheralUUID'

# Variables of the caller's desktop that must not reach the private one.
FOREIGN_VARIABLES = ('DISPLAY', 'WAYLAND_DISPLAY', 'XAUTHORITY', 'DBUS_SESSION_BUS_ADDRESS',
                     'DBUS_SYSTEM_BUS_ADDRESS', 'XDG_SESSION_TYPE', 'XDG_CURRENT_DESKTOP',
                     'XDG_SESSION_DESKTOP', 'XDG_RUNTIME_DIR', 'XDG_CONFIG_HOME',
                     'XDG_CACHE_HOME', 'XDG_DATA_HOME', 'SESSION_MANAGER', 'DESKTOP_SESSION',
                     'QT_QPA_PLATFORM', 'QT_QPA_PLATFORMTHEME', 'BLUETOOTH_FORCE_DBUS_LE_VERSION',
                     'AT_SPI_BUS_ADDRESS')



class Companion:
    """One launch of the program; its standard output and error go to a log file."""

    def __init__(self, program, arguments, environment, log_path):
        self.log_path = log_path
        with open(log_path, 'ab') as log:
            self.process = spawn([program, *arguments], env=environment, stdout=log,
                                 stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

    def output(self):
        with open(self.log_path, encoding='utf-8', errors='replace') as log:
            return log.read()

    def exit_status(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the program to end by itself; raises when it is still running."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise SessionError(f'the companion (pid {self.process.pid}) was still running '
                               f'after {timeout:g} s') from None

    def is_running(self):
        return self.process.poll() is None

    def stop(self):
        end(self.process)


def saved_clicker(settings_file):
    """The identifier in the companion's settings file, or None."""
    settings = configparser.ConfigParser(interpolation=None)
    settings.optionxform = str
    try:
        settings.read(settings_file, encoding='utf-8')
    except configparser.Error:
        return None
    return settings.get('General', SETTINGS_KEY, fallback=None)
