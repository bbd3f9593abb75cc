"""Progress of a run: tqdm's bar where tqdm is installed (an ETA, and a
widget in notebooks), else a plain bar redrawn in place on a stream.

A bar is a callable taking the fraction of the run done (what the drivers
call after each output row) with a ``close()`` method.
"""

from __future__ import annotations

import sys

__all__ = ["PlainBar", "TqdmBar", "progress_bar"]


class PlainBar:
    """``LABEL: [#####.....]  50%`` on `stream`, redrawn when the percentage
    changes and wiped by close().

    Examples
    --------
    >>> import io
    >>> from velmora._progress import PlainBar
    >>> out = io.StringIO()
    >>> bar = PlainBar(out, label="run")
    >>> bar(0.5)
    >>> out.getvalue().endswith("]  50%")
    True
    >>> bar.close()
    >>> out.getvalue().endswith(" \\r")
    True
    """

    width = 40

    def __init__(self, stream=None, label: str = "velmora"):
        self.stream = sys.stderr if stream is None else stream
        self.label = label
        self.shown = -1

    def __call__(self, done: float) -> None:
        percent = int(100.0 * done)
        if percent == self.shown:
            return
        self.shown = percent
        filled = int(self.width * done)
        self.stream.write(f"\r{self.label}: [{'#' * filled}{'.' * (self.width - filled)}] {percent:3d}%")
        self.stream.flush()

    def close(self) -> None:
        if self.shown >= 0:
            self.stream.write("\r" + " " * (len(self.label) + self.width + 10) + "\r")
            self.stream.flush()
            self.shown = -1


class TqdmBar:
    """tqdm's bar over the output rows (tqdm.auto: a widget in notebooks).

    Examples
    --------
    >>> import io
    >>> from velmora._progress import TqdmBar
    >>> out = io.StringIO()
    >>> bar = TqdmBar(10, label="run", stream=out)
    >>> bar(0.5)
    >>> bar.bar.n, out.getvalue().startswith("\\rrun:   0%")
    (5, True)
    >>> bar.close()
    """

    def __init__(self, total: int, label: str = "velmora", stream=None):
        from tqdm.auto import tqdm

        self.total = total
        self.bar = tqdm(total=total, desc=label, unit="row", file=stream, leave=False)

    def __call__(self, done: float) -> None:
        rows = min(self.total, round(done * self.total))
        if rows > self.bar.n:
            self.bar.update(rows - self.bar.n)

    def close(self) -> None:
        self.bar.close()


def progress_bar(total: int, label: str = "velmora", stream=None):
    """tqdm's bar when tqdm is installed, the plain bar otherwise.

    Examples
    --------
    >>> import io
    >>> from velmora._progress import progress_bar
    >>> bar = progress_bar(1000, label="run", stream=io.StringIO())
    >>> bar(0.25)
    >>> bar.close()
    """
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return PlainBar(stream, label)
    return TqdmBar(total, label, stream)
