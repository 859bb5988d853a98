#!/usr/bin/env python3
"""Updates every module of a rack that the image is for, one thread per module: the update
waits on the modules with the GIL released, so the updates run side by side.

    python3 update_rack.py IMAGE.bird
"""

import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import corvane


def update_one(spec: corvane.ModuleSpec, image: corvane.BirdFile, lock: threading.Lock) -> bool:
    shown = -1

    def progress(done: int, total: int) -> None:
        nonlocal shown
        percent = done * 100 // total
        if percent // 25 != shown // 25:  # a line at every quarter
            shown = percent
            with lock:
                print(f"{spec.serial:08X}: {percent}%", flush=True)

    try:
        result = corvane.update(spec.serial, image, progress=progress)
    except corvane.UpdateFailed as failure:
        with lock:
            print(f"{spec.serial:08X}: failed: {failure}", flush=True)
        return False
    with lock:
        print(f"{spec.serial:08X}: updated, running {result.running_version} build "
              f"{result.running_build} ({result.seconds:.1f} s)", flush=True)
    return True


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    image = corvane.BirdFile(sys.argv[1])
    rack = [spec for spec in corvane.discover() if spec.model_name == image.model]
    if not rack:
        print(f"no {image.model} modules found", file=sys.stderr)
        return 1
    print(f"updating {len(rack)} {image.model} module(s) to {image.version}")
    lock = threading.Lock()
    with ThreadPoolExecutor(max_workers=len(rack)) as pool:
        results = list(pool.map(lambda spec: update_one(spec, image, lock), rack))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
