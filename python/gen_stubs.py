#!/usr/bin/env python3
"""Writes corvane/_corvane.pyi: the hand-written stub of the extension with the entity classes
and the Module's entity properties filled in from the entity tables, as the bindings are.

    gen_stubs.py BASE.pyi ALL_ENTITY_TABLES.inc OUTPUT.pyi
"""

import os
import re
import sys

ROW = re.compile(r"^ENTITY_(COMMAND|GET|SET|GETSET|CALL)\((.*)\)\s*$")
INCLUDE = re.compile(r'^#include "([^"]+)"')

GET_RETURNS = {
    "VALUE": "int",
    "PARAM": "int",
    "BYTES": "bytes",
    "IPV4": "bytes",
    "LIST": "List[int]",
}
SET_ARGUMENTS = {
    "VALUE": "value: int",
    "PARAM": "subindex: int, value: int",
    "BYTES": "data: bytes",
    "IPV4": "data: bytes",
    "LIST": "values: List[int]",
}


def snake_case(name: str) -> str:
    """The bindings' rule (python/src/Bindings.h): getHBInterval -> get_hb_interval."""
    out = []
    for i, c in enumerate(name):
        if i > 0 and c.isupper():
            before = name[i - 1]
            next_lower = i + 1 < len(name) and name[i + 1].islower()
            two_lower = next_lower and i + 2 < len(name) and name[i + 2].islower()
            if (
                before.islower()
                or (before.isdigit() and next_lower)
                or (before.isupper() and two_lower)
            ):
                out.append("_")
        out.append(c.lower())
    return "".join(out)


def read_tables(all_tables: str):
    """[(class name, [stub lines])] in command order."""
    folder = os.path.dirname(all_tables)
    classes = []
    with open(all_tables, encoding="utf-8") as listing:
        includes = [m.group(1) for m in map(INCLUDE.match, listing) if m]
    for include in includes:
        with open(os.path.join(folder, include), encoding="utf-8") as table:
            for line in table:
                match = ROW.match(line.strip())
                if not match:
                    continue
                kind, fields = match.group(1), [f.strip() for f in match.group(2).split(",")]
                if kind == "COMMAND":
                    classes.append((fields[0], []))
                    continue
                methods = classes[-1][1]
                if kind == "CALL":
                    methods.append(f"    def {snake_case(fields[1])}(self) -> None: ...")
                    continue
                if kind == "GETSET":
                    getter, setter, row_kind = fields[1], fields[2], fields[3]
                else:
                    getter = setter = fields[1]
                    row_kind = fields[2]
                if row_kind.startswith("CUSTOM"):
                    continue  # written by hand in the C++ class; not bound
                if kind in ("GET", "GETSET"):
                    parameter = ", parameter: int" if row_kind == "PARAM" else ""
                    returns = GET_RETURNS[row_kind]
                    methods.append(
                        f"    def {snake_case(getter)}(self{parameter}) -> {returns}: ..."
                    )
                if kind in ("SET", "GETSET"):
                    arguments = SET_ARGUMENTS[row_kind]
                    methods.append(f"    def {snake_case(setter)}(self, {arguments}) -> None: ...")
    return classes


def main() -> int:
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    base_path, all_tables, output = sys.argv[1:]
    with open(base_path, encoding="utf-8") as base_file:
        base = base_file.read()
    classes = read_tables(all_tables)
    entity_classes = []
    properties = []
    for name, methods in classes:
        attribute = snake_case(name[: -len("Class")])
        entity_classes.append(
            f"class {name}(metaclass=_pybind11_type):\n"
            "    @property\n"
            "    def index(self) -> int: ...\n"
            "    def stream(self, name: str, *, on_value: Optional[Callable[[StreamValue], object]]"
            " = ..., timeout: float = ...) -> Stream: ...\n" + "\n".join(methods) + "\n"
        )
        if attribute == "system":
            properties.append(f"    @property\n    def system(self) -> {name}: ...")
        else:
            properties.append(
                f"    @property\n    def {attribute}(self) -> EntityGroup[{name}]: ..."
            )
    text = base.replace("    # @ENTITY_PROPERTIES@\n", "\n".join(properties) + "\n")
    text = text.replace("# @ENTITY_CLASSES@\n", "\n".join(entity_classes))
    os.makedirs(os.path.dirname(output) or ".", exist_ok=True)
    with open(output + ".tmp", "w", encoding="utf-8") as out:
        out.write(text)
    os.replace(output + ".tmp", output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
