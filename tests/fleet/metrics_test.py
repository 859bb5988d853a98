# The Prometheus texts: update-server's /metrics and the Updater's --metrics-file, each read back
# by Debian's python3-prometheus-client, the parser a Prometheus-side tool would use.
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import urllib.error
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

UPDATE_SERVER = os.environ.get("UPDATE_SERVER_BIN", "")
BIRDTOOL = os.environ.get("BIRDTOOL_BIN", "")
UPDATER = os.environ.get("UPDATER_BIN", "")
VIRTUAL_MODULE = os.environ.get("VIRTUAL_MODULE_BIN", "")

SERIAL = "40F5849A"
BUILD = 1234


def samples(text):
    """{(sample name, sorted labels): value} of a text the client library parsed."""
    found = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            found[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
    return found


def make_catalogue(folder):
    firmware = os.path.join(folder, "firmware.bin")
    with open(firmware, "wb") as out:
        out.write(bytes((3 + 7 * i) & 0xFF for i in range(4096)))
    module = os.path.join(folder, "catalogue", SERIAL)
    os.makedirs(module)
    result = subprocess.run([BIRDTOOL, "create", "-o", os.path.join(module, "%d.bird" % BUILD),
                             "--firmware", "0x8000", firmware, "--offsets", "0x8010", "0",
                             "--version", "2.11.4"], capture_output=True, text=True, timeout=60)
    if result.returncode != 0:
        raise AssertionError(result.stderr)
    with open(os.path.join(module, "firmware"), "w") as out:
        out.write("CVN-HUB\n")
    return os.path.join(folder, "catalogue")


def start_server(catalogue):
    """update-server on a free loopback port; returns (process, base URL)."""
    server = subprocess.Popen([UPDATE_SERVER, "--port", "0", "--quiet", catalogue],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    match = re.search(r"(http://\S+)/cgi/u", server.stdout.readline())
    if not match:
        server.kill()
        raise AssertionError("update-server did not start: " + server.stderr.read())
    return server, match.group(1)


def require(*programs):
    for program in programs:
        if not program or not os.access(program, os.X_OK):
            raise AssertionError("a program the test runs is not built: %r" % program)


class ServerMetrics(unittest.TestCase):
    def setUp(self):
        for program in (UPDATE_SERVER, BIRDTOOL):
            if not program or not os.access(program, os.X_OK):
                raise AssertionError("a program the test runs is not built: %r" % program)
        self.dir = tempfile.mkdtemp(prefix="corvane-metrics-")
        self.server, self.base = start_server(make_catalogue(self.dir))

    def tearDown(self):
        self.server.terminate()
        self.server.wait(timeout=30)
        shutil.rmtree(self.dir, ignore_errors=True)

    def get(self, target, method="GET"):
        request = urllib.request.Request(self.base + target, method=method,
                                         data=b"" if method == "POST" else None)
        try:
            with urllib.request.urlopen(request, timeout=30) as reply:
                return reply.status, reply.headers["Content-Type"], reply.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers["Content-Type"], error.read()

    def test_requests_bytes_builds_refusals_and_durations(self):
        bird = "/cgi/u?op=bird&sn=%s&fw=CVN-HUB&bld=%d" % (SERIAL, BUILD)
        sent = 0
        for target, method in (("/cgi/u?op=hi", "GET"), (bird, "GET"), (bird, "GET"),
                               ("/cgi/u?op=builds&sn=zz", "GET"), ("/cgi/u?op=hi", "POST"),
                               ("/elsewhere", "GET")):
            sent += len(self.get(target, method)[2])
        status, content_type, body = self.get("/metrics")
        self.assertEqual(status, 200)
        self.assertTrue(content_type.startswith("text/plain; version=0.0.4"), content_type)
        found = samples(body.decode())

        def value(name, **labels):
            return found.get((name, tuple(sorted(labels.items()))))

        requests = "corvane_update_server_requests_total"
        self.assertEqual(value(requests, operation="hi", status="200"), 1)
        self.assertEqual(value(requests, operation="bird", status="200"), 2)
        self.assertEqual(value(requests, operation="builds", status="400"), 1)
        self.assertEqual(value(requests, operation="none", status="405"), 1)
        self.assertEqual(value(requests, operation="none", status="404"), 1)
        self.assertEqual(value("corvane_update_server_served_bytes_total"), sent)
        self.assertEqual(value("corvane_update_server_builds_served_total", serial=SERIAL,
                               build=str(BUILD)), 2)
        refusals = "corvane_update_server_refusals_total"
        self.assertEqual(value(refusals, reason="bad_serial"), 1)
        self.assertEqual(value(refusals, reason="method"), 1)
        self.assertEqual(value(refusals, reason="path"), 1)
        durations = "corvane_update_server_request_duration_seconds"
        self.assertEqual(value(durations + "_count"), 6)
        self.assertEqual(value(durations + "_bucket", le="+Inf"), 6)
        self.assertGreater(value(durations + "_sum"), 0)

        # The scrape itself is counted by the next one.
        self.assertEqual(samples(self.get("/metrics")[2].decode())[
            (requests, (("operation", "metrics"), ("status", "200")))], 1)


GOOD, FAULTY = "40F5849A", "0BADF00D"
NEW_BUILD = 12345


class VirtualModule:
    """A virtual-module process on USB emulation, running build 11111 (2.10.3)."""

    def __init__(self, serial, *faults):
        args = [VIRTUAL_MODULE, "--serial", serial, "--heartbeat-ms", "0", "--build", "11111",
                "--firmware-version", "2.10.3"]
        for fault in faults:
            args += ["--upgrade-fault", fault]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        self.entry = None
        for _ in range(10):
            match = re.search(r"CORVANE_USB_EMULATION=(\S+)", self.process.stdout.readline())
            if match:
                self.entry = match.group(1)
                break
        if self.entry is None:
            self.stop()
            raise RuntimeError("virtual-module did not start: " + self.process.stderr.read())

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


class UpdaterMetricsFile(unittest.TestCase):
    """Two modules, one that refuses its update, served build 12345 (2.10.5) by update-server."""

    @classmethod
    def setUpClass(cls):
        require(UPDATER, VIRTUAL_MODULE, BIRDTOOL, UPDATE_SERVER)
        cls.dir = tempfile.mkdtemp(prefix="corvane-metrics-file-")
        image = cls.write_image()
        for serial in (GOOD, FAULTY):
            os.makedirs(os.path.join(cls.dir, "catalogue", serial))
            shutil.copy(image, os.path.join(cls.dir, "catalogue", serial, "%d.bird" % NEW_BUILD))
        cls.server, base = start_server(os.path.join(cls.dir, "catalogue"))
        cls.url = base + "/cgi/u"
        cls.modules = [VirtualModule(GOOD), VirtualModule(FAULTY, "refuse-write")]
        cls.out = os.path.join(cls.dir, "textfile")
        os.makedirs(cls.out)

    @classmethod
    def tearDownClass(cls):
        for module in getattr(cls, "modules", []):
            module.stop()
        if hasattr(cls, "server"):
            cls.server.terminate()
            cls.server.wait(timeout=30)
        shutil.rmtree(getattr(cls, "dir", ""), ignore_errors=True)

    @classmethod
    def write_image(cls):
        """An image the virtual module runs after its reboot: build and version tagged into its
        firmware bytes, for model RouterBridge, any serial number."""
        loader = os.path.join(cls.dir, "loader.bin")
        firmware = os.path.join(cls.dir, "firmware.bin")
        with open(loader, "wb") as out:
            out.write(bytes((9 + 7 * i) & 0xFF for i in range(300)))
        body = bytearray((3 + 7 * i) & 0xFF for i in range(2000))
        packed = ((2 << 4 | 10) << 24) | 5  # 2.10.5 as the module packs it
        body[64:76] = b"CVFW" + struct.pack(">II", NEW_BUILD, packed)
        with open(firmware, "wb") as out:
            out.write(body)
        image = os.path.join(cls.dir, "image.bird")
        subprocess.run([BIRDTOOL, "create", "-o", image, "--loader", "0x1000", loader,
                        "--firmware", "0x8000", firmware, "--offsets", "0x8010", "0",
                        "--version", "2.10.5", "--model", "RouterBridge"], check=True,
                       capture_output=True, timeout=60)
        return image

    def updater(self, *args):
        env = dict(os.environ, HOME=os.path.join(self.dir, "home"),
                   CORVANE_USB_EMULATION=",".join(m.entry for m in self.modules))
        return subprocess.run([UPDATER, "-i", os.path.join(self.dir, "store"), "-u", self.url]
                              + list(args), env=env, capture_output=True, text=True, timeout=600)

    def read(self, name):
        with open(os.path.join(self.out, name)) as source:
            return samples(source.read())

    def test_a_rack_run_writes_one_file_and_discovery_names_the_models(self):
        run = self.updater("-G", "-U", "-d", GOOD, "-d", FAULTY, "--metrics-file",
                           os.path.join(self.out, "rack.prom"))
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        found = self.read("rack.prom")
        # Each module's model as its link named it: a rack run discovers nothing.
        self.assertEqual(found[("corvane_module_firmware_build", (("model", "RouterBridge"),
                                ("serial", GOOD), ("version", "2.10.5")))], NEW_BUILD)
        self.assertEqual(found[("corvane_module_firmware_build", (("model", "RouterBridge"),
                                ("serial", FAULTY), ("version", "2.10.3")))], 11111)
        for serial, outcome in ((GOOD, "updated"), (FAULTY, "failed")):
            self.assertEqual(found[("corvane_updater_update_outcome",
                                    (("outcome", outcome), ("serial", serial)))], 1)
            self.assertEqual(found[("corvane_updater_get_build", (("serial", serial),))],
                             NEW_BUILD)
            self.assertGreater(found[("corvane_updater_update_timestamp_seconds",
                                      (("serial", serial),))], 1.7e9)
        self.assertGreater(found[("corvane_updater_update_duration_seconds",
                                  (("serial", GOOD),))], 0)
        self.assertGreater(found[("corvane_updater_metrics_timestamp_seconds", ())], 1.7e9)

        run = self.updater("-D", "--metrics-file", os.path.join(self.out, "discover.prom"))
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        found = self.read("discover.prom")
        self.assertEqual(found[("corvane_module_firmware_build", (("model", "RouterBridge"),
                                ("serial", GOOD), ("version", "2.10.5")))], NEW_BUILD)
        # Written through a temporary file and renamed: nothing else is left in the folder.
        self.assertEqual(sorted(os.listdir(self.out)), ["discover.prom", "rack.prom"])

    def test_a_file_that_cannot_be_written_is_only_a_warning(self):
        for path in (os.path.join(self.dir, "no-such-folder", "x.prom"), self.out):
            run = self.updater("-D", "--metrics-file", path)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
            self.assertIn("Warning: metrics not written: cannot write " + path, run.stdout)


if __name__ == "__main__":
    unittest.main()
