"""Saving figures: the file appears whole or not at all, path errors come first and name the path."""

import errno
import os
import stat
import threading

import matplotlib.pyplot as plt
import pytest

from helpers import png_size, run_python
from trelvanoxa.figures import save_figure

BROKEN_MATH = "$\\bad{$"  # mathtext that fails when the figure is rendered


def figure(broken=False, size=(2, 1)):
    fig = plt.figure(figsize=size)
    fig.gca().plot([0, 1], [1, 0])
    if broken:
        fig.text(0.5, 0.5, BROKEN_MATH)
    return fig


@pytest.mark.parametrize("name,kwargs,written,head", [
    ("out.png", {"dpi": 50}, "out.png", b"\x89PNG"),
    ("out", {"dpi": 50}, "out.png", b"\x89PNG"),  # the default format's extension is added
    ("out.", {"dpi": 50}, "out.png", b"\x89PNG"),
    ("out.PDF", {}, "out.PDF", b"%PDF"),
    ("out.svg", {"bbox_inches": "tight"}, "out.svg", b"<?xml"),
    ("out.img", {"format": "png", "dpi": 50}, "out.img", b"\x89PNG"),  # an explicit format keeps the name
])
def test_written_file_and_returned_path(tmp_path, name, kwargs, written, head):
    got = save_figure(figure(), tmp_path / name, **kwargs)
    assert got == tmp_path / written and os.listdir(tmp_path) == [written]
    assert (tmp_path / written).read_bytes().startswith(head)
    if head == b"\x89PNG" and "bbox_inches" not in kwargs:
        assert png_size(got) == (100, 50)
    assert save_figure(figure(), str(tmp_path / name), **kwargs) == tmp_path / written  # text paths too


def test_replacing_keeps_mode_and_writes_through_links(tmp_path):
    old = tmp_path / "old.png"
    old.write_bytes(b"old")
    old.chmod(0o640)
    save_figure(figure(), old, dpi=50)
    assert png_size(old) == (100, 50) and stat.S_IMODE(old.stat().st_mode) == 0o640
    link = tmp_path / "link.png"
    link.symlink_to(old)
    save_figure(figure(size=(3, 1)), link, dpi=50)
    assert link.is_symlink() and png_size(old) == (150, 50) and sorted(os.listdir(tmp_path)) == ["link.png", "old.png"]


def test_failed_render_leaves_targets_untouched(tmp_path):
    old, link, fresh = tmp_path / "old.png", tmp_path / "link.png", tmp_path / "fresh.png"
    old.write_bytes(b"old")
    link.symlink_to(old)
    for path in (old, link, fresh):
        with pytest.raises(ValueError, match="bad"):
            save_figure(figure(broken=True), path)
    assert old.read_bytes() == b"old" and link.is_symlink() and sorted(os.listdir(tmp_path)) == ["link.png", "old.png"]
    with pytest.raises(ValueError, match="not supported"):
        save_figure(figure(), tmp_path / "x.nosuchformat")
    assert sorted(os.listdir(tmp_path)) == ["link.png", "old.png"]


def test_path_errors_come_before_rendering(tmp_path):
    (tmp_path / "dir.png").mkdir()
    (tmp_path / "file").write_bytes(b"")
    cases = [(tmp_path, IsADirectoryError, errno.EISDIR), (tmp_path / "dir.png", IsADirectoryError, errno.EISDIR),
             (str(tmp_path) + "/", IsADirectoryError, errno.EISDIR),
             (tmp_path / "missing" / "x.png", FileNotFoundError, errno.ENOENT),
             (tmp_path / "file" / "x.png", NotADirectoryError, errno.ENOTDIR)]
    for path, kind, code in cases:  # the broken figure would raise ValueError if it were rendered
        with pytest.raises(kind) as err:
            save_figure(figure(broken=True), path)
        assert err.value.errno == code and err.value.filename == os.fspath(path) and os.fspath(path) in str(err.value)
    assert sorted(os.listdir(tmp_path)) == ["dir.png", "file"]


def test_device_like_targets_are_written_into(tmp_path):
    fifo = tmp_path / "pipe.png"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()))
    reader.start()
    save_figure(figure(), fifo, dpi=50)
    reader.join(30)
    assert got[0].startswith(b"\x89PNG") and stat.S_ISFIFO(os.lstat(fifo).st_mode) and os.listdir(tmp_path) == [
        "pipe.png"]


UNWRITABLE = """
import os, sys, tempfile, shutil
import matplotlib.pyplot as plt
from trelvanoxa.figures import save_figure
fig = plt.figure(figsize=(1, 1))
base = tempfile.mkdtemp(dir=sys.argv[1] if os.geteuid() else None)  # root: a folder the unprivileged user reaches
os.chmod(base, 0o755)
pid = os.fork()
if pid == 0:
    if os.geteuid() == 0:
        os.chown(base, 65534, 65534)
        os.setgid(65534)
        os.setuid(65534)
    old = os.path.join(base, "old.png")
    with open(old, "wb") as f:
        f.write(b"old")
    os.chmod(old, 0o444)
    out = []
    for path, mode in ((old, 0o755), (os.path.join(base, "new.png"), 0o555), (old, 0o555)):
        os.chmod(base, mode)
        try:
            save_figure(fig, path)
            out.append("saved")
        except PermissionError as e:
            out.append(f"{type(e).__name__} {e.filename == path}")
    os.chmod(base, 0o755)
    with open(old, "rb") as f:
        out.append(f"{f.read()!r} {sorted(os.listdir(base))}")
    print("|".join(out), flush=True)
    os._exit(0)
os.waitpid(pid, 0)
shutil.rmtree(base)
"""


def test_unwritable_target_or_folder(tmp_path):
    run = run_python(["-c", UNWRITABLE, str(tmp_path)])
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip().split("|") == ["PermissionError True"] * 3 + ["b'old' ['old.png']"]


FULL_DISK = """
import errno, io, os, resource, signal, sys
import matplotlib.pyplot as plt
from trelvanoxa.figures import save_figure
fig = plt.figure(figsize=(8, 6))
fig.gca().plot(range(2000), [i % 17 for i in range(2000)])
for fmt in ("png", "pdf"):
    fig.savefig(io.BytesIO(), format=fmt)  # fonts and caches are loaded before the limit
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
for fmt in ("png", "pdf"):
    try:
        save_figure(fig, os.path.join(sys.argv[1], "fig." + fmt))
        print(fmt, "saved")
    except Exception as e:
        print(fmt, type(e).__name__, getattr(e, "errno", None) == errno.EFBIG)
"""


def test_full_disk_surfaces_the_os_error_and_keeps_the_old_file(tmp_path):
    for fmt in ("png", "pdf"):
        (tmp_path / f"fig.{fmt}").write_bytes(b"old " + fmt.encode())
    run = run_python(["-c", FULL_DISK, str(tmp_path)])
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.splitlines() == ["png OSError True", "pdf OSError True"]
    assert sorted(os.listdir(tmp_path)) == ["fig.pdf", "fig.png"]  # no partial or temporary file left
    assert [(tmp_path / f"fig.{fmt}").read_bytes() for fmt in ("png", "pdf")] == [b"old png", b"old pdf"]


def test_long_names(tmp_path):
    name = "n" * 250 + ".png"  # the temporary file beside it must still be a valid name
    assert save_figure(figure(), tmp_path / name, dpi=20) == tmp_path / name and os.listdir(tmp_path) == [name]
