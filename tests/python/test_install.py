"""The package as users get it: installed from a DESTDIR install and imported by Debian's
interpreter, and the examples run against virtual modules."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import corvane
from test_update import write_image

DEBIAN_PYTHON = "/usr/bin/python3"


def test_destdir_install_imports_with_debians_interpreter(tmp_path) -> None:
    build = os.environ["CORVANE_BUILD_DIR"]
    subprocess.run(["cmake", "--install", build, "--component", "python", "--prefix", "/usr"],
                   env={**os.environ, "DESTDIR": str(tmp_path)}, check=True,
                   capture_output=True, timeout=120)
    site = tmp_path / "usr/lib/python3/dist-packages"
    package = site / "corvane"
    assert {"__init__.py", "py.typed", "_corvane.pyi"} <= {p.name for p in package.iterdir()}
    # -I: neither the environment nor the user's site folder may supply the package.
    shown = subprocess.run(
        [DEBIAN_PYTHON, "-I", "-c",
         "import sys; sys.path.insert(0, sys.argv[1]); import corvane; "
         "print(corvane.__file__); print(corvane.__version__); print(corvane.entity_names()[0])",
         str(site)],
        check=True, capture_output=True, text=True, timeout=60).stdout.split()
    assert shown == [str(package / "__init__.py"), os.environ["CORVANE_PROJECT_VERSION"], "system"]


def run_example(name: str, *arguments: str) -> str:
    example = Path(os.environ["CORVANE_EXAMPLES_DIR"]) / name
    done = subprocess.run([sys.executable, str(example), *arguments], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_example_discover_and_read(start_module) -> None:
    modules = [start_module(0x6B000001), start_module(0x6B000002)]
    out = run_example("discover_and_read.py")
    for module in modules:
        assert f"{module.serial:08X}" in out


def test_example_update_a_rack(start_module, tmp_path, monkeypatch) -> None:
    monkeypatch.setenv("HOME", str(tmp_path))
    modules = [start_module(0x6C000001), start_module(0x6C000002)]
    model_name = corvane.discover()[0].model_name
    image = write_image(tmp_path, 0, model_name, any_serial=True)
    out = run_example("update_rack.py", str(image))
    for module in modules:
        assert f"{module.serial:08X}: updated, running 2.11.5 build 4242" in out
