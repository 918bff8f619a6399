"""Element periods from mendeleev, asked once per symbol and kept on disk.

mendeleev answers from an SQLite database through SQLAlchemy, which is slow to
import and start (seconds) and leaves its session half set up when a Ctrl-C
lands in the middle of that start.  So:

- answers are kept in a small JSON memo on disk, keyed by mendeleev's version,
  so later processes and batch workers need not import mendeleev at all
  (``$TRELVANOXA_CACHE_DIR``, else ``$XDG_CACHE_HOME/trelvanoxa``, else
  ``~/.cache/trelvanoxa``);
- the database is asked on one background thread, one question per symbol
  however many threads ask at once; a Ctrl-C interrupts the caller's wait, never
  the lookup itself, so the database is never left half-initialised;
- an unknown symbol raises mendeleev's own error and is never stored.
"""

import json
import os
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from importlib import metadata
from pathlib import Path

from .._io import atomic_write

_lock = threading.Lock()
_pending: dict = {}  # symbol -> Future of its period, while no caller has collected it
_executor = None


def memo_file() -> Path:
    """Where the periods read from mendeleev are kept."""
    root = os.environ.get("TRELVANOXA_CACHE_DIR")
    if not root:
        root = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "trelvanoxa")
    try:
        version = metadata.version("mendeleev")
    except metadata.PackageNotFoundError:
        version = "unknown"
    return Path(root) / f"periods-mendeleev-{version}.json"


def _read_memo(path: Path) -> dict:
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return {}
    if not isinstance(data, dict):
        return {}
    return {k: v for k, v in data.items() if isinstance(k, str) and type(v) is int}


def _write_memo(path: Path, symbol: str, period: int) -> None:
    """Adds one answer; a memo that cannot be written is simply not kept."""
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        memo = _read_memo(path)
        memo[symbol] = period
        atomic_write(path, json.dumps(memo, sort_keys=True))
    except OSError:
        pass


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
    """Period (row of the periodic table) of the element with this symbol, from mendeleev.

    The package wraps this in functools.lru_cache, so each process asks once per
    symbol; an unknown symbol raises mendeleev's error and caches nothing.  A symbol that is
    not a str is a TypeError."""
    if not isinstance(symbol, str):
        raise TypeError(f"symbol must be an element symbol (str), not {type(symbol).__name__}")
    path = memo_file()
    known = _read_memo(path).get(symbol)
    if known is not None:
        return known
    future = _lookup(symbol)
    try:
        value = future.result()
    except KeyboardInterrupt:
        raise  # the lookup goes on and a later call collects it
    finally:
        if future.done():
            with _lock:
                if _pending.get(symbol) is future:
                    del _pending[symbol]
    if type(value) is int:
        _write_memo(path, symbol, value)
    return value
