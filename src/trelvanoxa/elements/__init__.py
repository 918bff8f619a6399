"""Element periods: mendeleev's answers shipped with the package.

An element's period is a fixed fact, so the periods mendeleev gives for its 118 elements are
kept in `periods.py` (written by tools/make_periods.py) and no process ever has to start
mendeleev's database (SQLAlchemy and pandas, seconds) to learn them.  A symbol the table does
not hold is put to mendeleev itself, which raises its own error for a symbol it does not know.
That lookup runs on a background thread, so a Ctrl-C interrupts only the caller's wait, never
mendeleev's start; the thread, its lock and its pending lookups are dropped in a forked child,
which starts its own if it needs one.
"""

import os
import threading
from concurrent.futures import Future, ThreadPoolExecutor

from .periods import PERIODS


_lock = threading.Lock()
_pending: dict = {}  # symbol -> Future of mendeleev's answer, while no caller has collected it
_executor = None


def _forget_threads():
    global _lock, _executor
    _lock = threading.Lock()
    _pending.clear()
    _executor = None  # its thread does not exist in this process


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_threads)


def _ask_database(symbol):
    import trelvanoxa  # the lookup function is read from the package at call time

    return trelvanoxa.element(symbol).period


def _lookup(symbol) -> Future:
    global _executor
    with _lock:
        future = _pending.get(symbol)
        if future is None:
            if _executor is None:
                _executor = ThreadPoolExecutor(1, thread_name_prefix="trelvanoxa-elements")
            future = _pending[symbol] = _executor.submit(_ask_database, symbol)
    return future


def period(symbol):
    """Period (row of the periodic table) of the element with this symbol, as mendeleev gives it.

    The package wraps this in functools.lru_cache; a symbol mendeleev does not know raises
    mendeleev's error and caches nothing.  A symbol that is not a str is a TypeError."""
    if not isinstance(symbol, str):
        raise TypeError(f"symbol must be an element symbol (str), not {type(symbol).__name__}")
    known = PERIODS.get(symbol)
    if known is not None:
        return known
    future = _lookup(symbol)
    try:
        return future.result()
    finally:
        if future.done():
            with _lock:
                if _pending.get(symbol) is future:
                    del _pending[symbol]
