"""Hostile objects through every entry point that converts user objects.

Generated programs (see hostile_worker.py) hand quillon sequences, mappings,
labels, numbers and callables whose special methods raise, mutate their
container, drop the Graph or Dag, re-enter the module, or call back into it
from __del__. Ordinary exceptions are fine; the module must never crash,
abort or hang. The programs run in a persistent worker process that is
restarted after a crash; a crash is charged to the program being run and
reported with the command that reproduces it.

QUILLON_FUZZ_EXAMPLES scales the number of programs per entry point (default
1200, about two minutes in all on two cores; the sanitizer run uses 150).
"""

from __future__ import annotations

import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import hostile_worker as worker

HERE = os.path.dirname(os.path.abspath(__file__))
WORKER = os.path.join(HERE, "hostile_worker.py")
EXAMPLES = int(os.environ.get("QUILLON_FUZZ_EXAMPLES", "1200"))
# Per program; generous because the sanitizer build is several times slower.
TIMEOUT = float(os.environ.get("QUILLON_FUZZ_TIMEOUT", "60"))


class Worker:
    """A child interpreter that runs programs until it dies; restarted on demand."""

    def __init__(self):
        self.proc = None
        self.log = None

    def start(self):
        self.log = tempfile.NamedTemporaryFile(prefix="quillon-fuzz-", suffix=".log", delete=False)
        self.proc = subprocess.Popen(
            [sys.executable, "-X", "faulthandler", WORKER],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.log,
            env=self.environment(), text=True, bufsize=1)

    @staticmethod
    def environment():
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        # The debug allocator fills freed memory, so that an object or item
        # array read after it was freed crashes instead of passing unnoticed
        # (the sanitizer run chooses its own allocator).
        env.setdefault("PYTHONMALLOC", "debug")
        return env

    def stop(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.kill()
            self.proc.wait()
            self.proc = None
        if self.log is not None:
            self.log.close()
            os.unlink(self.log.name)
            self.log = None

    def log_tail(self, limit=6000):
        self.log.flush()
        with open(self.log.name, errors="replace") as f:
            text = f.read()
        return text[-limit:]

    def run(self, program):
        """'ok' or an exception name; raises AssertionError on a crash or hang."""
        if self.proc is None or self.proc.poll() is not None:
            self.stop()
            self.start()
        line = json.dumps(program)
        try:
            self.proc.stdin.write(line + "\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass
        end = time.monotonic() + TIMEOUT
        while True:
            left = end - time.monotonic()
            ready = select.select([self.proc.stdout], [], [], max(0.0, left))[0] if left > 0 else []
            if not ready:
                self.fail(program, f"no answer within {TIMEOUT:.0f} s (hang)", kill=True)
            reply = self.proc.stdout.readline()
            if not reply:
                status = self.proc.wait()
                how = (f"killed by signal {signal.Signals(-status).name}" if status < 0
                       else f"exited with status {status}")
                self.fail(program, how)
            parts = reply.split()
            if parts[:2] == ["done", str(program["id"])]:
                return parts[2]

    def fail(self, program, how, kill=False):
        if kill:
            self.proc.kill()
            self.proc.wait()
        tail = self.log_tail()
        self.stop()
        reproducer = json.dumps(program)
        raise AssertionError(
            f"worker {how} while running a program\n"
            f"reproduce with:\n  PYTHONMALLOC={self.environment()['PYTHONMALLOC']} "
            f"{sys.executable} {WORKER} --one '{reproducer}'\n"
            f"--- end of the worker's stderr ---\n{tail}")


@pytest.fixture(scope="module")
def fuzz_worker():
    w = Worker()
    yield w
    w.stop()


def step_strategy(site):
    return st.fixed_dictionaries({
        "site": st.just(site) if site else st.sampled_from(sorted(worker.SITES)),
        "base": (st.one_of(st.sampled_from(worker.SITE_BASES[site]), st.sampled_from(worker.BASES))
                 if site else st.sampled_from(worker.BASES)),
        "dunder": (st.one_of(st.sampled_from(worker.SITE_DUNDERS[site]), st.sampled_from(worker.DUNDERS))
                   if site else st.sampled_from(worker.DUNDERS)),
        # Failing first and changing the container afterwards is what
        # retried conversions trip over, so those draws are the common ones.
        "action": st.one_of(st.sampled_from(worker.ACTIONS[:5]), st.sampled_from(worker.ACTIONS)),
        "trigger": st.integers(0, 2),
        "once": st.sampled_from([False, False, True]),
        "then": st.one_of(st.sampled_from(worker.THEN_ACTIONS[:5]), st.sampled_from(worker.THEN_ACTIONS)),
        "del_action": st.sampled_from(worker.DEL_ACTIONS),
        "target_self": st.booleans(),
        "container": st.one_of(st.just("list"), st.sampled_from(worker.CONTAINERS)),
        "size": st.integers(0, 4),
        "position": st.integers(0, 3),
        "variant": st.integers(0, 59),
        "parallel": st.booleans(),
    })


_counter = iter(range(1 << 62))


def fuzz_settings(examples):
    return settings(max_examples=max(1, examples), derandomize=True, database=None, deadline=None,
                    suppress_health_check=list(HealthCheck), print_blob=False)


@pytest.mark.parametrize("site", sorted(worker.SITES))
def test_hostile_objects_at_each_site(fuzz_worker, site):
    @fuzz_settings(EXAMPLES)
    @given(step=step_strategy(site))
    def check(step):
        fuzz_worker.run({"id": next(_counter), "steps": [step]})

    check()


def test_hostile_programs_of_several_steps(fuzz_worker):
    @fuzz_settings(EXAMPLES * 4)
    @given(steps=st.lists(step_strategy(None), min_size=2, max_size=4))
    def check(steps):
        fuzz_worker.run({"id": next(_counter), "steps": steps})

    check()
