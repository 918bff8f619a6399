"""Writing figures to files and showing them.

A figure is rendered into memory first and the bytes are written to a new
file in the target's folder, which then replaces the target in one rename.
A failed save therefore leaves whatever was at the path (a file, or the file a
symbolic link points to) exactly as it was, and removes only the temporary
file it created itself.  Errors in the path (a folder, a missing folder, a
target or folder that may not be written) are raised before anything is
rendered, naming the path.
"""

import io
import os
from dataclasses import dataclass
from pathlib import Path

from .._io import Target as _FileTarget, prepare_target as _prepare_file, write_target
from .._imports import import_whole


@dataclass(frozen=True)
class Target(_FileTarget):
    """Where one save goes: the name as given (with the format's extension
    added when it had none), the file really written (symbolic links
    resolved), and the image format.  An existing device, pipe or socket is
    written into (``replaces`` is then false)."""

    format: str = "png"


def _supported_formats():
    FigureCanvasBase = import_whole("matplotlib.backend_bases").FigureCanvasBase

    return FigureCanvasBase.get_supported_filetypes()


def prepare_target(path, format=None):
    """Checks that a figure can be saved at ``path`` and returns its Target.

    A text path without an extension gets the default format's one, as
    matplotlib names it ("out" -> "out.png"); an explicit ``format`` leaves
    the name alone.  Raises IsADirectoryError, FileNotFoundError,
    NotADirectoryError or PermissionError naming the path, and ValueError
    for an image format matplotlib cannot write.
    """
    matplotlib = import_whole("matplotlib")

    name = os.fsdecode(os.fspath(path))
    if os.path.isdir(name):
        _prepare_file(name, special="write")  # raises IsADirectoryError naming the path
    if format is None:
        format = os.path.splitext(name)[1][1:]
        if not format:
            format = matplotlib.rcParams["savefig.format"]
            name = name.rstrip(".") + "." + format
    supported = _supported_formats()
    if format.lower() not in supported:
        raise ValueError(f"Format {format!r} is not supported (supported formats: {', '.join(sorted(supported))})")
    checked = _prepare_file(name, special="write")
    return Target(checked.name, checked.path, "write", format.lower())


def write_figure(fig, target, **savefig_kwargs):
    """Renders ``fig`` and writes it to the prepared ``target``."""
    savefig_kwargs.pop("format", None)
    buffer = io.BytesIO()
    fig.savefig(buffer, format=target.format, **savefig_kwargs)
    write_target(target, buffer.getbuffer())


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
    matplotlib = import_whole("matplotlib")

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
    plt = import_whole("matplotlib.pyplot")

    plt.show()
    if not interactive_backend():
        for fig in figures:
            plt.close(fig)
