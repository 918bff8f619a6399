"""What the commands share: exit codes, SIGTERM handled as an interrupt, the time-limit option and
the escaping of text from input files before it is printed."""

import contextlib
import os
import signal

import click

EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_TERMINATED = 1, 2, 130, 143


class _Timeout(click.ParamType):
    """Seconds per molecule: a positive finite number, at most a day."""

    name = "seconds"

    def convert(self, value, param, ctx):
        from .batch.pool import check_timeout

        try:
            return check_timeout(float(value))
        except (TypeError, ValueError) as exc:
            self.fail(f"{value!r}: {exc}", param, ctx)


TIMEOUT = _Timeout()


def shown(text):
    """Text from an input file as it may be printed: control and other unprintable characters
    escaped, so an id can neither send terminal escapes nor start a line of its own."""
    text = str(text)
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)


@contextlib.contextmanager
def sigterm_as_interrupt():
    """SIGTERM stops the command as Ctrl-C does (records complete, a summary), with exit code 143."""

    owner = os.getpid()

    def handler(signum, frame):
        if os.getpid() != owner:
            # A worker forked from this process and stopped before it set its own handlers:
            # it ends as SIGTERM ends a process, without a traceback.
            signal.signal(signum, signal.SIG_DFL)
            os.kill(os.getpid(), signum)
            return
        raise Terminated()

    previous = signal.signal(signal.SIGTERM, handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


class Terminated(KeyboardInterrupt):
    """A SIGTERM, handled like Ctrl-C."""


def exit_code_of(interrupt):
    return EXIT_TERMINATED if isinstance(interrupt, Terminated) else EXIT_INTERRUPTED
