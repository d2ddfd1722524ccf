#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Link rules on the real Bluetooth stack, run inside the VM by `run`: one stack for all
scenarios, a clicker on hci1, a second clicker or a hostile device on hci2, and on hci0 the
program's adapter through the Bluetooth harness or the whole program in a desktop. Each scenario
leaves RESULTS/NAME.log whose first line is "pass" or "fail: why", then its notes.

    scenarios.py --build DIR --results DIR [NAME...]
"""

import argparse
import collections
import os
import re
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from real_stack import RealSession, RealStack, SessionError, wait_for  # noqa: E402

RIGHT, LEFT = ('press', 'Right'), ('press', 'Left')
LINK = 20  # s: a connection, services and a subscription under TCG
QUIET = 12  # s: long enough for a wrong connection or a pairing to show
# s asleep: shorter and longer than bluetoothd's TemporaryTimeout (30 s), after which it forgets
# an unbonded device it no longer hears
SLEEPS = (6, 40, 6)
AWAY = 120  # s asleep under btmon; its scanning is counted from SETTLED s on
SETTLED = 30
ACTIVE_SCAN_SHARE = 0.05


class Bed:
    """What one scenario works with; `reset` puts the stack back between scenarios."""

    def __init__(self, stack, build):
        self.stack, self.build, self.notes = stack, build, []
        self.one, self.two = stack.clicker('hci1'), stack.clicker('hci2')
        self._session = self.harness = None

    @property
    def session(self):
        if self._session is None:
            self._session = RealSession(os.path.join(self.build, 'src', 'quenlark-companion'))
            self._session.__enter__()
        return self._session

    def reset(self):
        if self.harness:
            self.harness.stop()
            self.harness = None
        if self._session:
            for companion in self._session.companions:
                companion.stop()
            self._session.companions.clear()
            self._session.forget_saved_clicker()
        self.stack.power('hci0', True)
        for clicker in (self.one, self.two):
            clicker.send('stop', 'power on', 'gatt', f'name Clicker {clicker.adapter}', 'agent off')
            clicker.mark()
        self.stack.remove_devices()

    def note(self, text):
        self.notes.append(text)

    def start_harness(self, name):
        self.harness = self.stack.harness(
            os.path.join(self.build, 'tests', 'integration', 'bluetooth',
                         'quenlark-bluetooth-harness'), name)
        return self.harness

    def subscribed(self, clicker, count=1, timeout=LINK):
        """Waits until the clicker has seen `count` subscriptions in all; returns the last time."""
        return wait_for(lambda: len(clicker.events('subscribed')) >= count and
                        clicker.events('subscribed')[count - 1],
                        f'subscription {count} at {clicker.adapter}', timeout)

    def companion_on(self, clicker, advertise=True):
        """The program started, and connected to `clicker` and subscribed."""
        before = len(clicker.events('subscribed'))
        if advertise:
            clicker.send('advertise')
        self.session.start_companion()
        self.subscribed(clicker, before + 1)
        self.session.wait_for_panel()

    def presses_within(self, count, timeout):
        """The presses among the next 2 * `count` key events that arrive within `timeout` s."""
        deadline, events = time.monotonic() + timeout, []
        while len(events) < 2 * count:
            try:
                events += self.session.keys.next_keys(
                    1, timeout=max(deadline - time.monotonic(), 0.01))
            except SessionError:
                break
        return [(event.kind, event.key) for event in events if event.kind == 'press']

    def every_press(self, clicker, *packets, timeout=LINK / 2):
        """Notifies the packets as fast as the link takes them: each gives exactly its one key,
        in order, and nothing more comes."""
        clicker.send('notify 0 ' + ' '.join(packets))
        wanted = [RIGHT if packet.startswith('01') else LEFT for packet in packets]
        got = self.presses_within(len(wanted), timeout)
        wrong = next((i for i, pair in enumerate(zip(got, wanted)) if pair[0] != pair[1]),
                     min(len(got), len(wanted)))
        assert got == wanted, (f'{len(wanted)} presses gave {len(got)} keys; from key {wrong}: '
                               f'{got[wrong:wrong + 3]}, wanted {wanted[wrong:wrong + 3]}')
        try:
            extra = self.session.keys.next_keys(1, timeout=3)
        except SessionError:
            return
        raise AssertionError(f'an unexpected key: {extra}')

    def diagnostics(self):
        return self._session.diagnostics() if self._session else ''

    def bonded(self, address):
        info = self.stack.device_info(address)
        return 'Paired: yes' in info or 'Bonded: yes' in info


def clicker_id(clicker):
    return '00000000-0000-0000-0000-' + clicker.address.replace(':', '')


def first_connection_keys(bed):
    bed.companion_on(bed.one)
    assert bed.session.saved_clicker() == clicker_id(bed.one)
    bed.every_press(bed.one, '0101', '0202', '0103')


def burst_of_500(bed):
    bed.companion_on(bed.one)
    packets = [f'{1 if i % 3 else 2:02x}{i % 256:02x}' for i in range(1, 501)]
    bed.every_press(bed.one, *packets, timeout=LINK + len(packets) / 10)


def reconnects_after(disturb, timeout=LINK):
    """After `disturb(bed)` the program subscribes again; from then every press gives its key."""
    def scenario(bed):
        bed.companion_on(bed.one)
        disturb(bed)
        bed.subscribed(bed.one, 2, timeout)
        bed.every_press(bed.one, '0181', '0282', '0183')
    return scenario


def clicker_away_and_back(bed):
    """btvirt has no radio range: the clicker stops advertising and its controller goes off, then
    it advertises again. btvirt keeps advertising for a controller switched off while it
    advertised, and completes a connection to it that nothing ever ends."""
    bed.one.send('stop', 'power off')
    time.sleep(3)
    bed.one.send('power on', 'advertise')


def bluetoothd_restarted(bed):
    bed.stack.bluetoothd.kill()
    bed.stack.bluetoothd.wait()
    bed.stack.start_bluetoothd()
    # The clicker is a device of its own: it registers and advertises again on the new daemon.
    bed.one.send('power on', 'gatt', 'advertise')
    bed.stack.power('hci0', True)


def adapter_off_and_on(bed):
    bed.stack.power('hci0', False)
    time.sleep(2)
    bed.stack.power('hci0', True)


def paired_and_connected_by_the_desktop(bed):
    """Bonded and connected by bluetoothd itself, the clicker no longer advertises."""
    bed.one.send('agent accept', 'advertise')
    run = bed.stack.bluetoothctl
    run('--timeout', '6', 'scan', 'le')
    assert 'Pairing successful' in run('--timeout', '20', 'pair', bed.one.address)
    bed.one.send('stop')
    run('--timeout', '15', 'connect', bed.one.address)
    assert 'Connected: yes' in bed.stack.device_info(bed.one.address)
    bed.companion_on(bed.one, advertise=False)
    bed.every_press(bed.one, '0105')


def private_address(bed):
    """Privacy on the clicker's controller: the program takes a clicker known only by its
    resolvable private address; whether it finds it again under a new address, unbonded and
    bonded (where BlueZ resolves it), is noted."""
    bed.stack.privacy('hci1', True)
    try:
        for bonded in (False, True):
            bed.reset()
            bed.companion_on(bed.one)
            saved = bed.session.saved_clicker()
            assert saved != clicker_id(bed.one), 'no privacy'
            bed.every_press(bed.one, '0111')
            if bonded:
                address = ':'.join(re.findall('..', saved[-12:]))
                bed.one.send('agent accept')
                bed.note('pairing: ' + bed.stack.bluetoothctl(
                    '--timeout', '20', 'pair', address).strip().splitlines()[-1])
            before = len(bed.one.events('subscribed'))
            clicker_away_and_back(bed)
            time.sleep(QUIET)
            bed.note(f'bonded={bonded}: identity {bed.one.address}, remembered {saved}; under '
                     f'a new private address subscribed again: '
                     f'{len(bed.one.events("subscribed")) > before}')
    finally:
        bed.stack.privacy('hci1', False)


def only_the_remembered_clicker(bed):
    bed.companion_on(bed.one)
    bed.one.send('stop', 'drop')
    bed.two.send('advertise')
    time.sleep(QUIET)
    assert bed.two.events('subscribed') == [], 'the other clicker was taken'
    bed.one.send('advertise')
    bed.subscribed(bed.one, 2)
    bed.every_press(bed.one, '0109', '020a')


def woken_press_gives_its_key(bed, clicker, sequence, slept):
    """Wakes the clicker holding a press: that press gives exactly one Right key, and the next
    press its own one."""
    subscriptions, presses = len(clicker.events('subscribed')), len(clicker.events('woken'))
    advertised = int(clicker.send(f'wake 01{sequence:02x}'))
    got = bed.presses_within(1, 2 * LINK)

    def after(kind, since):
        moments = clicker.events(kind)[since:]
        return f'{(moments[0] - advertised) / 1e6:.0f} ms' if moments else 'never'
    timing = (f'subscribed {after("subscribed", subscriptions)}, press sent '
              f'{after("woken", presses)} after advertising')
    assert got == [RIGHT], f'asleep {slept} s: the woken press gave {got}; {timing}'
    bed.note(f'asleep {slept} s: {timing}')
    bed.every_press(clicker, f'02{sequence + 1:02x}')


def sleep_and_wake(bed):
    bed.companion_on(bed.one)
    for cycle, seconds in enumerate(SLEEPS):
        bed.one.send('sleep')
        time.sleep(seconds)
        woken_press_gives_its_key(bed, bed.one, 0x90 + 2 * cycle, seconds)


def remembered_away_with_btmon(bed):
    """The remembered clicker asleep for AWAY s: hci0 barely scans actively once settled."""
    bed.companion_on(bed.one)
    btmon = bed.stack.btmon('remembered-away')
    bed.one.send('sleep')
    began = time.time()
    time.sleep(AWAY)
    until = time.time()
    btmon.stop()
    shares, commands = btmon.shares(began + SETTLED, until)
    bed.note(f'hci0 from {SETTLED} s to {AWAY} s asleep ({commands} HCI commands in all): '
             + ', '.join(f'{kind} {share:.1%}' for kind, share in shares.items()))
    assert shares['active'] <= ACTIVE_SCAN_SHARE, \
        f'active scanning {shares["active"]:.1%} of the time, over {ACTIVE_SCAN_SHARE:.0%}'
    woken_press_gives_its_key(bed, bed.one, 0xb0, AWAY)


def click_forget_device(session):
    """Clicks the panel's first button under its divider, "Forget Device" while connected."""
    panel = session.panel_window()
    image = session.screenshot(window=panel)
    rows = [[image.getpixel((x, y)) for x in range(20, image.width - 20)]
            for y in range(image.height)]
    background = collections.Counter(pixel for row in rows for pixel in row).most_common(1)[0][0]
    rule = next(y for y, row in enumerate(rows) if len(set(row)) == 1 and row[0] != background)
    session.click(panel.x + 40, panel.y + rule + 20)


def forget_device(bed):
    bed.companion_on(bed.one)
    bed.one.send('stop')
    click_forget_device(bed.session)
    wait_for(lambda: bed.one.events('unsubscribed'), 'the remembered clicker let go')
    # The program ends its notification session at once; bluetoothd drops the link two seconds
    # after it is asked to (src/device.c, DISCONNECT_TIMER).
    wait_for(lambda: 'Connected: yes' not in bed.stack.device_info(bed.one.address),
             'the link to the remembered clicker gone')
    # Only once that link is gone: both clickers live in one kernel and one bluetoothd, connected
    # to the same central address, and its drop resets the other clicker's ATT channel too, which
    # two separate devices never do.
    bed.two.send('advertise')
    bed.subscribed(bed.two)
    wait_for(lambda: bed.session.saved_clicker() == clicker_id(bed.two),
             'the other clicker remembered')
    bed.session.wait_for_panel()
    bed.every_press(bed.two, '0203', '0104')


def encrypted_clicker(bed, answer):
    bed.one.send('gatt encrypt', f'agent {answer}', 'advertise')
    harness = bed.start_harness(f'encrypted-{answer}')
    if answer == 'accept':
        bed.subscribed(bed.one)
        bed.one.send('notify 0 0101')
        harness.out.wait_line(r'^value \S+ 0101$')
        return
    time.sleep(2 * QUIET)
    bed.note(f'agent requests {bed.one.events("pairing")}\n'
             + bed.stack.device_info(bed.one.address))
    assert harness.out.count('^subscribed') <= len(bed.one.events('subscribed')), \
        'reported subscribed, though the clicker saw no subscription'
    # Backs off: not the 13 attempts in 30 s of a tight loop.
    attempts = harness.out.count('^(connected|failed) ')
    bed.note(f'{attempts} attempts in {2 * QUIET} s; harness: {harness.out.lines[-6:]}')
    assert attempts <= 6, f'{attempts} attempts'
    pairing = [line for line in harness.errors().splitlines()
               if re.search('(?i)pair', line) and bed.one.address in line]
    bed.note(f'lines naming pairing: {pairing}')
    assert pairing, 'no line names pairing and the clicker'


def hostile_hid_device(bed, advertises_hid):
    """A device offering HID over GATT beside the clicker service, its agent saying yes to all:
    no input device comes into being even for a moment, no bond outlives its link, no key comes
    of it, and the real clicker is taken."""
    watch = bed.stack.hid_watch(bed.two, 'hostile-hid-' + ('advertised' if advertises_hid
                                                            else 'in-gatt'))
    try:
        bed.two.send('name Hostile Keyboard', 'gatt hid', 'agent accept',
                     'advertise hid' if advertises_hid else 'advertise')
        bed.session.start_companion()
        time.sleep(QUIET)
        if bed.two.events('subscribed'):
            bed.two.send('notify 0 0105')
        bed.note(f'after {QUIET} s: agent requests {bed.two.events("pairing")}, subscriptions '
                 f'{bed.two.events("subscribed")}\n{bed.stack.device_info(bed.two.address)}')
        assert not bed.bonded(bed.two.address), 'the hostile device is bonded'
        bed.one.send('advertise')
        bed.subscribed(bed.one)
        bed.session.wait_for_panel()
        bed.every_press(bed.one, '0102')
        time.sleep(QUIET / 2)
        assert not bed.bonded(bed.two.address), 'the hostile device was bonded later'
    finally:
        summary, seen, broken = watch.stop(bed.one.events('pairing') + bed.two.events('pairing'))
        bed.note('\n'.join([summary, *seen, *broken]))
        print(summary, flush=True)
    assert not broken, '; '.join(broken)


SCENARIOS = [
    ('first_connection_keys', first_connection_keys),
    ('burst_of_500', burst_of_500),
    ('drop_and_reconnect', reconnects_after(lambda bed: bed.one.send('drop'))),
    ('away_and_back', reconnects_after(clicker_away_and_back)),
    ('paired_and_connected_by_the_desktop', paired_and_connected_by_the_desktop),
    ('bluetoothd_restart', reconnects_after(bluetoothd_restarted, timeout=2 * LINK)),
    ('adapter_power_cycle', reconnects_after(adapter_off_and_on)),
    ('only_the_remembered_clicker', only_the_remembered_clicker),
    ('sleep_and_wake', sleep_and_wake),
    ('remembered_away_with_btmon', remembered_away_with_btmon),
    ('forget_device', forget_device),
    ('encrypted_clicker_accepted', lambda bed: encrypted_clicker(bed, 'accept')),
    ('encrypted_clicker_refused', lambda bed: encrypted_clicker(bed, 'refuse')),
    ('encrypted_clicker_unanswered', lambda bed: encrypted_clicker(bed, 'silent')),
    ('hostile_hid_advertised', lambda bed: hostile_hid_device(bed, True)),
    ('hostile_hid_in_gatt_only', lambda bed: hostile_hid_device(bed, False)),
    # Last: the clicker's controller is not quite itself again after privacy was switched off.
    ('private_address', private_address),
]



def main():
    """Runs the named scenarios, or all, on one stack."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--build', required=True)
    parser.add_argument('--results', required=True)
    parser.add_argument('names', nargs='*')
    arguments = parser.parse_args()
    chosen = [row for row in SCENARIOS if not arguments.names or row[0] in arguments.names]
    passed, started = 0, time.monotonic()
    with RealStack(arguments.results) as stack:
        bed = Bed(stack, arguments.build)
        for name, scenario in chosen:
            bed.notes.clear()
            began = time.monotonic()
            try:
                bed.reset()
                scenario(bed)
                if stack.bluetoothd.poll() is not None:
                    raise SessionError('bluetoothd died')
                verdict = 'pass'
                passed += 1
            except Exception as error:  # pylint: disable=broad-except
                verdict = f'fail: {type(error).__name__}: {error}'
                bed.notes.extend([traceback.format_exc(), bed.diagnostics()])
                if stack.bluetoothd.poll() is not None:
                    verdict += f' (bluetoothd died: status {stack.bluetoothd.poll()})'
                    stack.start_bluetoothd()
            with open(os.path.join(arguments.results, f'{name}.log'), 'w',
                      encoding='utf-8') as log:
                log.write('\n'.join([verdict, f'took {time.monotonic() - began:.1f} s',
                                     *bed.notes]))
            print(f'{name}: {verdict}', flush=True)
    print(f'{passed} passed, {len(chosen) - passed} failed '
          f'({time.monotonic() - started:.0f} s)', flush=True)
    return 0 if passed == len(chosen) else 1


if __name__ == '__main__':
    sys.exit(main())
