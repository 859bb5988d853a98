"""corvane: Corvane modules from Python.

Discover modules, connect to them, read and set their entities, stream values, exchange raw
packets and update firmware through the same flow as ``Updater -U``. Every call that waits on a
module releases the GIL; every failure raises a CorvaneError subclass.

    import corvane
    for spec in corvane.discover():
        with corvane.Module.connect(spec.serial) as m:
            print(hex(m.system.get_serial_number()), m.temperature[0].get_value())
"""

from __future__ import annotations

import enum
import os
from dataclasses import dataclass
from typing import Callable, List, Optional, Union

from . import _corvane, _errors
from ._corvane import BirdBlock, BirdFile, EntityGroup, Link, Module
from ._errors import (
    Busy,
    ConnectionLost,
    CorvaneError,
    InvalidParameter,
    NotFound,
    PermissionDenied,
    Timeout,
    UpdateFailed,
    error_class,
    error_for,
)
from ._stream import Stream, StreamValue

__version__: str = _corvane.__version__

__all__ = [
    "BirdBlock",
    "BirdFile",
    "Busy",
    "ConnectionLost",
    "CorvaneError",
    "EntityGroup",
    "InvalidParameter",
    "Link",
    "Module",
    "ModuleSpec",
    "NotFound",
    "PermissionDenied",
    "Stream",
    "StreamValue",
    "Timeout",
    "Transport",
    "UpdateFailed",
    "UpdateResult",
    "discover",
    "entity_names",
    "error_class",
    "error_for",
    "update",
]


class Transport(enum.IntEnum):
    """How a module is reached: the library's link types."""

    USB = 1
    TCPIP = 2
    SERIAL = 3
    AETHER = 4


@dataclass(frozen=True)
class ModuleSpec:
    """A module found by discover(), or described by hand for Module.connect_to().

    ``address`` is the module's address on its module network; ``ip`` and ``port`` are None
    for USB.
    """

    serial: int
    model: int
    model_name: str
    transport: Transport
    address: int = 0
    ip: Optional[str] = None
    port: Optional[int] = None


def discover(
    transport: Transport = Transport.USB, timeout: Optional[float] = None
) -> List[ModuleSpec]:
    """The modules reachable over transport.

    Without timeout one search runs (USB answers at once; TCP/IP listens for about 2 s). With
    timeout, searches repeat until a module answers or that many seconds have gone by, for
    modules that are still starting. Discovering nothing is an empty list.
    """
    found = _corvane.discover(int(transport), timeout)
    return [
        ModuleSpec(
            serial=serial,
            model=model,
            model_name=model_name,
            transport=Transport(kind),
            address=address,
            ip=ip,
            port=port,
        )
        for kind, serial, model, model_name, address, ip, port in found
    ]


def entity_names() -> List[str]:
    """The entity classes as Module attributes (``m.<name>``), in command order."""
    return list(_corvane.entity_names())


@dataclass(frozen=True)
class UpdateResult:
    """What an update did: ``outcome`` is "updated" or "failed"; ``running_build`` and
    ``running_version`` are what the module reported after the reboot (None when it did not
    say); ``seconds`` the whole update, read-back included. ``errors`` are the flow's error
    lines and ``recovery`` the command that recovers a module a failure left in its loader."""

    serial: int
    outcome: str
    running_build: Optional[int]
    running_version: Optional[str]
    seconds: float
    transport: str
    image_version: str
    bytes: int
    verdict: str
    errors: List[str]
    failure: str
    recovery: str


def update(
    serial: int,
    image: Union[str, "os.PathLike[str]", BirdFile],
    transport: Transport = Transport.USB,
    progress: Optional[Callable[[int, int], object]] = None,
    *,
    store: Optional[str] = None,
    come_back: float = 15.0,
) -> UpdateResult:
    """Installs a BIRD image into the module through the Updater's own update flow.

    It is the flow of ``Updater -U SERIAL -f IMAGE``: the image is checked against the module,
    loader and firmware go in, the module reboots and is read back. Like it, the flow reaches
    the module over USB first, then TCP/IP; ``transport`` must be one of the two, and the
    result's ``transport`` says which was used. ``progress(done_bytes, total_bytes)`` is called
    on the calling thread during the firmware transfer; an exception it raises is raised once
    the update has finished (a transfer stopped halfway would leave the module in its loader).
    ``store`` is the Updater's -i (its store folder, home directory by default); ``come_back``
    how long the module may take to be reached again after its reboot.

    Raises UpdateFailed, with the result and the recovery advice, when the module does not end
    up running the image.
    """
    if isinstance(image, BirdFile):
        path = image.path
    else:
        path = os.fspath(image)
    if not isinstance(path, str):
        raise InvalidParameter(2, "image is a path or a BirdFile")
    fields = _corvane.update(
        int(serial), path, int(Transport(transport)), progress, store or "", float(come_back)
    )
    code = fields.pop("code")
    result = UpdateResult(**fields)
    if result.outcome != "updated":
        lines = list(result.errors)
        if result.recovery:
            lines.append("To recover the module: " + result.recovery)
        # A flow that noted no library code failed in a way only its lines describe.
        raise UpdateFailed(code or _errors.ERROR_TABLE_UNKNOWN, "; ".join(lines), result)
    return result
