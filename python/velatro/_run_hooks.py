"""What a run reports while and after it runs: progress, and the engine's log events.

The engine counts its blocks and pairs as it goes; the calling thread reads the
counters a few times a second (that is also when Ctrl-C is seen) and hands them to a
callback. The engine's log events are gathered per run and reach Python's logging
afterwards, one record per distinct event with its count.
"""

from __future__ import annotations

import logging
import sys
from collections.abc import Callable, Iterable
from typing import Any, Union

ProgressState = dict[str, int]
Progress = Union[None, bool, Callable[[ProgressState], object]]

_LOG = logging.getLogger("velatro")
_LEVELS = {
    "ERROR": logging.ERROR,
    "WARNING": logging.WARNING,
    "INFO": logging.INFO,
    "DEBUG": logging.DEBUG,
    "TRACE": logging.DEBUG,
}


class _Bar:
    """A tqdm bar over the run's pair comparisons."""

    def __init__(self, tqdm: Any) -> None:
        self._tqdm = tqdm
        self._bar: Any = None

    def __call__(self, state: ProgressState) -> None:
        total = state["pairs_total"]
        if self._bar is None:
            if not total:
                return  # the blocks are not formed yet
            self._bar = self._tqdm(total=total, unit="pair", unit_scale=True, desc="velatro")
        self._bar.update(state["pairs_done"] - self._bar.n)
        if state["pairs_done"] >= total:
            self.close()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def progress_callback(progress: Progress) -> Callable[[ProgressState], object] | None:
    """The callback a run reports to: `progress` itself when callable; a tqdm bar for
    None (when tqdm is installed and stderr is a terminal) or True (whenever tqdm is
    installed); nothing for False."""
    if callable(progress):
        return progress
    if progress is False:
        return None
    if progress is None and not (hasattr(sys.stderr, "isatty") and sys.stderr.isatty()):
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    return _Bar(tqdm)


def close_progress(callback: object) -> None:
    """Closes a bar that an interrupted or failed run left open."""
    if isinstance(callback, _Bar):
        callback.close()


def emit_engine_log(events: Iterable[tuple[str, str, str, int]]) -> None:
    """Logs the engine's events of one run on the `velatro` logger, one record per
    distinct event; `velatro_count` and `velatro_target` ride along as attributes."""
    for level, target, message, count in events:
        times = f" ({count} times in this run)" if count > 1 else ""
        _LOG.log(
            _LEVELS.get(level, logging.WARNING),
            "%s%s",
            message,
            times,
            extra={"velatro_count": count, "velatro_target": target},
        )
