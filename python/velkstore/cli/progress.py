"""Progress on standard error: a bar where the total is known, elapsed time
where it is not.  Off unless standard error is a terminal or it was asked
for; tqdm is imported only when a bar is shown."""

from __future__ import annotations

import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, Protocol


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

    bar = tqdm(
        total=total,
        desc=desc,
        unit="B" if in_bytes else unit,
        unit_scale=True,
        unit_divisor=1024 if in_bytes else 1000,
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
