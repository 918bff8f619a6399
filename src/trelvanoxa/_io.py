"""Writing a whole file at once, so that a reader never sees half of it.

The bytes go to a new file in the target's folder, which then replaces the
target in one rename.  A failed write therefore leaves whatever was at the
path exactly as it was and removes only the temporary file it made.

- A symbolic link is followed: the file it points to is replaced and the link
  stays a link.
- Only regular files are replaced.  An existing FIFO, device or socket is
  never renamed over: it is refused, or (``special="write"``) written into
  directly, as one writes to a pipe or to ``/dev/null``.
- A replaced file keeps its permission bits; a new file gets the usual ones
  (0666 less the umask), never the 0600 of a private temporary file.

Errors in the path (a folder, a missing folder, a folder that is a file, a
target or folder that may not be written, a refused special file) are raised
by ``prepare_target`` as OSError subclasses naming the path, so callers can
check an output before doing the work.
"""

import errno
import os
import secrets
import stat
from dataclasses import dataclass

_KINDS = ((stat.S_ISFIFO, "a named pipe"), (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
          (stat.S_ISSOCK, "a socket"))


@dataclass(frozen=True)
class Target:
    """Where one write goes: the name as given and the file really written (links resolved)."""

    name: str
    path: str
    special: str = "refuse"

    @property
    def replaces(self):
        """True when the file is written by renaming a new file over the path (a regular file or
        nothing there); false for an existing device, pipe or socket, which is written into."""
        try:
            return stat.S_ISREG(os.stat(self.path).st_mode)
        except FileNotFoundError:
            return True


def _error(kind, code, name, text=None):
    return kind(code, text or os.strerror(code), name)


def _special_kind(path):
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return None
    for test, kind in _KINDS:
        if test(mode):
            return kind
    return None


def prepare_target(path, *, special="refuse"):
    """Checks that a file can be written at ``path`` and returns its Target.

    ``special`` says what to do with an existing FIFO, device or socket there: "refuse" (an
    OSError naming the path) or "write" (write into it).  Raises IsADirectoryError,
    FileNotFoundError, NotADirectoryError or PermissionError naming the path."""
    if special not in ("refuse", "write"):
        raise ValueError(f"special must be 'refuse' or 'write', not {special!r}")
    name = os.fsdecode(os.fspath(path))
    if not name:
        raise _error(FileNotFoundError, errno.ENOENT, name)
    real = os.path.realpath(name)
    folder = os.path.dirname(real)
    if os.path.isdir(name) or os.path.isdir(real):
        raise _error(IsADirectoryError, errno.EISDIR, name)
    if not os.path.exists(folder):
        # a missing folder, or a path that runs through a file
        parent = folder
        while parent and not os.path.exists(parent):
            parent = os.path.dirname(parent)
        if parent and not os.path.isdir(parent):
            raise _error(NotADirectoryError, errno.ENOTDIR, name)
        raise _error(FileNotFoundError, errno.ENOENT, name)
    if not os.path.isdir(folder):
        raise _error(NotADirectoryError, errno.ENOTDIR, name)
    target = Target(name, real, special)
    kind = _special_kind(real)
    if kind is not None and special == "refuse":
        raise _error(OSError, errno.EINVAL, name, f"not a regular file ({kind})")
    if os.path.exists(real) and not os.access(real, os.W_OK):
        raise _error(PermissionError, errno.EACCES, name)
    if target.replaces and not os.access(folder, os.W_OK | os.X_OK):
        raise _error(PermissionError, errno.EACCES, name)
    return target


def _new_file(folder, base):
    """Creates an empty file of our own next to the target; (fd, path)."""
    while True:
        tmp = os.path.join(folder, f".{base[:200]}.{secrets.token_hex(4)}.tmp")  # within NAME_MAX
        try:
            # Mode 0o666 lets the umask decide, as for any newly written file.
            return os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666), tmp
        except FileExistsError:
            continue


def write_target(target, data):
    """Writes ``data`` (bytes, or str written as UTF-8) to a prepared ``target``."""
    if isinstance(data, str):
        data = data.encode("utf-8")
    if not target.replaces:
        kind = _special_kind(target.path)
        if target.special == "refuse" or kind is None:  # it changed since it was checked
            raise _error(OSError, errno.EINVAL, target.name, f"not a regular file ({kind or 'not a file'})")
        with open(target.path, "wb") as out:
            out.write(data)
        return
    try:
        mode = stat.S_IMODE(os.stat(target.path).st_mode)
    except FileNotFoundError:
        mode = None
    fd, tmp = _new_file(os.path.dirname(target.path), os.path.basename(target.path))
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        if mode is not None:
            os.chmod(tmp, mode)
        os.replace(tmp, target.path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise

