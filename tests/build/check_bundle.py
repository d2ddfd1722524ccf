#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Reads the macOS bundle's generated Info.plist and its entitlements as macOS would, with
plistlib. Usage: check_bundle.py INFO_PLIST ENTITLEMENTS VERSION BUNDLE_IDENTIFIER"""
import plistlib
import sys


def main(info_path, entitlements_path, version, identifier):
    with open(info_path, 'rb') as file:
        info = plistlib.load(file)
    with open(entitlements_path, 'rb') as file:
        entitlements = plistlib.load(file)
    usage = info.get('NSBluetoothAlwaysUsageDescription')
    checks = [
        # A menu bar program: no Dock icon, no main menu.
        ('LSUIElement is true', info.get('LSUIElement') is True),
        # Without the text macOS ends the program at its first use of Bluetooth.
        ('the Bluetooth usage text says why', isinstance(usage, str) and 'Bluetooth' in usage
         and 'clicker' in usage),
        ('CFBundleShortVersionString is the version', info.get('CFBundleShortVersionString') == version),
        ('CFBundleIdentifier is the bundle identifier', info.get('CFBundleIdentifier') == identifier),
        ('LSMinimumSystemVersion is 13.0', info.get('LSMinimumSystemVersion') == '13.0'),
        ('CFBundlePackageType is APPL', info.get('CFBundlePackageType') == 'APPL'),
        ('the sandbox is off', entitlements == {'com.apple.security.app-sandbox': False}),
    ]
    for name, passed in checks:
        print(('ok     ' if passed else 'FAILED ') + name)
    return 0 if all(passed for _, passed in checks) else 1


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:]))
