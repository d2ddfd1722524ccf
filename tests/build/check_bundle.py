#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Reads the macOS bundle's generated Info.plist and its entitlements with plistlib, as macOS would.
Usage: check_bundle.py INFO_PLIST ENTITLEMENTS VERSION BUNDLE_IDENTIFIER"""
import plistlib
import sys

info_path, entitlements_path, version, identifier = sys.argv[1:]
with open(info_path, 'rb') as info_file, open(entitlements_path, 'rb') as entitlements_file:
    info, entitlements = plistlib.load(info_file), plistlib.load(entitlements_file)
usage = str(info.get('NSBluetoothAlwaysUsageDescription'))
checks = {
    # A menu bar program: no Dock icon, no main menu.
    'LSUIElement is true': info.get('LSUIElement') is True,
    # Without the text macOS ends the program at its first use of Bluetooth.
    'the Bluetooth usage text says why': 'Bluetooth' in usage and 'clicker' in usage,
    'the short version is the build\'s': info.get('CFBundleShortVersionString') == version,
    'the bundle identifier is the build\'s': info.get('CFBundleIdentifier') == identifier,
    'the oldest macOS is 13.0': info.get('LSMinimumSystemVersion') == '13.0',
    'the sandbox is off': entitlements == {'com.apple.security.app-sandbox': False},
}
for name, passed in checks.items():
    print(('ok     ' if passed else 'FAILED ') + name)
sys.exit(0 if all(checks.values()) else 1)
