"""Ordered, bounded parallel analysis: in-process, a local process pool, or a Dask cluster.

Every path yields compact records in input order and keeps only a bounded window of work in
flight, so memory does not grow with the input.  The local pool owns its worker processes: each
worker reports one record per molecule, so the parent knows which molecule a worker is on and
since when; a worker that overruns the per-molecule limit (or dies) is killed and replaced, its
current molecule becomes an error record and the rest of its queue goes to the replacement.
"""

import collections
import multiprocessing
import os
import pickle
import signal
import threading
import time
import warnings
from multiprocessing.connection import wait as wait_connections

from .engine import MoleculeTimeout, analyse_chunk, error_record, safe_record

DEFAULT_CHUNK_SIZE = 16
# A Dask task costs milliseconds of scheduling and transfer: bigger chunks keep that below a few
# per cent of the work (about 95 % of the local pool's throughput at 64, 84 % at 16).
DASK_CHUNK_SIZE = 64


def timeout_message(timeout):
    return f"timed out: analysis took longer than {timeout:g} s"


MAX_TIMEOUT = 86400.0  # a day per molecule


def _grace(timeout):
    # Time a worker gets beyond its own alarm before the parent kills it.
    return min(5.0, max(0.5, 0.5 * timeout))


class _Alarm:
    """Per-item time limit through SIGALRM (main thread only).  The native loops poll for
    signals, so the handler's exception unwinds a long analysis cleanly."""

    def __init__(self, timeout):
        self.timeout = timeout
        self.armed = False
        self.previous = None

    def _handler(self, signum, frame):
        if self.armed:
            self.armed = False
            raise MoleculeTimeout(timeout_message(self.timeout))

    def __enter__(self):
        self.previous = signal.signal(signal.SIGALRM, self._handler)
        return self

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.previous or signal.SIG_DFL)

    def run(self, task, ident, payload, options, on_error):
        try:
            self.armed = True
            signal.setitimer(signal.ITIMER_REAL, self.timeout)
            try:
                return task(ident, payload, options)
            finally:
                self.armed = False
                signal.setitimer(signal.ITIMER_REAL, 0)
        except MoleculeTimeout:  # fired in the instant between the work and the disarm
            return on_error(ident, payload, timeout_message(self.timeout))


def quiet_rdkit():
    from rdkit import RDLogger

    RDLogger.DisableLog("rdApp.*")


def can_alarm():
    return hasattr(signal, "setitimer") and threading.current_thread() is threading.main_thread()


def imap_inprocess(items, options, timeout=None, task=safe_record, on_error=error_record):
    """Results of task(id, payload, options) for (id, payload) items, one after another in this process."""
    if timeout and can_alarm():
        with _Alarm(timeout) as alarm:
            for ident, payload in items:
                yield alarm.run(task, ident, payload, options, on_error)
    else:
        for ident, payload in items:
            yield task(ident, payload, options)


def _die_with_parent():
    """Have the kernel kill this worker when the process that started it ends (Linux), so a
    SIGKILLed command leaves no workers behind holding its stdout and stderr.  (Under forkserver
    that is the server, which itself leaves when the command is gone.)"""
    parent = os.getppid()
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
    except Exception:  # noqa: BLE001 - elsewhere the end of the pipe tells the worker to leave
        pass
    if os.getppid() != parent:  # the parent was gone before the request took effect
        os._exit(0)


def _worker_main(conn, task, on_error, options, timeout, inherited=()):
    _die_with_parent()
    for other in inherited:  # the parent's ends of the pipes, copied by fork: only the parent may hold them
        other.close()
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C belongs to the parent, which stops us
    signal.signal(signal.SIGTERM, signal.SIG_DFL)  # whatever the parent made of SIGTERM
    quiet_rdkit()  # unreadable SMILES are reported in their records
    alarm = _Alarm(timeout) if timeout and hasattr(signal, "setitimer") else None
    if alarm:
        alarm.__enter__()
    # Messages to the parent: (-1, None) once, when the worker is ready; then (seq, result) per item.
    try:
        conn.send((-1, None))
        while True:
            try:
                job = conn.recv()
            except (EOFError, OSError):
                return  # the parent is gone
            if job is None:
                return
            for seq, ident, payload in job:
                if alarm:
                    result = alarm.run(task, ident, payload, options, on_error)
                else:
                    result = task(ident, payload, options)
                try:
                    conn.send((seq, result))
                except (BrokenPipeError, EOFError, OSError):
                    return
    finally:
        conn.close()


def _context():
    methods = multiprocessing.get_all_start_methods()
    # fork starts workers in milliseconds with the package already imported; it is only safe while
    # this process has no other threads.
    if "fork" in methods and threading.active_count() == 1:
        return multiprocessing.get_context("fork")
    if "forkserver" in methods:
        ctx = multiprocessing.get_context("forkserver")
        ctx.set_forkserver_preload(["trelvanoxa"])  # imported once by the server, not by every worker
        return ctx
    return multiprocessing.get_context("spawn")


# A worker gets this long to start (import the package) before its first item's clock runs.
STARTUP_ALLOWANCE = 60.0


class _Worker:
    def __init__(self, ctx, task, on_error, options, timeout, siblings):
        self.conn, child = ctx.Pipe()
        inherited = [self.conn] + [w.conn for w in siblings] if ctx.get_start_method() == "fork" else []
        self.proc = ctx.Process(target=_worker_main, daemon=True,
                                args=(child, task, on_error, options, timeout, inherited))
        with warnings.catch_warnings():
            # fork is chosen only without other Python threads; the idle native threads of the BLAS
            # pool that CPython also counts here are fork-safe (they re-initialise in the child).
            warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
            self.proc.start()
        child.close()
        self.pending = collections.deque()  # (seq, id, payload) sent and not yet answered
        self.since = time.monotonic()  # when the head of `pending` started
        self.ready = False

    def send(self, job):
        if not self.pending:
            self.since = time.monotonic()
        self.pending.extend(job)  # first, so a failed send leaves the job with the worker's successor
        self.conn.send(job)

    def overran(self, limit, now):
        """Whether the item at the head of the queue has had more than `limit` seconds."""
        allowed = limit if self.ready else limit + STARTUP_ALLOWANCE
        return now - self.since > allowed

    def kill(self):
        try:
            self.proc.kill()
        except Exception:  # noqa: BLE001
            pass
        self.proc.join(1)
        self.conn.close()

    def stop(self):
        try:
            self.conn.send(None)
        except (OSError, ValueError):
            pass


def _sendable(item):
    try:
        pickle.dumps(item)
        return True
    except Exception:  # noqa: BLE001 - any object may fail to pickle in its own way
        return False


class _LocalPool:
    """`jobs` worker processes running task(id, payload, options) on (id, payload) items; results
    come back in input order, with a bounded window of items in flight."""

    def __init__(self, items, options, jobs, timeout, chunk_size, task, on_error):
        self.source = iter(items)
        self.options, self.timeout, self.task, self.on_error = options, timeout, task, on_error
        self.chunk_size = max(1, int(chunk_size))
        self.window = max(4 * jobs * self.chunk_size, 64)  # dispatched but not yet yielded
        self.limit = timeout + _grace(timeout) if timeout else None
        self.ctx = _context()
        self.workers = []
        for _ in range(jobs):
            self.workers.append(self._start())
        self.done = {}
        self.next_out = self.next_seq = 0
        self.exhausted = False
        self.source_error = None  # what the input raised, re-raised once everything before it is out

    def _start(self):
        return _Worker(self.ctx, self.task, self.on_error, self.options, self.timeout, self.workers)

    def _respawn(self, w):
        """A fresh worker in w's place, given w's unanswered items."""
        rest = list(w.pending)
        w.kill()
        index = self.workers.index(w)
        self.workers[index] = None
        fresh = self.workers[index] = _Worker(self.ctx, self.task, self.on_error, self.options, self.timeout,
                                              [x for x in self.workers if x is not None])
        if rest:
            fresh.send(rest)

    def _replace(self, w, message):
        seq, ident, payload = w.pending.popleft()
        self.done[seq] = self.on_error(ident, payload, message)
        self._respawn(w)

    def _next_job(self):
        job = []
        while len(job) < self.chunk_size:
            try:
                ident, payload = next(self.source)
            except StopIteration:
                self.exhausted = True
                break
            except Exception as exc:  # noqa: BLE001 - raised after the items read before it are out
                self.source_error = exc
                self.exhausted = True
                break
            seq, self.next_seq = self.next_seq, self.next_seq + 1
            if _sendable((ident, payload)):
                job.append((seq, ident, payload))
            else:  # no worker can be given it: done here, as in-process analysis would do it
                self.done[seq] = self.task(ident, payload, self.options)
        return job

    def _dispatch(self):
        for w in self.workers:
            while (not self.exhausted and len(w.pending) < 2 * self.chunk_size
                   and self.next_seq - self.next_out < self.window):
                job = self._next_job()
                if job:
                    try:
                        w.send(job)
                    except (OSError, ValueError):  # it died while idle: its successor takes the job
                        self._respawn(w)
                        break

    def _collect(self, w, ready, now):
        if w.conn in ready:
            try:
                while w.conn.poll():
                    seq, result = w.conn.recv()
                    w.since = now
                    if seq < 0:
                        w.ready = True
                        continue
                    w.pending.popleft()
                    self.done[seq] = result
            except (EOFError, OSError):
                pass
        if not w.pending:
            return
        if not w.proc.is_alive():
            self._replace(w, f"worker process died (exit code {w.proc.exitcode}) while analysing this molecule")
        elif self.limit and w.overran(self.limit, now):
            self._replace(w, timeout_message(self.timeout))

    def _close(self, finished):
        # Idle workers are told to leave; after Ctrl-C or an early close they are terminated at once.
        for w in self.workers:
            if finished:
                w.stop()
            else:
                w.proc.terminate()
        deadline = time.monotonic() + 1.0
        for w in self.workers:
            w.proc.join(max(0.0, deadline - time.monotonic()))
            if w.proc.is_alive():
                w.kill()
            else:
                w.conn.close()

    def results(self):
        finished = False
        try:
            while True:
                self._dispatch()
                busy = [w for w in self.workers if w.pending]
                if not busy and not self.done:
                    finished = True
                    break
                if busy:
                    ready = wait_connections([w.conn for w in busy] + [w.proc.sentinel for w in busy], timeout=0.2)
                    now = time.monotonic()
                    for w in busy:
                        self._collect(w, ready, now)
                while self.next_out in self.done:
                    yield self.done.pop(self.next_out)
                    self.next_out += 1
        finally:
            self._close(finished)
        if self.source_error is not None:
            raise self.source_error


def imap_local(items, options, jobs, timeout=None, chunk_size=DEFAULT_CHUNK_SIZE, task=safe_record,
               on_error=error_record):
    """Results of task(id, payload, options) for (id, payload) items from `jobs` worker processes,
    in input order; on_error(id, payload, message) stands for an item whose worker overran the
    time limit or died."""
    return _LocalPool(items, options, jobs, timeout, chunk_size, task, on_error).results()


def run_items(items, options, jobs, timeout=None, chunk_size=DEFAULT_CHUNK_SIZE, task=safe_record,
              on_error=error_record):
    """Results of task(id, payload, options), in input order: in this process when jobs is 1 (with
    a signal alarm for the time limit where one is possible), else from a local process pool."""
    if jobs == 1 and (timeout is None or can_alarm()):
        return imap_inprocess(items, options, timeout=timeout, task=task, on_error=on_error)
    return imap_local(items, options, jobs, timeout=timeout, chunk_size=chunk_size, task=task, on_error=on_error)


def imap_dask(items, options, client, timeout=None, chunk_size=DASK_CHUNK_SIZE):
    """Records of (id, smiles) items computed on a dask.distributed cluster, in input order.

    A bounded window of chunk futures is kept in flight.  With a time limit, a chunk that is not
    back within `timeout` per molecule plus a few seconds (counted from when it heads the window,
    so the limit is approximate) becomes error records and the worker running it is restarted."""
    from distributed import TimeoutError as DaskTimeout  # noqa: F401 - dask is optional

    chunk_size = max(1, int(chunk_size))
    n_workers = max(1, len(client.scheduler_info().get("workers", {})))
    window = 4 * n_workers
    source = iter(items)
    queue = collections.deque()  # (future, chunk)
    exhausted = False
    try:
        while True:
            while not exhausted and len(queue) < window:
                chunk = []
                for item in source:
                    chunk.append(item)
                    if len(chunk) == chunk_size:
                        break
                else:
                    exhausted = True
                if chunk:
                    queue.append((client.submit(analyse_chunk, chunk, options, pure=False), chunk))
            if not queue:
                return
            future, chunk = queue.popleft()
            try:
                # + 2 s for scheduling: the clock starts when the chunk heads the window, not when it runs
                records = future.result(timeout=timeout * len(chunk) + _grace(timeout) + 2.0 if timeout else None)
            except Exception as exc:  # noqa: BLE001 - timeout, killed worker, lost task
                timed_out = type(exc).__name__ == "TimeoutError" or isinstance(exc, TimeoutError)
                message = timeout_message(timeout) if timed_out else f"{type(exc).__name__}: {exc}"
                if timed_out:
                    _restart_worker_of(client, future)
                future.cancel()
                records = [error_record(i, s, message) for i, s in chunk]
            yield from records
    finally:
        for future, _ in queue:
            future.cancel()


def dask_scheduler_problem(address, wait=5.0):
    """Why `address` is not a Dask scheduler, or None (also when it cannot tell).  A Dask server
    speaks first: on a new connection it sends its handshake, a message of a few hundred bytes whose
    first 8 bytes give its length.  A service that says nothing (a web server waiting for a request)
    or announces an absurd length is something else; Dask's own client would wait on it for ever."""
    import socket
    import struct
    from urllib.parse import urlsplit

    scheme, _, rest = str(address).rpartition("://")
    if scheme not in ("", "tcp"):
        return None
    try:
        parts = urlsplit("//" + rest)
        host, port = parts.hostname, parts.port
    except ValueError:
        return None
    if not host or not port:
        return None
    try:
        with socket.create_connection((host, port), timeout=wait) as conn:
            conn.settimeout(wait)
            head = b""
            while len(head) < 8:
                got = conn.recv(8 - len(head))
                if not got:
                    return "the service there closed the connection without a Dask handshake"
                head += got
    except TimeoutError:
        return f"the service there sent nothing within {wait:g} s: it does not answer as a Dask scheduler"
    except OSError:
        return None  # Dask's client says what is wrong with the address
    (size,) = struct.unpack("<Q", head)
    if size > 1 << 24:
        return "the service there does not answer as a Dask scheduler"
    return None


def _restart_worker_of(client, future):
    try:
        running = client.processing()
        stuck = [w for w, keys in running.items() if future.key in keys]
        if stuck and hasattr(client, "restart_workers"):
            client.restart_workers(stuck)
    except Exception:  # noqa: BLE001 - best effort; the records are already errors
        pass


def check_timeout(timeout):
    """The per-item time limit as a float, or None; refuses what no clock can count."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    if not 0 < timeout <= MAX_TIMEOUT:  # NaN fails this too
        raise ValueError(f"timeout must be a positive number of seconds, at most {MAX_TIMEOUT:g}")
    return float(timeout)


def max_jobs():
    """More workers than cores only share them: the most the local pool starts (at least 2)."""
    return max(2, default_jobs())


def default_jobs():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1
