"""Fixtures of the corvane package's tests: the shipped virtual-module programs they run against,
reached through USB emulation or directly over TCP/IP on loopback."""

from __future__ import annotations

import os
import re
import select
import subprocess
import time
from typing import Callable, Iterator, List

import pytest

import corvane

PROGRAMS = {
    "virtual_module": os.environ.get("CORVANE_VIRTUAL_MODULE", ""),
    "birdtool": os.environ.get("CORVANE_BIRDTOOL", ""),
}


def program(name: str) -> str:
    """A program of the build; the test fails (never skips) when it was not built."""
    path = PROGRAMS[name]
    assert path and os.access(path, os.X_OK), f"{name} was not built (CTest passes its path)"
    return path


class VirtualModule:
    """One running virtual-module process and how to reach it."""

    def __init__(self, serial: int, model: int, options: List[str]) -> None:
        self.serial = serial
        self.model = model
        self.process = subprocess.Popen(
            [program("virtual_module"), "--serial", f"{serial:08X}", "--model", str(model),
             "--heartbeat-ms", "0", *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        lines = self._read_until("usb emulation: ", deadline=time.monotonic() + 20)
        listening = next(line for line in lines if line.startswith("listening on "))
        self.ip, port = re.fullmatch(r"listening on (\S+):(\d+)", listening).groups()
        self.port = int(port)
        self.emulation = lines[-1].split("=", 1)[1]

    def _read_until(self, prefix: str, deadline: float) -> List[str]:
        """Its lines up to the one starting with prefix, read straight from the pipe: a
        buffered reader would hold lines that select() no longer sees."""
        assert self.process.stdout is not None
        descriptor = self.process.stdout.fileno()
        text = ""
        while not re.search(f"^{re.escape(prefix)}.*\n", text, re.M):
            left = deadline - time.monotonic()
            ready, _, _ = select.select([descriptor], [], [], max(left, 0))
            chunk = os.read(descriptor, 4096).decode() if ready else ""
            if not chunk:
                self.stop()
                errors = self.process.stderr.read().decode(errors="replace")
                pytest.fail(f"virtual-module did not start: {text!r} {errors}")
            text += chunk
        lines = text.splitlines()
        return lines[: next(i for i, line in enumerate(lines) if line.startswith(prefix)) + 1]

    def spec(self) -> corvane.ModuleSpec:
        """How to reach it over TCP/IP without discovery."""
        return corvane.ModuleSpec(serial=self.serial, model=self.model, model_name="",
                                  transport=corvane.Transport.TCPIP, ip=self.ip, port=self.port)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


@pytest.fixture
def start_module(monkeypatch: pytest.MonkeyPatch) -> Iterator[Callable[..., VirtualModule]]:
    """Starts virtual modules; every one started is listed for USB emulation."""
    started: List[VirtualModule] = []

    def start(serial: int, *options: str, model: int = 19) -> VirtualModule:
        module = VirtualModule(serial, model, list(options))
        started.append(module)
        monkeypatch.setenv("CORVANE_USB_EMULATION", ",".join(m.emulation for m in started))
        return module

    yield start
    for module in started:
        module.stop()


@pytest.fixture(params=["usb", "tcpip"])
def peer(request: pytest.FixtureRequest, start_module: Callable[..., VirtualModule]):
    """A virtual module and a way to connect to it: by USB discovery, or directly over TCP/IP."""
    module = start_module(0x5A000000 + (1 if request.param == "usb" else 2))
    if request.param == "usb":
        return module, lambda: corvane.Module.connect(module.serial, corvane.Transport.USB)
    return module, lambda: corvane.Module.connect_to(module.spec())
