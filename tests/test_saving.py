"""Saving figures: the file appears whole or not at all, path errors come first and name the path."""

import errno
import os

import matplotlib.pyplot as plt
import pytest

from helpers import png_size
from trelvanoxa.figures import save_figure

BROKEN_MATH = "$\\bad{$"  # mathtext that fails when the figure is rendered


def figure(broken=False, size=(2, 1)):
    fig = plt.figure(figsize=size)
    fig.gca().plot([0, 1], [1, 0])
    if broken:
        fig.text(0.5, 0.5, BROKEN_MATH)
    return fig


@pytest.mark.parametrize("name,kwargs,written,head", [
    ("out", {"dpi": 50}, "out.png", b"\x89PNG"),  # the default format's extension is added
    ("out.PDF", {}, "out.PDF", b"%PDF"),
    ("out.img", {"format": "png", "dpi": 50}, "out.img", b"\x89PNG"),  # an explicit format keeps the name
])
def test_written_file_and_returned_path(tmp_path, name, kwargs, written, head):
    got = save_figure(figure(), tmp_path / name, **kwargs)
    assert got == tmp_path / written and os.listdir(tmp_path) == [written]
    assert (tmp_path / written).read_bytes().startswith(head)
    if head == b"\x89PNG":
        assert png_size(got) == (100, 50)
    assert save_figure(figure(), str(tmp_path / name), **kwargs) == tmp_path / written  # text paths too


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
