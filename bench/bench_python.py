#!/usr/bin/env python3
"""The Python package against what it wraps, every ratio measured in this one run against the
same virtual modules (the shipped program, reached through USB emulation):
  python_get_serial_number  m.system.get_serial_number() per call, against the C++
                            SystemClass::getSerialNumber on the same module and link
  python_two_threads        two threads on two modules, against one thread on one module
  python_update_1mib        corvane.update of a 1 MiB image, against Updater -U of the same

    PYTHONPATH=BUILD/python /usr/bin/python3 bench/bench_python.py BUILD
"""

from __future__ import annotations

import os
import re
import select
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
from typing import Callable, List

import corvane
from corvane import _corvane

# Modules of the thread and update figures answer after 1 ms, as the C++ benchmarks' do: a USB
# module's answer waits for its frames. The per-call figure runs without it, the harder case
# for the Python layer, whose cost is then a larger share of each call.
LATENCY_US = 1000


class VirtualModule:
    def __init__(self, build: str, serial: int, latency_us: int) -> None:
        self.serial = serial
        self.process = subprocess.Popen(
            [os.path.join(build, "tools/virtual-module/virtual-module"), "--serial",
             f"{serial:08X}", "--heartbeat-ms", "0", "--latency-us", str(latency_us)],
            stdout=subprocess.PIPE)
        text, deadline = "", time.monotonic() + 20
        while "usb emulation: " not in text or not text.endswith("\n"):
            ready, _, _ = select.select([self.process.stdout], [], [],
                                        max(deadline - time.monotonic(), 0))
            chunk = os.read(self.process.stdout.fileno(), 4096).decode() if ready else ""
            if not chunk:
                sys.exit(f"virtual-module did not start: {text!r}")
            text += chunk
        self.emulation = re.search(r"CORVANE_USB_EMULATION=(\S+)", text).group(1)

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=10)


def report(name: str, value: float, unit: str, ratio: float, baseline: str) -> None:
    print(f"{name}: {value:.4g} {unit} (ratio {ratio:.3f} vs {baseline})", flush=True)


def timed(action: Callable[[], None]) -> float:
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def serial_number_calls(module: VirtualModule, calls: int = 1000, rounds: int = 21) -> None:
    with corvane.Module.connect(module.serial) as m:
        def python_calls() -> None:
            for _ in range(calls):
                m.system.get_serial_number()

        python_calls()  # warm up both paths on the same link
        _corvane._cpp_serial_reads(m, calls)
        python, cpp = [], []
        for _ in range(rounds):  # interleaved, so drift on the machine hits both alike
            python.append(timed(python_calls) / calls)
            cpp.append(_corvane._cpp_serial_reads(m, calls) / calls)
    value, baseline = statistics.median(python), statistics.median(cpp)
    report("python_get_serial_number", value * 1e6, "us/call", value / baseline,
           "C++ SystemClass::getSerialNumber")


def two_threads(modules: List[VirtualModule], calls: int = 400, rounds: int = 5) -> None:
    connected = [corvane.Module.connect(module.serial) for module in modules]

    def reads(m: corvane.Module) -> None:
        for _ in range(calls):
            m.system.get_serial_number()

    def both() -> None:
        threads = [threading.Thread(target=reads, args=(m,)) for m in connected]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    one, two = [], []
    for _ in range(rounds):
        one.append(calls / timed(lambda: reads(connected[0])))
        two.append(2 * calls / timed(both))
    for m in connected:
        m.close()
    value, baseline = statistics.median(two), statistics.median(one)
    report("python_two_threads", value, "calls/s", value / baseline, "one thread")


def write_image(folder: str, build: str, model_name: str) -> str:
    firmware = bytearray((3 + 7 * i) & 0xFF for i in range(1 << 20))
    firmware[64:76] = b"CVFW" + struct.pack(">II", 4242, 2 << 28 | 11 << 24 | 5)
    with open(os.path.join(folder, "firmware.bin"), "wb") as out:
        out.write(firmware)
    with open(os.path.join(folder, "loader.bin"), "wb") as out:
        out.write(bytes(300))
    image = os.path.join(folder, "image.bird")
    subprocess.run([os.path.join(build, "tools/birdtool/birdtool"), "create", "-o", image,
                    "--loader", "0x1000", os.path.join(folder, "loader.bin"),
                    "--firmware", "0x8000", os.path.join(folder, "firmware.bin"),
                    "--offsets", "0x8010", "0", "--version", "2.11.5", "--serial", "0",
                    "--model", model_name], check=True, stdout=subprocess.DEVNULL)
    return image


def update(build: str, module: VirtualModule, rounds: int = 5) -> None:
    with tempfile.TemporaryDirectory() as folder:
        model_name = next(s.model_name for s in corvane.discover() if s.serial == module.serial)
        image = write_image(folder, build, model_name)
        updater = [os.path.join(build, "src/updater/Updater"), "-U", "-d", f"{module.serial:08X}",
                   "-f", image, "-i", folder]

        def with_updater() -> None:
            subprocess.run(updater, check=True, stdout=subprocess.DEVNULL)

        def with_python() -> None:
            corvane.update(module.serial, image, store=folder)

        python, cpp = [], []
        for _ in range(rounds):
            cpp.append(timed(with_updater))
            python.append(timed(with_python))
    value, baseline = statistics.median(python), statistics.median(cpp)
    report("python_update_1mib", value, "s", value / baseline, "Updater -U")


def main() -> int:
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = sys.argv[1]
    modules = [VirtualModule(build, 0x7A000001, 0), VirtualModule(build, 0x7A000002, LATENCY_US),
               VirtualModule(build, 0x7A000003, LATENCY_US)]
    os.environ["CORVANE_USB_EMULATION"] = ",".join(m.emulation for m in modules)
    try:
        serial_number_calls(modules[0])
        two_threads(modules[1:])
        update(build, modules[1])
    finally:
        for module in modules:
            module.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
