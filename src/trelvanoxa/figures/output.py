"""Writing figures to files and showing them.

A figure is rendered into memory first and the bytes are written to a new
file in the target's folder, which then replaces the target in one rename.
A failed save therefore leaves whatever was at the path (a file, or the file a
symbolic link points to) exactly as it was, and removes only the temporary
file it created itself.  Errors in the path (a folder, a missing folder, a
target or folder that may not be written) are raised before anything is
rendered, naming the path.
"""

import errno
import io
import os
import secrets
import stat
from dataclasses import dataclass
from pathlib import Path


@dataclass(frozen=True)
class Target:
    """Where one save goes: the name as given (with the format's extension
    added when it had none), the file really written (symbolic links
    resolved), and the image format."""

    name: str
    path: str
    format: str

    @property
    def replaces(self):
        """True when the file is written by renaming a new file over the path;
        false for an existing device, pipe or socket, which is written into."""
        try:
            return stat.S_ISREG(os.stat(self.path).st_mode)
        except FileNotFoundError:
            return True


def _error(kind, code, name):
    return kind(code, os.strerror(code), name)


def prepare_target(path, format=None):
    """Checks that a figure can be saved at ``path`` and returns its Target.

    A text path without an extension gets the default format's one, as
    matplotlib names it ("out" -> "out.png"); an explicit ``format`` leaves
    the name alone.  Raises IsADirectoryError, FileNotFoundError,
    NotADirectoryError or PermissionError naming the path.
    """
    import matplotlib

    name = os.fsdecode(os.fspath(path))
    if os.path.isdir(name):
        raise _error(IsADirectoryError, errno.EISDIR, name)
    if format is None:
        format = os.path.splitext(name)[1][1:]
        if not format:
            format = matplotlib.rcParams["savefig.format"]
            name = name.rstrip(".") + "." + format
    real = os.path.realpath(name)
    folder = os.path.dirname(real)
    if os.path.isdir(real):
        raise _error(IsADirectoryError, errno.EISDIR, name)
    if not os.path.exists(folder):
        raise _error(FileNotFoundError, errno.ENOENT, name)
    if not os.path.isdir(folder):
        raise _error(NotADirectoryError, errno.ENOTDIR, name)
    target = Target(name, real, format.lower())
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


def write_figure(fig, target, **savefig_kwargs):
    """Renders ``fig`` and writes it to the prepared ``target``."""
    savefig_kwargs.pop("format", None)
    buffer = io.BytesIO()
    fig.savefig(buffer, format=target.format, **savefig_kwargs)
    data = buffer.getbuffer()
    if not target.replaces:
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


def save_figure(fig, path, **savefig_kwargs):
    """Saves ``fig`` at ``path`` and returns the path of the file written.

    ``savefig_kwargs`` go to ``Figure.savefig`` (dpi, bbox_inches, format, ...).
    The image format is ``format`` when given, else the path's extension; a
    text path without an extension is written with the default format's
    extension appended, and the returned path says so.  The file appears
    only when the whole image was written: on any failure an existing file
    at the path stays as it was.
    """
    target = prepare_target(path, savefig_kwargs.get("format"))
    write_figure(fig, target, **savefig_kwargs)
    return Path(target.name)


def interactive_backend():
    """True when pyplot's backend shows figures in windows of its own."""
    import matplotlib

    backend = matplotlib.get_backend().lower()
    try:
        from matplotlib.backends import BackendFilter, backend_registry
    except ImportError:  # matplotlib before 3.9
        from matplotlib.rcsetup import non_interactive_bk as batch
    else:
        batch = backend_registry.list_builtin(BackendFilter.NON_INTERACTIVE)
    return backend not in [b.lower() for b in batch]


def show(figures=()):
    """pyplot ``show``; then, when the backend only renders to files, closes
    ``figures`` so that repeated calls do not pile up open figures."""
    import matplotlib.pyplot as plt

    plt.show()
    if not interactive_backend():
        for fig in figures:
            plt.close(fig)
