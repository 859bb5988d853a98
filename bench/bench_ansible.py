#!/usr/bin/env python3
"""The corvane.lab collection's cost per run, measured in this one run against the same virtual
module (the shipped program, reached through USB emulation):
  ansible_firmware_update  ansible-playbook (local connection) running corvane.lab.firmware to
                           update one module, against Updater -U of the same module; the two
                           alternate between two images so that each run really updates

    /usr/bin/python3 bench/bench_ansible.py BUILD
"""

import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

SERIAL = "40F5849A"


def report(name, value, unit, ratio, baseline):
    print(f"{name}: {value:.4g} {unit} (ratio {ratio:.3f} vs {baseline})", flush=True)


def write_image(build, folder, number, patch):
    """An image the virtual module runs after its reboot: build and version tagged in."""
    firmware = bytearray((3 + 7 * i) & 0xFF for i in range(64 * 1024))
    firmware[64:76] = b"CVFW" + struct.pack(">II", number, ((2 << 4 | 10) << 24) | patch)
    with open(os.path.join(folder, "firmware.bin"), "wb") as out:
        out.write(firmware)
    with open(os.path.join(folder, "loader.bin"), "wb") as out:
        out.write(bytes((9 + 7 * i) & 0xFF for i in range(300)))
    image = os.path.join(folder, f"{number}.bird")
    subprocess.run([os.path.join(build, "tools/birdtool/birdtool"), "create", "-o", image,
                    "--loader", "0x1000", os.path.join(folder, "loader.bin"),
                    "--firmware", "0x8000", os.path.join(folder, "firmware.bin"),
                    "--offsets", "0x8010", "0", "--version", f"2.10.{patch}",
                    "--model", "RouterBridge"], check=True, stdout=subprocess.DEVNULL)
    return image


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    if not shutil.which("ansible-playbook"):
        print("ansible_firmware_update: skipped (ansible-playbook is not installed)")
        return 0
    folder = tempfile.mkdtemp(prefix="bench-ansible-")
    module = subprocess.Popen(
        [os.path.join(build, "tools/virtual-module/virtual-module"), "--serial", SERIAL,
         "--heartbeat-ms", "0", "--build", "11111", "--firmware-version", "2.10.3"],
        stdout=subprocess.PIPE, text=True)
    try:
        entry = None
        for _ in range(10):
            match = re.search(r"CORVANE_USB_EMULATION=(\S+)", module.stdout.readline())
            if match:
                entry = match.group(1)
                break
        if entry is None:
            print("ansible_firmware_update: failed (virtual-module did not start)")
            return 1
        first = write_image(build, folder, 12345, 5)
        second = write_image(build, folder, 12346, 6)
        updater = os.path.join(build, "src/updater/Updater")
        env = dict(os.environ, HOME=os.path.join(folder, "home"), CORVANE_USB_EMULATION=entry,
                   ANSIBLE_COLLECTIONS_PATH=os.path.join(build, "ansible"),
                   ANSIBLE_LOCAL_TEMP=os.path.join(folder, "ansible-tmp"),
                   PATH=os.path.dirname(updater) + os.pathsep + os.environ.get("PATH", ""))
        store = os.path.join(folder, "store")
        playbook = os.path.join(folder, "play.yml")
        with open(playbook, "w") as out:
            out.write(f"""- hosts: localhost
  gather_facts: false
  tasks:
    - corvane.lab.firmware:
        serials: ["{SERIAL}"]
        image: {second}
        store: {store}
""")

        def timed(command):
            start = time.monotonic()
            run = subprocess.run(command, env=env, capture_output=True, text=True, timeout=600)
            if run.returncode != 0 or ("changed=1" not in run.stdout and "playbook" in command[0]):
                raise RuntimeError(f"{command[0]} failed: {run.stdout[-2000:]}{run.stderr[-2000:]}")
            return time.monotonic() - start

        direct, collection = [], []
        for _ in range(5):
            direct.append(timed([updater, "-U", "-d", SERIAL, "-f", first, "-i", store]))
            collection.append(timed(["ansible-playbook", "-c", "local", "-i", "localhost,",
                                     playbook]))
        value, baseline = statistics.median(collection), statistics.median(direct)
        report("ansible_firmware_update", value, "s", value / baseline, "Updater -U")
        print(f"ansible_firmware_overhead: {value - baseline:.3g} s "
              f"(ratio {value / baseline:.3f} vs Updater -U)")
        return 0
    finally:
        module.terminate()
        module.wait(timeout=30)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
