"""Deferred imports that a Ctrl-C cannot leave half done.

networkx, matplotlib, mendeleev, requests and matchms are imported when a call
first needs them.  A KeyboardInterrupt raised in the middle of such an import
leaves some of the package's submodules in ``sys.modules`` and the others
missing, and every later import of the package then fails (networkx raises
AttributeError and then KeyError).  So ``import_whole``

- holds a Ctrl-C off while the import runs on the main thread: the signal is
  recorded and the handler that was in place (KeyboardInterrupt by default)
  runs as soon as the import has finished;
- and if the import fails all the same (an exception raised inside it), takes
  the Python modules it left inside a package whose import failed back out of
  ``sys.modules``, so the next import starts that package afresh instead of
  meeting half of it.  Packages that finished importing (sqlalchemy under
  mendeleev, say, whose compiled parts keep their first state) stay whole.
"""

import contextlib
import importlib
import signal
import sys
import threading


@contextlib.contextmanager
def sigint_held():
    """Within the block a SIGINT is only recorded; on leaving, the previous handler is put back and
    runs once if a SIGINT arrived.  Does nothing off the main thread or when Python does not handle
    SIGINT itself."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.getsignal(signal.SIGINT)
    if previous is None or previous == signal.SIG_IGN:
        yield
        return
    received = []
    signal.signal(signal.SIGINT, lambda signum, frame: received.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if received:
            if previous == signal.SIG_DFL:
                signal.raise_signal(signal.SIGINT)
            else:
                previous(signal.SIGINT, received[-1])


def _is_python_module(module):
    origin = getattr(getattr(module, "__spec__", None), "origin", None) or ""
    return not origin.endswith((".so", ".pyd")) and origin not in ("built-in", "frozen")


def _roll_back(before):
    """Removes the Python modules imported since ``before`` (a set of names) that lie inside a package
    whose own import failed (absent from ``sys.modules``): what a KeyboardInterrupt leaves half done.
    Packages that finished stay whole, and extension modules, which initialise once per process, stay."""
    for name in [n for n in list(sys.modules) if n not in before]:
        parts = name.split(".")
        if all(".".join(parts[:i]) in sys.modules for i in range(1, len(parts))):
            continue
        module = sys.modules.get(name)
        if module is None or not _is_python_module(module):
            continue
        del sys.modules[name]
        parent, _, child = name.rpartition(".")
        if getattr(sys.modules.get(parent), child, None) is module:
            try:
                delattr(sys.modules[parent], child)
            except AttributeError:
                pass


def _complete(name):
    module = sys.modules.get(name)
    return module is not None and not getattr(getattr(module, "__spec__", None), "_initializing", False)


def _settle(module):
    """What a module loads on its first use, loaded now: pyplot's backend (a compiled module, which
    a Ctrl-C in its initialisation leaves unusable for the rest of the process)."""
    if module.__name__ == "matplotlib.pyplot":
        backend = getattr(module, "_get_backend_mod", None)
        if backend is not None:
            backend()


def import_whole(name):
    """``importlib.import_module(name)``, never left half done by a Ctrl-C (see the module's notes)."""
    if _complete(name):
        return sys.modules[name]
    before = set(sys.modules)
    with sigint_held():
        try:
            module = importlib.import_module(name)
            _settle(module)
            return module
        except BaseException:
            _roll_back(before)
            raise
