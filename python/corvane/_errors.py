"""The exception tree of the corvane package, one class per kind of failure the library reports.

Names and texts come from the library's own error table; only the choice of class is made here.
"""

from __future__ import annotations

from typing import Dict, Optional, Tuple, Type

from . import _corvane

__all__ = [
    "ERROR_TABLE",
    "ERROR_TABLE_UNKNOWN",
    "Busy",
    "ConnectionLost",
    "CorvaneError",
    "InvalidParameter",
    "NotFound",
    "PermissionDenied",
    "Timeout",
    "UpdateFailed",
    "error_class",
    "error_for",
]

#: code -> (name, description), from the library's table.
ERROR_TABLE: Dict[int, Tuple[str, str]] = {code: (name, text) for code, name, text in _corvane.error_table()}

#: The code the library gives anything it cannot name (aErrUnknown).
ERROR_TABLE_UNKNOWN: int = max(ERROR_TABLE)


class CorvaneError(Exception):
    """A call into the library failed.

    ``code`` is the library's error number, ``name`` its symbolic name (``"aErrTimeout"``); the
    message is the library's text for it, followed by what the call was doing.
    """

    def __init__(self, code: int, detail: str = "") -> None:
        name, text = ERROR_TABLE.get(code, ERROR_TABLE[max(ERROR_TABLE)])
        self.code = code
        self.name = name
        self.detail = detail
        super().__init__(f"{text} ({name})" + (f": {detail}" if detail else ""))


class NotFound(CorvaneError, LookupError):
    """No such module, file or entity (aErrNotFound)."""


class Timeout(CorvaneError, TimeoutError):
    """Nothing answered in time (aErrTimeout)."""


class Busy(CorvaneError):
    """Another user has the module open (aErrBusy)."""


class ConnectionLost(CorvaneError, ConnectionError):
    """The link does not run, or the module was closed (aErrConnection)."""


class PermissionDenied(CorvaneError, PermissionError):
    """The system refuses access to the module's device (aErrPermission)."""


class InvalidParameter(CorvaneError, ValueError):
    """An argument the library refuses (aErrParam)."""


class UpdateFailed(CorvaneError):
    """An update did not leave the module running the image.

    ``result`` is the UpdateResult of the attempt; the message holds the flow's error lines and,
    when the module was left in its loader, the command that recovers it.
    """

    def __init__(self, code: int, detail: str = "", result: Optional[object] = None) -> None:
        super().__init__(code, detail)
        self.result = result


_CLASS_BY_NAME: Dict[str, Type[CorvaneError]] = {
    "aErrNotFound": NotFound,
    "aErrTimeout": Timeout,
    "aErrBusy": Busy,
    "aErrConnection": ConnectionLost,
    "aErrPermission": PermissionDenied,
    "aErrParam": InvalidParameter,
}


def error_class(code: int) -> Type[CorvaneError]:
    """The exception class a library code raises."""
    name = ERROR_TABLE.get(code, ("", ""))[0]
    return _CLASS_BY_NAME.get(name, CorvaneError)


def error_for(code: int, detail: str = "") -> CorvaneError:
    """The exception for a library code, as every call of the package raises it."""
    return error_class(code)(code, detail)
