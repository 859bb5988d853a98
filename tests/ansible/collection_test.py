# The corvane.lab collection run by Debian's ansible-core with the local connection: a playbook
# against two virtual modules on USB emulation (facts, check mode, an update, a run that changes
# nothing, a module that fails), Ansible's own refusals, and the modules' documentation held to
# their argument specs.
import importlib.util
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import yaml

UPDATER = os.environ.get("UPDATER_BIN", "")
VIRTUAL_MODULE = os.environ.get("VIRTUAL_MODULE_BIN", "")
BIRDTOOL = os.environ.get("BIRDTOOL_BIN", "")
COLLECTIONS = os.environ.get("CORVANE_ANSIBLE_COLLECTIONS", "")
COLLECTION = os.path.join(COLLECTIONS, "ansible_collections", "corvane", "lab")

GOOD, FAULTY = "40F5849A", "0BADF00D"
NEW_BUILD = 12345


def packed_version(major, minor, patch):
    """The module's packed version word for versions before 2.15."""
    return ((major << 4 | minor) << 24) | (patch & 0xFF)


class VirtualModule:
    """A virtual-module process and its USB emulation entry."""

    def __init__(self, serial, *faults):
        args = [VIRTUAL_MODULE, "--serial", serial, "--heartbeat-ms", "0", "--build", "11111",
                "--firmware-version", "2.10.3"]
        for fault in faults:
            args += ["--upgrade-fault", fault]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        self.entry = None
        for _ in range(10):
            line = self.process.stdout.readline()
            match = re.search(r"CORVANE_USB_EMULATION=(\S+)", line)
            if match:
                self.entry = match.group(1)
                break
        if self.entry is None:
            self.stop()
            raise RuntimeError("virtual-module did not start: " + self.process.stderr.read())

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


class Collection(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for program in (UPDATER, VIRTUAL_MODULE, BIRDTOOL):
            if not program or not os.access(program, os.X_OK):
                raise AssertionError("a program the test runs is not built: %r" % program)
        if not shutil.which("ansible-playbook"):
            raise AssertionError("ansible-playbook is missing (Debian's ansible-core)")
        cls.dir = tempfile.mkdtemp(prefix="corvane-ansible-")
        cls.image = cls.write_image()
        cls.modules = [VirtualModule(GOOD), VirtualModule(FAULTY, "refuse-write")]

    @classmethod
    def tearDownClass(cls):
        for module in getattr(cls, "modules", []):
            module.stop()
        shutil.rmtree(getattr(cls, "dir", ""), ignore_errors=True)

    @classmethod
    def write_image(cls):
        """A BIRD image the virtual module recognises after its reboot: build and version tagged
        into its firmware bytes, version 2.10.5, for model RouterBridge, any serial number."""
        loader = os.path.join(cls.dir, "loader.bin")
        firmware = os.path.join(cls.dir, "firmware.bin")
        with open(loader, "wb") as out:
            out.write(bytes((9 + 7 * i) & 0xFF for i in range(300)))
        body = bytearray((3 + 7 * i) & 0xFF for i in range(2000))
        body[64:76] = b"CVFW" + struct.pack(">II", NEW_BUILD, packed_version(2, 10, 5))
        with open(firmware, "wb") as out:
            out.write(body)
        image = os.path.join(cls.dir, "image.bird")
        subprocess.run([BIRDTOOL, "create", "-o", image, "--loader", "0x1000", loader,
                        "--firmware", "0x8000", firmware, "--offsets", "0x8010", "0",
                        "--version", "2.10.5", "--model", "RouterBridge"], check=True)
        return image

    def environment(self):
        environment = dict(os.environ)
        environment.update({
            "HOME": os.path.join(self.dir, "home"),
            "CORVANE_USB_EMULATION": ",".join(m.entry for m in self.modules),
            "ANSIBLE_COLLECTIONS_PATH": COLLECTIONS,
            "ANSIBLE_LOCAL_TEMP": os.path.join(self.dir, "ansible-tmp"),
            "ANSIBLE_NOCOLOR": "1",
            "PATH": os.path.dirname(UPDATER) + os.pathsep + environment.get("PATH", ""),
        })
        return environment

    def play(self, tasks):
        """Runs tasks as one play on localhost; returns (exit status, output, {name: result})."""
        results = os.path.join(self.dir, "results")
        shutil.rmtree(results, ignore_errors=True)
        os.makedirs(results)
        steps = []
        for name, task in tasks:
            steps.append(dict(task, name=name, register="result", ignore_errors=True))
            steps.append({"name": "keep " + name, "ansible.builtin.copy": {
                "content": "{{ result | to_json }}", "dest": os.path.join(results, name)}})
        playbook = os.path.join(self.dir, "play.yml")
        with open(playbook, "w") as out:
            yaml.safe_dump([{"hosts": "localhost", "gather_facts": False, "tasks": steps}], out)
        run = subprocess.run(["ansible-playbook", "-c", "local", "-i", "localhost,", playbook],
                             env=self.environment(), capture_output=True, text=True, timeout=540)
        found = {}
        for name, _ in tasks:
            path = os.path.join(results, name)
            if os.path.exists(path):
                with open(path) as source:
                    found[name] = json.load(source)
        return run.returncode, run.stdout + run.stderr, found

    def test_a_rack_play(self):
        image = {"image": self.image}
        _, output, r = self.play([
            ("facts", {"corvane.lab.facts": {}}),
            ("planned", {"corvane.lab.firmware": dict(image, serials=[GOOD, FAULTY]),
                         "check_mode": True}),
            ("updated", {"corvane.lab.firmware": dict(image, serials=[GOOD])}),
            ("again", {"corvane.lab.firmware": dict(image, serials=[GOOD])}),
            ("facts_after", {"corvane.lab.facts": {}}),
            ("faulty", {"corvane.lab.firmware": dict(image, serials=[FAULTY])}),
        ])
        self.assertEqual(set(r), {"facts", "planned", "updated", "again", "facts_after",
                                  "faulty"}, output)
        facts = {m["serial"]: m for m in r["facts"]["ansible_facts"]["corvane_modules"]}
        self.assertEqual(set(facts), {GOOD, FAULTY})
        self.assertEqual((facts[GOOD]["version"], facts[GOOD]["build"]), ("2.10.3", 11111))
        self.assertEqual(facts[GOOD]["model_name"], "RouterBridge")

        planned = r["planned"]
        self.assertTrue(planned["changed"], planned)
        self.assertEqual(planned["would_update"], [GOOD, FAULTY])

        updated = r["updated"]
        self.assertTrue(updated["changed"], updated)
        self.assertEqual([m["outcome"] for m in updated["modules"]], ["updated"], updated)
        self.assertFalse(r["again"]["changed"], r["again"])
        self.assertEqual(r["again"]["modules"][0]["outcome"], "unchanged")

        after = {m["serial"]: m for m in r["facts_after"]["ansible_facts"]["corvane_modules"]}
        self.assertEqual((after[GOOD]["version"], after[GOOD]["build"]), ("2.10.5", NEW_BUILD))
        self.assertEqual(after[FAULTY]["version"], "2.10.3", "check mode touched a module")

        faulty = r["faulty"]
        self.assertTrue(faulty.get("failed"), faulty)
        self.assertIn(FAULTY, faulty["msg"])
        self.assertEqual(faulty["failed_serials"], [FAULTY])
        self.assertIn("Updater -U -t RECOVER", faulty["recovery_commands"].get(FAULTY, ""))

    def test_bad_input_is_named(self):
        _, output, r = self.play([
            ("wrong_type", {"corvane.lab.firmware": {"serials": [GOOD], "jobs": "many"}}),
            ("no_updater", {"corvane.lab.facts": {"updater": "/nonexistent/Updater"}}),
            ("both", {"corvane.lab.firmware": {"serials": [GOOD], "all": True}}),
            ("absent", {"corvane.lab.firmware": {"serials": ["00C0FFEE"], "build": 7,
                                                 "transport": "USB"}}),
        ])
        self.assertIn("jobs", r["wrong_type"]["msg"], output)
        self.assertIn("/nonexistent/Updater", r["no_updater"]["msg"])
        self.assertIn("mutually exclusive", r["both"]["msg"])
        self.assertEqual(r["absent"]["failed_serials"], ["00C0FFEE"], r["absent"])


def load_module(name):
    path = os.path.join(COLLECTION, "plugins", "modules", name + ".py")
    spec = importlib.util.spec_from_file_location("corvane_lab_" + name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class Documentation(unittest.TestCase):
    """What ansible-test sanity checks cheaply: the documentation parses and says what the
    argument specs take."""

    def test_documentation_matches_the_argument_specs(self):
        sys.path.insert(0, COLLECTIONS)
        try:
            for name in ("firmware", "facts"):
                module = load_module(name)
                documented = yaml.safe_load(module.DOCUMENTATION)["options"]
                yaml.safe_load(module.EXAMPLES)
                yaml.safe_load(module.RETURN)
                self.assertEqual(set(documented), set(module.ARGUMENT_SPEC), name)
                for option, spec in module.ARGUMENT_SPEC.items():
                    doc = documented[option]
                    for key in ("type", "choices", "default", "elements"):
                        self.assertEqual(doc.get(key), spec.get(key), "%s %s %s" % (name, option,
                                                                                   key))
                    self.assertTrue(doc.get("description"), "%s %s" % (name, option))
        finally:
            sys.path.remove(COLLECTIONS)

    def test_ansible_doc_shows_both_modules(self):
        environment = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=COLLECTIONS)
        for name in ("corvane.lab.firmware", "corvane.lab.facts"):
            run = subprocess.run(["ansible-doc", name], env=environment, capture_output=True,
                                 text=True, timeout=120)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertIn("OPTIONS", run.stdout)


if __name__ == "__main__":
    unittest.main()
