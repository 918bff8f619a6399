"""Ordered, bounded parallel analysis: in-process, a local process pool, or a Dask cluster.

Every path yields compact records in input order and keeps only a bounded window of work in
flight, so memory does not grow with the input.  The local pool owns its worker processes: each
worker reports one record per molecule, so the parent knows which molecule a worker is on and
since when; a worker that overruns the per-molecule limit (or dies) is killed and replaced, its
current molecule becomes an error record and the rest of its queue goes to the replacement.
"""

import collections
import itertools
import multiprocessing
import os
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


def _grace(timeout):
    # Time a worker gets beyond its own alarm before the parent kills it.
    return min(5.0, max(0.5, 0.5 * timeout))


class _Alarm:
    """Per-molecule time limit through SIGALRM (main thread only).  The native loops poll for
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

    def run(self, ident, smiles, options, notify=None):
        if warm_elements(smiles, notify) and notify is not None:
            notify(None)  # the molecule's clock starts only now
        try:
            self.armed = True
            signal.setitimer(signal.ITIMER_REAL, self.timeout)
            try:
                return safe_record(ident, smiles, options)
            finally:
                self.armed = False
                signal.setitimer(signal.ITIMER_REAL, 0)
        except MoleculeTimeout:  # fired in the instant between the analysis and the disarm
            return error_record(ident, smiles, timeout_message(self.timeout))


_WARM = set()


def warm_elements(smiles, notify=None):
    """Look up the element data of a molecule's atoms before its clock starts: the first lookup
    of an element reads the element database (up to a second), which is no part of the
    molecule's own cost and would otherwise time out the first molecules of every worker.
    Returns whether new elements were looked up; `notify("warm")` is called before that."""
    if not isinstance(smiles, str) or not smiles:
        return False
    try:
        from rdkit import Chem

        import trelvanoxa

        mol = Chem.MolFromSmiles(smiles, sanitize=False)
        if mol is None:
            return False
        new = ({a.GetSymbol() for a in mol.GetAtoms()} | {"H"}) - _WARM
        if not new:
            return False
        if notify is not None:
            notify("warm")
        for symbol in new:
            _WARM.add(symbol)
            try:
                trelvanoxa._get_period(symbol)
            except Exception:  # noqa: BLE001 - an unknown element is the analysis' error to report
                pass
        return True
    except Exception:  # noqa: BLE001
        return False


def quiet_rdkit():
    from rdkit import RDLogger

    RDLogger.DisableLog("rdApp.*")


def can_alarm():
    return hasattr(signal, "setitimer") and threading.current_thread() is threading.main_thread()


def imap_inprocess(items, options, timeout=None):
    """Records of (id, smiles) items analysed one after another in this process."""
    if timeout and can_alarm():
        with _Alarm(timeout) as alarm:
            for ident, smiles in items:
                yield alarm.run(ident, smiles, options)
    else:
        for ident, smiles in items:
            yield safe_record(ident, smiles, options)


def _worker_main(conn, options, timeout):
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C belongs to the parent, which stops us
    quiet_rdkit()  # unreadable SMILES are reported in their records
    alarm = _Alarm(timeout) if timeout and hasattr(signal, "setitimer") else None
    if alarm:
        alarm.__enter__()
    # Messages to the parent: (seq, record) per molecule; (seq, "warm") while element data is being
    # loaded (the clock stops) and (seq, None) when the molecule's clock starts; (-1, None) once,
    # when the worker is ready.
    try:
        conn.send((-1, None))
        while True:
            try:
                job = conn.recv()
            except EOFError:
                return
            if job is None:
                return
            for seq, ident, smiles in job:
                if alarm:
                    rec = alarm.run(ident, smiles, options, notify=lambda what: conn.send((seq, what)))
                else:
                    rec = safe_record(ident, smiles, options)
                conn.send((seq, rec))
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


class _Worker:
    def __init__(self, ctx, options, timeout):
        self.conn, child = ctx.Pipe()
        self.proc = ctx.Process(target=_worker_main, args=(child, options, timeout), daemon=True)
        with warnings.catch_warnings():
            # fork is chosen only without other Python threads; the idle native threads of the BLAS
            # pool that CPython also counts here are fork-safe (they re-initialise in the child).
            warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
            self.proc.start()
        child.close()
        self.pending = collections.deque()  # (seq, id, smiles) sent and not yet answered
        self.since = time.monotonic()  # when the head of `pending` started
        self.ready = False  # the clock runs only once the worker has started up
        self.clock = True  # false while the worker loads element data

    def send(self, job):
        if not self.pending:
            self.since = time.monotonic()
        self.pending.extend(job)  # first, so a failed send leaves the job with the worker's successor
        self.conn.send(job)

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


def imap_local(items, options, jobs, timeout=None, chunk_size=DEFAULT_CHUNK_SIZE):
    """Records of (id, smiles) items from `jobs` worker processes, in input order."""
    chunk_size = max(1, int(chunk_size))
    ctx = _context()
    source = iter(items)
    window = max(4 * jobs * chunk_size, 64)  # dispatched but not yet yielded
    if ctx.get_start_method() == "fork":
        # Load the element data of the first window here, once, rather than in every worker (and
        # every replacement): forked workers inherit it.
        head = list(itertools.islice(source, window))
        for _, smiles in head:
            warm_elements(smiles)
        source = itertools.chain(head, source)
    workers = [_Worker(ctx, options, timeout) for _ in range(jobs)]
    done = {}
    next_out = next_seq = 0
    exhausted = False
    limit = timeout + _grace(timeout) if timeout else None

    def respawn(w):
        """A fresh worker in w's place, given w's unanswered molecules."""
        rest = list(w.pending)
        w.kill()
        fresh = _Worker(ctx, options, timeout)
        workers[workers.index(w)] = fresh
        if rest:
            fresh.send(rest)

    def replace(w, message):
        seq, ident, smiles = w.pending.popleft()
        done[seq] = error_record(ident, smiles, message)
        respawn(w)

    finished = False
    try:
        while True:
            for w in workers:
                while not exhausted and len(w.pending) < 2 * chunk_size and next_seq - next_out < window:
                    job = []
                    for ident, smiles in source:
                        job.append((next_seq, ident, smiles))
                        next_seq += 1
                        if len(job) == chunk_size:
                            break
                    else:
                        exhausted = True
                    if job:
                        try:
                            w.send(job)
                        except (OSError, ValueError):  # it died while idle: its successor takes the job
                            respawn(w)
                            break
            busy = [w for w in workers if w.pending]
            if not busy:
                finished = True
                break
            ready = wait_connections([w.conn for w in busy] + [w.proc.sentinel for w in busy], timeout=0.2)
            now = time.monotonic()
            for w in busy:
                if w.conn in ready:
                    try:
                        while w.conn.poll():
                            seq, rec = w.conn.recv()
                            w.since = now
                            if rec is None or rec == "warm":
                                w.ready, w.clock = True, rec is None
                                continue
                            w.pending.popleft()
                            done[seq] = rec
                    except (EOFError, OSError):
                        pass
                if not w.pending:
                    continue
                if not w.proc.is_alive():
                    replace(w, f"worker process died (exit code {w.proc.exitcode}) while analysing this molecule")
                elif limit and w.ready and w.clock and now - w.since > limit:
                    replace(w, timeout_message(timeout))
            while next_out in done:
                yield done.pop(next_out)
                next_out += 1
    finally:
        # Idle workers are told to leave; after Ctrl-C or an early close they are terminated at once.
        for w in workers:
            if finished:
                w.stop()
            else:
                w.proc.terminate()
        deadline = time.monotonic() + 1.0
        for w in workers:
            w.proc.join(max(0.0, deadline - time.monotonic()))
            if w.proc.is_alive():
                w.kill()
            else:
                w.conn.close()


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


def _restart_worker_of(client, future):
    try:
        running = client.processing()
        stuck = [w for w, keys in running.items() if future.key in keys]
        if stuck and hasattr(client, "restart_workers"):
            client.restart_workers(stuck)
    except Exception:  # noqa: BLE001 - best effort; the records are already errors
        pass


def default_jobs():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1
