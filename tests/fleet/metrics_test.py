# The Prometheus texts: update-server's /metrics and the Updater's --metrics-file, each read back
# by Debian's python3-prometheus-client, the parser a Prometheus-side tool would use.
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import urllib.error
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

UPDATE_SERVER = os.environ.get("UPDATE_SERVER_BIN", "")
BIRDTOOL = os.environ.get("BIRDTOOL_BIN", "")

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


class ServerMetrics(unittest.TestCase):
    def setUp(self):
        for program in (UPDATE_SERVER, BIRDTOOL):
            if not program or not os.access(program, os.X_OK):
                raise AssertionError("a program the test runs is not built: %r" % program)
        self.dir = tempfile.mkdtemp(prefix="corvane-metrics-")
        catalogue = make_catalogue(self.dir)
        self.server = subprocess.Popen([UPDATE_SERVER, "--port", "0", "--quiet", catalogue],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        match = re.search(r"(http://\S+)/cgi/u", self.server.stdout.readline())
        if not match:
            self.server.kill()
            raise AssertionError("update-server did not start: " + self.server.stderr.read())
        self.base = match.group(1)

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


if __name__ == "__main__":
    unittest.main()
