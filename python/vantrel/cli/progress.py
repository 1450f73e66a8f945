"""Progress on a terminal: files and markets done, and the closing summary."""

from __future__ import annotations

import sys
from collections.abc import Callable

from .._sources import TYPE_CHECKING, MemberGroup
from .tasks import CataloguePart, Counts, task_size

if TYPE_CHECKING:
    from .tasks import Task


def counted(number: int, thing: str) -> str:
    return f"{number:,} {thing}" + ("" if number == 1 else "s")


def _files_in(task: Task) -> int:
    if isinstance(task, CataloguePart):
        return task.recordings
    if isinstance(task, tuple):
        return len(task)
    return len(task.members) if isinstance(task, MemberGroup) else 1


class Progress:
    """Files (an archive's members counted one by one), markets and bytes done, as a bar on a
    terminal; nothing elsewhere or without rich/tqdm."""

    def __init__(self, tasks: list[Task], enabled: bool) -> None:
        self.total = sum(task_size(t) for t in tasks)
        self.count = sum(_files_in(t) for t in tasks)
        self.done_files = 0
        self.counts = Counts()
        self._advance: Callable[[int], None] = lambda n: None
        self._stop: Callable[[], None] = lambda: None
        if enabled and sys.stderr.isatty():
            self._start()

    def text(self) -> str:
        return f"{self.done_files}/{self.count} files, {counted(self.counts.markets, 'market')}"

    def _start(self) -> None:
        try:
            from rich.console import Console
            from rich.progress import (
                BarColumn,
                DownloadColumn,
                TextColumn,
                TimeRemainingColumn,
            )
            from rich.progress import Progress as Bar
        except ImportError:
            self._start_tqdm()
            return
        # stdout may be the data (info --json): the bar keeps to stderr
        bar = Bar(TextColumn("{task.description}"), BarColumn(), DownloadColumn(),
                  TimeRemainingColumn(), transient=True, console=Console(stderr=True))
        task = bar.add_task("replaying", total=self.total)
        bar.start()

        def advance(size: int) -> None:
            bar.update(task, advance=size, description=self.text())

        self._advance, self._stop = advance, bar.stop
        self._advance(0)

    def _start_tqdm(self) -> None:
        try:
            from tqdm import tqdm
        except ImportError:
            return
        bar = tqdm(total=self.total, unit="B", unit_scale=True, leave=False, file=sys.stderr)

        def advance(size: int) -> None:
            bar.set_postfix_str(self.text(), refresh=False)
            bar.update(size)

        self._advance, self._stop = advance, bar.close

    def file_done(self, task: Task, counts: Counts) -> None:
        self.done_files += _files_in(task)
        self.counts.add(counts)
        self._advance(task_size(task))

    def close(self) -> None:
        self._stop()
