#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Shows the companion at work without a desktop or a clicker.

A virtual display, a scripted BlueZ with one clicker, the companion and a focused window that
lists the keys it receives; the clicker presses next, next, previous. Prints the keys the window
received and saves a screenshot with the panel open. Everything it started is ended on exit.
"""

import argparse
import os
import sys

import dbus.exceptions

REPOSITORY = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The session module is the stand-in the end-to-end tests and the benchmarks use too.
sys.path.insert(0, os.path.join(REPOSITORY, 'tests', 'support'))

from companion_session import CompanionSession, SessionError  # noqa: E402

CLICKER = 'C0:FF:EE:00:00:01'
CLICKER_NAME = 'Demo Clicker'
PRESSES = (('next', 1), ('next', 1), ('previous', 2))


def say(text):
    print(f'demo: {text}', flush=True)


def run(program, screenshot):
    with CompanionSession(program, screen='720x400x24',
                          key_window_geometry='360x300+320+40') as session:
        try:
            show(session, program, screenshot)
        except (SessionError, dbus.exceptions.DBusException) as error:
            say(f'failed: {error}')
            print(session.diagnostics(), file=sys.stderr)
            return 1
    say('stopped everything it started')
    return 0


def show(session, program, screenshot):
    say(f'virtual display {session.display_name}; scripted BlueZ with the clicker '
        f'"{CLICKER_NAME}" ({CLICKER})')
    session.bluez.add_clicker(CLICKER, CLICKER_NAME)
    companion = session.start_companion()
    say(f'started {program} (pid {companion.process.pid})')
    session.wait_for(lambda: session.bluez.is_notifying(CLICKER),
                     'the companion to connect the clicker and subscribe')
    session.wait_for_panel()
    say(f'connected; saved clicker {session.saved_clicker()}; the panel is open and the '
        'key window has the focus')

    received = []
    for sequence, (command, command_byte) in enumerate(PRESSES, start=1):
        sent_ns = session.bluez.notify(CLICKER, bytes([command_byte, sequence]))
        press, release = session.keys.next_keys(2)
        received.append(press.key)
        say(f'clicker: {command:8} -> key window: {press.kind} {press.key}, '
            f'{release.kind} {release.key} '
            f'({(press.received_ns - sent_ns) / 1e6:.1f} ms after the notification)')
    say('keys received: ' + ' '.join(received))

    os.makedirs(os.path.dirname(screenshot), exist_ok=True)
    session.screenshot(screenshot)
    say(f'screenshot with the panel open: {screenshot}')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--program', default=os.path.join(
        REPOSITORY, 'build', 'default', 'src', 'quenlark-companion'))
    parser.add_argument('--screenshot', default=os.path.join(
        REPOSITORY, 'build', 'demo', 'quenlark-demo.png'))
    arguments = parser.parse_args()
    try:
        return run(arguments.program, os.path.abspath(arguments.screenshot))
    except SessionError as error:  # the session itself did not start
        say(f'failed: {error}')
        return 1


if __name__ == '__main__':
    sys.exit(main())
