# SPDX-License-Identifier: MIT
"""The session's children: each in a process group of its own that goes with this process, and
bounded waits on them."""

import atexit
import ctypes
import os
import queue
import signal
import subprocess
import threading
import time

PYTHON = '/usr/bin/python3'
# Generous: the CI machine is a loaded two-core box.
DEFAULT_TIMEOUT = 20.0


class SessionError(RuntimeError):
    pass


def wait_for(condition, what, timeout=DEFAULT_TIMEOUT):
    """Polls `condition` until it returns a true value, which is returned; raises after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise SessionError(f'timed out after {timeout:g} s waiting for {what}')
        time.sleep(0.05)


def take(items, what, timeout=DEFAULT_TIMEOUT):
    """The next item of the queue `items` within `timeout`."""
    try:
        return items.get(timeout=timeout)
    except queue.Empty:
        raise SessionError(f'timed out after {timeout:g} s waiting for {what}') from None


def file_tail(path, size=4000):
    try:
        with open(path, encoding='utf-8', errors='replace') as file:
            return file.read()[-size:]
    except OSError:
        return ''


_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1
_live = set()


def _die_with_parent():
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)


def spawn(arguments, **options):
    """Starts a child in a new process group that receives SIGTERM when this process dies."""
    process = subprocess.Popen(arguments, start_new_session=True, preexec_fn=_die_with_parent,
                               **options)
    _live.add(process)
    return process


def _signal_group(process, sig):
    # Only while the leader is unreaped: its number cannot have been given to another process.
    if process.poll() is None:
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            pass


def end(process, timeout=5.0):
    """Ends the child's process group: SIGTERM, then SIGKILL after `timeout`."""
    if process is None:
        return
    _signal_group(process, signal.SIGTERM)
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        _signal_group(process, signal.SIGKILL)
        process.wait()
    _live.discard(process)
    for stream in (process.stdin, process.stdout, process.stderr):
        if stream:
            try:
                stream.close()
            except OSError:
                pass  # a pipe whose reader is gone


@atexit.register
def _end_leftovers():
    for process in list(_live):
        _signal_group(process, signal.SIGKILL)
    _live.clear()


def _exit_on_signal(signum, _frame):
    raise SystemExit(128 + signum)


def install_signal_handlers():
    """SIGTERM and SIGHUP unwind the stack like SIGINT does, so every session closes."""
    if threading.current_thread() is not threading.main_thread():
        return
    for signum in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(signum) == signal.SIG_DFL:
            signal.signal(signum, _exit_on_signal)


def read_line(process, what, timeout=DEFAULT_TIMEOUT):
    """One line of the child's standard output, within `timeout`."""
    lines = queue.Queue()
    threading.Thread(target=lambda: lines.put(process.stdout.readline()), daemon=True).start()
    line = take(lines, what, timeout)
    if not line:
        raise SessionError(f'{what}: the process ended (exit status {process.poll()})')
    return line.strip()


def hold(process):
    """Stops the process: calls to it wait on the bus until release()."""
    os.kill(process.pid, signal.SIGSTOP)


def release(process):
    os.kill(process.pid, signal.SIGCONT)
