"""corvane.update and BirdFile against the virtual module's upgrade protocol, through the same
flow as Updater -U: a real update with progress, refused images, and bad input."""

from __future__ import annotations

import os
import struct
import subprocess
import threading
from pathlib import Path

import pytest

import corvane
from conftest import program

BUILD, VERSION = 4242, "2.11.5"


def write_image(folder: Path, serial: int, model_name: str, size: int = 64 * 1024,
                version: str = VERSION, build: int = BUILD, any_serial: bool = False) -> Path:
    """A BIRD file whose firmware names its build and version the way the virtual module reads
    them after the reboot: "CVFW", the build and the packed version at byte 64. With any_serial
    an offsets block lets every module of the model take it."""
    major, minor, patch = (int(part) for part in version.split("."))
    firmware = bytearray((3 + 7 * i) & 0xFF for i in range(size))
    firmware[64:76] = b"CVFW" + struct.pack(">II", build, major << 28 | minor << 24 | patch)
    (folder / "firmware.bin").write_bytes(firmware)
    (folder / "loader.bin").write_bytes(bytes(300))
    image = folder / f"{serial:08X}-{model_name}.bird"
    subprocess.run([program("birdtool"), "create", "-o", str(image),
                    "--loader", "0x1000", str(folder / "loader.bin"),
                    "--firmware", "0x8000", str(folder / "firmware.bin"),
                    *(["--offsets", "0x8010", "0"] if any_serial else []),
                   "--version", version, "--serial", f"{serial:08X}", "--model", model_name],
                   check=True, capture_output=True, timeout=60)
    return image


@pytest.fixture
def target(start_module, tmp_path, monkeypatch):
    """A virtual module to update, its model's name, and a store folder of the test's own."""
    monkeypatch.setenv("HOME", str(tmp_path))
    module = start_module(0x6A000001)
    spec = next(s for s in corvane.discover() if s.serial == module.serial)
    return module, spec.model_name


def test_update_installs_the_image_and_reports_progress(target, tmp_path) -> None:
    module, model_name = target
    image = corvane.BirdFile(str(write_image(tmp_path, module.serial, model_name)))
    assert (image.serial, image.model, image.version) == (module.serial, model_name, VERSION)
    assert [block.type for block in image.blocks if block.type in (0, 1)] == [0, 1]
    calls = []
    def progress(done: int, total: int) -> None:
        calls.append((done, total, threading.get_ident()))

    result = corvane.update(module.serial, image, progress=progress)
    assert (result.serial, result.outcome, result.running_build, result.running_version) == (
        module.serial, "updated", BUILD, VERSION)
    assert result.seconds > 0 and result.errors == []
    total = image.blocks[[b.type for b in image.blocks].index(1)].length
    assert calls and calls[-1][:2] == (total, total)
    assert [done for done, _, _ in calls] == sorted(done for done, _, _ in calls)
    assert {thread for _, _, thread in calls} == {threading.get_ident()}
    with corvane.Module.connect(module.serial) as m:
        assert m.system.get_build() == BUILD


def test_a_failing_progress_callback_is_raised_once_the_update_is_done(target, tmp_path) -> None:
    module, model_name = target
    image = write_image(tmp_path, module.serial, model_name)

    def progress(done: int, total: int) -> None:
        raise KeyError("progress display broke")

    with pytest.raises(KeyError):
        corvane.update(module.serial, image, progress=progress)
    with corvane.Module.connect(module.serial) as m:
        assert m.system.get_build() == BUILD, "the transfer went on to the end"


REFUSED_IMAGES = [
    ("another model", dict(model_name="OtherModel")),
    ("another serial", dict(serial=0x6A0000FF)),
]


@pytest.mark.parametrize("case,changes", REFUSED_IMAGES, ids=[c[0] for c in REFUSED_IMAGES])
def test_an_image_for_another_module_fails_and_changes_nothing(target, tmp_path, case, changes):
    module, model_name = target
    arguments = dict(serial=module.serial, model_name=model_name)
    arguments.update(changes)
    image = write_image(tmp_path, **arguments)
    with corvane.Module.connect(module.serial) as m:
        before = m.system.get_build()
    with pytest.raises(corvane.UpdateFailed) as raised:
        corvane.update(module.serial, image)
    failed = raised.value.result
    assert failed.outcome == "failed" and failed.errors
    assert failed.errors[0] in str(raised.value)
    with corvane.Module.connect(module.serial) as m:
        assert m.system.get_build() == before


def test_bad_input(tmp_path, target) -> None:
    module, _ = target
    not_bird = tmp_path / "notes.txt"
    not_bird.write_text("not firmware")
    with pytest.raises(corvane.NotFound):
        corvane.BirdFile(str(tmp_path / "missing.bird"))
    with pytest.raises(corvane.CorvaneError) as raised:
        corvane.BirdFile(str(not_bird))
    assert raised.value.name == "aErrParse"
    with pytest.raises(corvane.NotFound):
        corvane.update(module.serial, tmp_path / "missing.bird")
    with pytest.raises(corvane.InvalidParameter):
        corvane.update(0, not_bird)
    with pytest.raises(corvane.InvalidParameter):
        corvane.update(module.serial, not_bird, transport=corvane.Transport.SERIAL)
