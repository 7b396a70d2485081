"""Node calls on a concurrent.futures executor or a Dask client.

The coordinating process keeps one Dispatch per run; the engine decides
which calls to make and hands them over through it (python_bindings/
executor.cpp). A task runs quillon._run_task on a worker: that needs quillon
importable there, and nothing else of the caller's.

Callables travel once per worker rather than once per task: each has a token
(a digest of its pickled bytes). A task carries the bytes only the first
time its token goes to an executor; a worker that lacks them answers
"missing" and the task is sent again with them. Workers keep what they
received for later tasks and later runs.
"""

import collections
import concurrent.futures
import hashlib
import pickle
import traceback

# Worker side: callables received, by token, oldest first.
_received = {}
_KEEP_RECEIVED = 512


def run_task(token, payload, calls):
    function = _received.get(token)
    if function is None:
        if payload is None:
            return ("missing",)
        try:
            function = pickle.loads(payload)
        except Exception as error:
            reason = f"the worker could not load the node's function ({type(error).__name__}: {error})"
            text = f"Error: {reason}; is its module importable on the worker?\n"
            return ("done", [(False, text, reason)] * len(calls))
        if len(_received) >= _KEEP_RECEIVED:
            del _received[next(iter(_received))]
        _received[token] = function
    return _call_all(function, calls)


def _call_all(function, calls):
    """("done", outcomes): per call (True, result) or (False, traceback text, one-line reason)."""
    outcomes = []
    for inputs in calls:
        try:
            outcomes.append((True, function(inputs)))
        except Exception as error:
            # The traceback starts in the node's function, not here.
            text = "".join(traceback.format_exception(type(error), error, error.__traceback__.tb_next))
            outcomes.append((False, text, f"{type(error).__name__}: {error}"))
    return ("done", outcomes)


# Coordinator side: tokens this process has sent with their bytes, per
# executor (by id: a new executor at a reused id costs one "missing" round).
_sent = set()
_KEEP_SENT = 65536


def _lost_worker(error):
    """Whether `error`, raised by a task's future, says its worker went away."""
    if isinstance(error, (concurrent.futures.BrokenExecutor, concurrent.futures.CancelledError, EOFError,
                          ConnectionError)):
        return True
    names = {cls.__name__ for cls in type(error).__mro__}
    return bool(names & {"KilledWorker", "CommClosedError", "FutureCancelledError", "WorkerLostError"})


def _is_dask_client(executor):
    cls = type(executor)
    return cls.__name__ == "Client" and cls.__module__.split(".")[0] == "distributed"


def _window_of(executor):
    """How many tasks to keep at `executor` at once: its workers and one more, so that a worker never
    waits for the next task while the rest stay here, cancellable, until a task ends. None: no bound."""
    client = executor if _is_dask_client(executor) else getattr(executor, "_client", None)
    if client is not None and _is_dask_client(client):
        try:
            return 2 * max(1, sum(client.nthreads().values()))
        except Exception:
            return None
    workers = getattr(executor, "_max_workers", None)
    return workers + 1 if isinstance(workers, int) and workers > 0 else None


class _Task:
    __slots__ = ("future", "token", "payload", "calls", "attempts", "error", "future_failed")

    def __init__(self, token, payload, calls):
        self.future = None
        self.token = token
        self.payload = payload  # the callable itself for threads of this process
        self.calls = calls
        self.attempts = 0
        self.error = None
        self.future_failed = False  # whether the last error came from a future, not from submit()


class Dispatch:
    def __init__(self, executor, notify, name):
        if not callable(getattr(executor, "submit", None)):
            raise TypeError(
                f"{name} must be a concurrent.futures.Executor, a dask.distributed Client or another object with "
                f"submit() returning futures, not {type(executor).__name__}")
        import quillon  # tasks name its _run_task, which workers import

        self._executor = executor
        self._notify = notify
        self._run_task = quillon._run_task
        if _is_dask_client(executor) or _is_dask_client(getattr(executor, "_client", None)):
            # Tasks are never pure (a Client's submit and its executor's take
            # the keyword alike): a retried task must run again, not be
            # answered with the lost one's key.
            def submit(*args, _submit=executor.submit):
                return _submit(*args, pure=False)
            self._submit = submit
        else:
            self._submit = executor.submit
        # Threads of this process share its objects: nothing is pickled.
        self.local = isinstance(executor, concurrent.futures.ThreadPoolExecutor)
        self._tokens = {}  # id(payload) -> (payload, token)
        self._tasks = {}
        self._window = _window_of(executor)
        self._out = 0  # tasks whose futures have not been settled
        self._held = collections.deque()  # tickets submitted here, not yet to the executor

    def submit(self, ticket, function, payload, calls):
        """Starts task `ticket`: `function` (by its pickled `payload`, None for threads) on each input dict of `calls`."""
        if self.local:
            task = _Task(None, function, calls)
        else:
            known = self._tokens.get(id(payload))
            if known is None or known[0] is not payload:
                known = (payload, hashlib.blake2b(payload, digest_size=16).hexdigest())
                self._tokens[id(payload)] = known
            task = _Task(known[1], payload, calls)
        self._tasks[ticket] = task
        if self._window is not None and self._out >= self._window:
            self._held.append(ticket)
        else:
            self._send(ticket, task, with_payload=None)

    def _send_held(self):
        while self._held and self._out < self._window:
            ticket = self._held.popleft()
            task = self._tasks.get(ticket)
            if task is not None:
                self._send(ticket, task, with_payload=None)

    def _send(self, ticket, task, with_payload):
        """Submits `task`; its bytes go along when asked, or when its token is new to this executor."""
        task.attempts += 1
        if self.local:
            args = (_call_all, task.payload, task.calls)
        else:
            key = (id(self._executor), task.token)
            if with_payload is None:
                with_payload = key not in _sent
            if with_payload:
                if len(_sent) >= _KEEP_SENT:
                    _sent.clear()
                _sent.add(key)
            args = (self._run_task, task.token, task.payload if with_payload else None, task.calls)
        try:
            future = self._submit(*args)
        except BaseException as error:  # noqa: B036 - handed to the caller below
            if not isinstance(error, Exception):
                raise
            task.future = None
            task.error = error
            task.future_failed = False
            self._notify(ticket)
            return
        task.future = future
        self._out += 1
        future.add_done_callback(lambda _future, ticket=ticket: self._notify(ticket))

    def settle(self, ticket):
        """True when the task ended; False when it was sent again (a lost worker, a missing callable)."""
        task = self._tasks.get(ticket)
        if task is None:
            return False
        if task.future is not None:
            self._out -= 1
        try:
            return self._settle(ticket, task)
        finally:
            if self._held:
                self._send_held()

    def _settle(self, ticket, task):
        if task.future is None:
            error = task.error
        else:
            try:
                # Done, but a Dask future still fetches its value from the
                # worker here: a zero timeout would turn that into a failure.
                answer = task.future.result()
            except BaseException as caught:  # noqa: B036
                if not isinstance(caught, Exception) and not _lost_worker(caught):
                    raise
                error = caught
                task.future_failed = True
            else:
                if answer[0] == "missing":
                    task.attempts -= 1  # not a failure of the worker
                    self._send(ticket, task, with_payload=True)
                    return False
                task.error = None
                task.calls = answer[1]
                task.future = None
                return True
        if _lost_worker(error) and task.attempts < 2:
            self._send(ticket, task, with_payload=None)
            return False
        task.error = error
        task.future = None
        return True

    def outcome(self, ticket, index):
        """(True, result) or (False, report text, one-line reason) for call `index` of an ended task."""
        task = self._tasks[ticket]
        error = task.error
        if error is None:
            return task.calls[index]
        described = f"{type(error).__name__}: {error}"
        if _lost_worker(error):
            if task.future_failed:
                reason = f"its worker was lost, twice ({described})"
            else:
                # A broken pool refuses every task from then on.
                reason = f"the executor can no longer take tasks ({described})"
            return (False, f"Error: {reason}; the call was tried {task.attempts} times\n", reason)
        text = "".join(traceback.format_exception(error))
        return (False, f"Error: the executor could not run the call\n{text}", described)

    def release(self, ticket):
        self._tasks.pop(ticket, None)

    def abandon(self):
        self._held.clear()
        tasks, self._tasks = self._tasks, {}
        for task in tasks.values():
            if task.future is not None:
                try:
                    task.future.cancel()
                except Exception:
                    pass
