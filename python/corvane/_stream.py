"""Streams of entity values: an iterator that waits with the GIL released, or a pump thread
that hands each value to a callback, so no Python ever runs on the library's own threads."""

from __future__ import annotations

import threading
import typing
from typing import Any, Callable, Optional

from . import _corvane
from ._errors import Timeout

__all__ = ["Stream", "StreamValue"]


class StreamValue(typing.NamedTuple):
    """One streamed value: the module's timestamp, the value, and its subindex (0 if none)."""

    timestamp: int
    value: int
    subindex: int


class Stream:
    """The values of one streamed get, from ``entity.stream(name)``.

    Use it as a context manager; leaving the block stops the stream at the module. Iterating
    waits at most ``timeout`` seconds per value (Timeout after that) and ends once the stream or
    its module is closed. With ``on_value``, a pump thread calls it with each StreamValue
    instead; an exception it raises stops the pump and is raised again by close().
    """

    def __init__(
        self,
        core: Any,
        module: Any,
        name: str,
        on_value: Optional[Callable[[StreamValue], object]],
        timeout: float,
    ) -> None:
        self._core = core
        self._module = module
        self.name = name
        self.timeout = timeout
        self._on_value = on_value
        self._pump: Optional[threading.Thread] = None
        self._pump_error: Optional[BaseException] = None
        self._closing = threading.Event()
        if on_value is not None:
            self._pump = threading.Thread(
                target=self._run_pump, name=f"corvane {name}", daemon=True
            )
            self._pump.start()

    @property
    def dropped(self) -> int:
        """Values dropped because the reader fell behind."""
        return int(self._core.dropped)

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __iter__(self) -> typing.Iterator[StreamValue]:
        if self._pump is not None:
            raise RuntimeError("a stream with on_value delivers to its callback, not an iterator")
        return self

    def __next__(self) -> StreamValue:
        sample = self._core.next(self.timeout)
        if sample is None:
            raise StopIteration
        return StreamValue(*sample)

    def _run_pump(self) -> None:
        assert self._on_value is not None
        while not self._closing.is_set():
            try:
                # Short waits, so close() is noticed even while no value comes.
                sample = self._core.next(min(self.timeout, 0.25))
            except Timeout:
                continue
            except BaseException as error:  # reported by close()
                self._pump_error = error
                return
            if sample is None:
                return
            try:
                self._on_value(StreamValue(*sample))
            except BaseException as error:
                self._pump_error = error
                return

    def close(self) -> None:
        """Stops the stream (and its pump thread); harmless when closed already."""
        self._closing.set()
        _corvane._close_stream(self._module, self._core)
        if self._pump is not None and self._pump is not threading.current_thread():
            self._pump.join()
        if self._pump_error is not None:
            error, self._pump_error = self._pump_error, None
            raise error

