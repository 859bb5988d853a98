#!/usr/bin/env python3
"""Finds the Corvane modules attached over USB and prints what each says about itself.

    python3 discover_and_read.py
"""

import sys

import corvane


def main() -> int:
    modules = corvane.discover(corvane.Transport.USB)
    if not modules:
        print("no modules found", file=sys.stderr)
        return 1
    for spec in modules:
        try:
            with corvane.Module.connect(spec.serial) as m:
                name = m.system.get_name().rstrip(b"\0").decode(errors="replace")
                volts = m.system.get_input_voltage() / 1e6
                print(f"{spec.serial:08X} {spec.model_name:<14} '{name}' "
                      f"build {m.system.get_build()}, input {volts:.3f} V, "
                      f"{m.system.get_uptime()} s up")
        except corvane.CorvaneError as error:
            print(f"{spec.serial:08X}: {error}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
