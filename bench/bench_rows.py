# SPDX-License-Identifier: MIT
"""What the Python benchmarks share: percentiles, units, the rows scripts/bench prints, and the
desktop session they run the program in."""

import math
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, 'tests', 'support'))

# pylint: disable=wrong-import-position
from companion_session import Companion, CompanionSession, end, read_line, spawn  # noqa: E402

DEFAULT_PROGRAM = os.path.join(ROOT, 'build', 'default', 'src', 'quenlark-companion')
WATCHER = os.path.join(ROOT, 'tests', 'support', 'status_notifier_watcher.py')
PYTHON = '/usr/bin/python3'

__all__ = ['Companion', 'CompanionSession', 'DEFAULT_PROGRAM', 'ROOT', 'TrayHost', 'end',
           'megabytes', 'milliseconds', 'percentile', 'read_line', 'row', 'spawn', 'verdict']


def percentile(values, fraction):
    """Nearest-rank percentile, `fraction` in (0, 1]."""
    ordered = sorted(values)
    rank = math.ceil(fraction * len(ordered))
    return ordered[min(max(rank, 1), len(ordered)) - 1]


def milliseconds(nanoseconds):
    return f'{nanoseconds / 1e6:.3f} ms'


def megabytes(kilobytes):
    return f'{kilobytes / 1024:.1f} MB'


def verdict(met):
    return 'met' if met else 'MISSED'


def row(name, samples, p50, p99='-', goal='-', result='-'):
    """One row of the table: name, samples, p50 (or the one value), p99, goal and verdict."""
    print('\t'.join(str(field) for field in (name, samples, p50, p99, goal, result)), flush=True)


class TrayHost:
    """The StatusNotifierItem watcher of the session (status_notifier_watcher.py), so that the
    program makes its tray item as under a desktop with a tray."""

    def __init__(self, session):
        self.process = spawn([PYTHON, WATCHER], env=session.environment(),
                             stdout=subprocess.PIPE, text=True)
        if read_line(self.process, 'the tray host to start') != 'ready':
            raise RuntimeError('the tray host did not start')

    def next_registration(self, timeout):
        """(service, CLOCK_MONOTONIC ns) of the next item that registers."""
        fields = read_line(self.process, 'a tray item to register', timeout).split()
        if len(fields) != 3 or fields[0] != 'registered':
            raise RuntimeError(f'the tray host said {" ".join(fields)!r}')
        return fields[1], int(fields[2])

    def close(self):
        end(self.process)
