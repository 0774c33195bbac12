"""Progress on standard error: a bar where the total is known, elapsed time
where it is not.  Off unless standard error is a terminal or it was asked
for; tqdm is imported only when a bar is shown."""

from __future__ import annotations

import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, Protocol


def human_size(size: int) -> str:
    """A size in binary units, as every message of the command gives them:
    "512 B", "3.2 KiB", "434.1 MiB"."""
    if size < 1024:
        return f"{size} B"
    value = float(size)
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        value /= 1024
        if value < 1024 or unit == "TiB":
            break
    return f"{value:.1f} {unit}"


class Meter(Protocol):
    def update(self, n: int) -> Any: ...


class _Silent:
    def update(self, n: int) -> None:
        pass


def wanted(choice: bool | None) -> bool:
    """--progress / --no-progress, or by default: is standard error a terminal?"""
    if choice is not None:
        return choice
    return sys.stderr is not None and sys.stderr.isatty()


@contextmanager
def meter(
    enabled: bool, desc: str, total: int | None, unit: str = "it", *, in_bytes: bool = False,
    bar_format: str | None = None,
) -> Iterator[Meter]:
    """A meter to `update(n)` as work is done; silent when not *enabled*."""
    if not enabled or sys.stderr is None:
        yield _Silent()
        return
    from tqdm import tqdm  # type: ignore[import-untyped]

    if in_bytes:
        # tqdm's own scaling gives sizes in 1024s but labels them (and the
        # rate, in 1000s) with decimal prefixes; the text is written here
        # and shown in the place of the unit.
        layout = "{desc}: {percentage:3.0f}%|{bar}| {unit}" if total else "{desc}: {unit}"
        bar = tqdm(total=total, desc=desc, file=sys.stderr, mininterval=0.25, dynamic_ncols=True,
                   leave=True, bar_format=layout, unit="")
        try:
            yield _Bytes(bar, tqdm.format_interval)
        finally:
            bar.close()
        return
    bar = tqdm(
        total=total,
        desc=desc,
        unit=unit,
        unit_scale=True,
        file=sys.stderr,
        mininterval=0.25,
        dynamic_ncols=True,
        leave=True,
        bar_format=bar_format,
    )
    try:
        yield bar
    finally:
        bar.close()


class _Bytes:
    """A tqdm bar counting bytes, with sizes and rate in binary units."""

    def __init__(self, bar: Any, interval: Any) -> None:
        self.bar = bar
        self.interval = interval

    def update(self, n: int) -> None:
        bar = self.bar
        elapsed = bar.format_dict["elapsed"]
        done = bar.n + n
        rate = done / elapsed if elapsed > 0 else 0.0
        text = human_size(done)
        if bar.total:
            left = (bar.total - done) / rate if rate else 0
            text += f"/{human_size(bar.total)} [{self.interval(elapsed)}<{self.interval(left)}"
        else:
            text += f" [{self.interval(elapsed)}"
        bar.unit = f"{text}, {human_size(int(rate))}/s]"
        bar.update(n)


@contextmanager
def ticking(enabled: bool, desc: str) -> Iterator[None]:
    """Elapsed time, refreshed from a thread, while one long call runs."""
    with meter(enabled, desc, None, bar_format="{desc}: {elapsed}") as bar:
        refresh = getattr(bar, "refresh", None)
        if refresh is None:
            yield
            return
        done = threading.Event()

        def tick() -> None:
            while not done.wait(0.5):
                refresh()

        thread = threading.Thread(target=tick, daemon=True)
        thread.start()
        try:
            yield
        finally:
            done.set()
            thread.join()
