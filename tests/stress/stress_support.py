"""Shared machinery of the stress tests: the time budget and bounded threads.

Every stress test runs for a budget of QUILLON_STRESS_SECONDS seconds
(default 3, the short mode that `make test` uses; raise it for a soak run),
stops by itself, and joins every thread it started with a timeout: a thread
that is still alive afterwards is a hang and fails the test.
"""

from __future__ import annotations

import contextlib
import os
import sys
import threading
import time

import pytest

SECONDS = float(os.environ.get("QUILLON_STRESS_SECONDS", "3"))
# How long a thread may take beyond the budget before it counts as hung.
GRACE = 60.0 + SECONDS


def deadline():
    """The monotonic instant at which loops stop starting new work."""
    return time.monotonic() + SECONDS


def report(name, **figures):
    """Prints the figures of one stress run (visible with pytest -s)."""
    parts = ", ".join(f"{key}={value}" for key, value in figures.items())
    print(f"\n[stress] {name}: {parts}", file=sys.__stdout__, flush=True)


class Workers:
    """Daemon threads that record their first exception and are joined with
    a timeout, so that a deadlocked worker fails the test instead of hanging
    the run (and cannot keep the process alive at exit)."""

    def __init__(self):
        self.threads = []
        self.errors = []
        self._lock = threading.Lock()

    def start(self, target, *args, name=None):
        def body():
            try:
                target(*args)
            except BaseException as error:  # noqa: BLE001 - every failure is reported
                with self._lock:
                    self.errors.append((threading.current_thread().name, error))

        thread = threading.Thread(target=body, name=name, daemon=True)
        self.threads.append(thread)
        thread.start()
        return thread

    def join(self, timeout=GRACE):
        end = time.monotonic() + timeout
        for thread in self.threads:
            thread.join(max(0.0, end - time.monotonic()))
        hung = [t.name for t in self.threads if t.is_alive()]
        if hung:
            pytest.fail(f"threads still running after {timeout:.0f} s (deadlock?): {hung}")
        if self.errors:
            name, error = self.errors[0]
            raise AssertionError(f"{len(self.errors)} worker(s) failed; first in {name}: {error!r}") from error


@contextlib.contextmanager
def frequent_switches(interval=1e-5):
    """Makes the interpreter hand the lock between threads far more often
    than usual, so that Python-side interleavings are actually exercised."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(interval)
    try:
        yield
    finally:
        sys.setswitchinterval(previous)
