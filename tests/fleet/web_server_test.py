# update-server behind Debian's nginx, run unprivileged on a free loopback port with TLS from a
# test CA made by openssl, once as a CGI program under fcgiwrap and once as a FastCGI responder:
# the Updater's -B and -G through it with the CA trusted (--ca-file, CORVANE_CA_FILE) and without
# (refused as tls), and bad requests answered in the server's own words.
import json
import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request

UPDATER = os.environ.get("UPDATER_BIN", "")
UPDATE_SERVER = os.environ.get("UPDATE_SERVER_BIN", "")
BIRDTOOL = os.environ.get("BIRDTOOL_BIN", "")
SNIPPET = os.environ.get("CORVANE_NGINX_SNIPPET", "")
FASTCGI_SNIPPET = os.environ.get("CORVANE_NGINX_FASTCGI_SNIPPET", "")
WRAPPER = os.environ.get("CORVANE_CGI_WRAPPER", "")

SERIAL = "40F5849A"
BUILD = 1234
NOBODY = 65534


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kwargs)


def free_port():
    """A port nobody listens on now; nginx cannot report one it picked itself."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(ready, what, process):
    """Waits for an event with a generous bound; fails at once if the program ended."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if ready():
            return
        if process.poll() is not None:
            raise AssertionError("%s ended: %s" % (what, process.stderr.read()))
        time.sleep(0.05)
    raise AssertionError("%s did not come up within 30 s" % what)


def unprivileged(args):
    """As root, the servers run as nobody, as a lab would run them."""
    if os.geteuid() != 0:
        return args
    return ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"] + args


def make_ca(folder):
    """A test CA and a server certificate for 127.0.0.1 signed by it."""
    ca_key, ca = os.path.join(folder, "ca.key"), os.path.join(folder, "ca.pem")
    key, csr = os.path.join(folder, "server.key"), os.path.join(folder, "server.csr")
    cert, ext = os.path.join(folder, "server.pem"), os.path.join(folder, "server.ext")
    for args in (
            ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca,
             "-days", "2", "-subj", "/CN=Corvane test lab CA"],
            ["req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
             "-subj", "/CN=127.0.0.1"]):
        result = run(["openssl"] + args)
        if result.returncode != 0:
            raise AssertionError(result.stderr)
    with open(ext, "w") as out:
        out.write("subjectAltName=IP:127.0.0.1\n")
    result = run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key,
                  "-CAcreateserial", "-out", cert, "-days", "2", "-extfile", ext])
    if result.returncode != 0:
        raise AssertionError(result.stderr)
    return ca, cert, key


class BehindNginx(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for program in (UPDATER, UPDATE_SERVER, BIRDTOOL):
            if not program or not os.access(program, os.X_OK):
                raise AssertionError("a program the test runs is not built: %r" % program)
        for program in ("nginx", "fcgiwrap", "openssl"):
            if not shutil.which(program, path=os.environ.get("PATH", "") + ":/usr/sbin"):
                raise AssertionError("%s is missing: scripts/install-deps.sh installs it" % program)
        cls.processes = []
        cls.dir = tempfile.mkdtemp(prefix="corvane-nginx-")
        try:
            cls.set_up_servers()
        except BaseException:
            # unittest skips tearDownClass when setUpClass fails: nothing may be left running.
            cls.tearDownClass()
            raise

    @classmethod
    def set_up_servers(cls):
        os.chmod(cls.dir, 0o755)
        cls.catalogue = os.path.join(cls.dir, "catalogue")
        cls.bird = cls.write_catalogue()
        cls.ca, cert, key = make_ca(cls.dir)
        os.chmod(key, 0o644)  # read by nginx as nobody; the test's own throwaway key
        cls.access_log = os.path.join(cls.dir, "access.log")
        cls.start_servers(cert, key)
        cls.url = "https://127.0.0.1:%d/cgi/u" % cls.port

    @classmethod
    def tearDownClass(cls):
        for process in getattr(cls, "processes", []):
            process.terminate()
            process.wait(timeout=30)
        shutil.rmtree(getattr(cls, "dir", ""), ignore_errors=True)

    @classmethod
    def write_catalogue(cls):
        firmware = os.path.join(cls.dir, "firmware.bin")
        with open(firmware, "wb") as out:
            out.write(bytes((3 + 7 * i) & 0xFF for i in range(4096)))
        folder = os.path.join(cls.catalogue, SERIAL)
        os.makedirs(folder)
        bird = os.path.join(folder, "%d.bird" % BUILD)
        result = run([BIRDTOOL, "create", "-o", bird, "--firmware", "0x8000", firmware,
                      "--offsets", "0x8010", "0", "--version", "2.11.4"])
        if result.returncode != 0:
            raise AssertionError(result.stderr)
        with open(os.path.join(folder, "firmware"), "w") as out:
            out.write("CVN-HUB\n")
        os.chmod(cls.catalogue, 0o755)
        return bird

    @classmethod
    def start_servers(cls, cert, key):
        script = os.path.join(cls.dir, "corvane-update")
        # The shipped snippet and CGI program, pointed at this test's programs and folders.
        with open(WRAPPER) as source, open(script, "w") as out:
            out.write(source.read().replace("/usr/bin/update-server", UPDATE_SERVER)
                      .replace("/srv/corvane-catalogue", cls.catalogue))
        os.chmod(script, 0o755)
        shutil.copy("/etc/nginx/fastcgi_params", cls.dir)
        fcgi_socket = os.path.join(cls.dir, "fcgi.sock")
        with open(SNIPPET) as source:
            snippet = source.read().replace("/usr/lib/cgi-bin/corvane-update", script)
            snippet = snippet.replace("/run/fcgiwrap.socket", fcgi_socket)
        if os.geteuid() == 0:
            os.chown(cls.dir, NOBODY, NOBODY)
        fcgiwrap = subprocess.Popen(unprivileged(["fcgiwrap", "-s", "unix:" + fcgi_socket]),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        cls.processes.append(fcgiwrap)
        wait_for(lambda: os.path.exists(fcgi_socket), "fcgiwrap", fcgiwrap)
        cls.start_nginx_on_a_free_port(cert, key, snippet)

    @classmethod
    def start_nginx_on_a_free_port(cls, cert, key, snippet):
        # The port was free when picked; another program may take it first: then another one.
        for attempt in range(3):
            cls.port = free_port()
            try:
                cls.start_nginx(cert, key, snippet)
                return
            except AssertionError:
                if attempt == 2:
                    raise

    @classmethod
    def start_nginx(cls, cert, key, snippet):
        temp = "".join("%s_temp_path %s/%s_temp;\n" % (kind, cls.dir, kind)
                       for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        with open(os.path.join(cls.dir, "nginx.conf"), "w") as out:
            out.write("""daemon off;
pid %(dir)s/nginx.pid;
error_log stderr;
events { worker_connections 64; }
http {
    access_log %(log)s;
    %(temp)s
    server {
        listen 127.0.0.1:%(port)d ssl;
        ssl_certificate %(cert)s;
        ssl_certificate_key %(key)s;
        %(snippet)s
    }
}
""" % {"dir": cls.dir, "log": cls.access_log, "temp": temp, "port": cls.port, "cert": cert,
            "key": key, "snippet": snippet})
        nginx = subprocess.Popen(
            unprivileged(["nginx", "-p", cls.dir, "-c", os.path.join(cls.dir, "nginx.conf")]),
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        cls.processes.append(nginx)

        def accepts():
            try:
                socket.create_connection(("127.0.0.1", cls.port), timeout=1).close()
                return True
            except OSError:
                return False
        wait_for(accepts, "nginx", nginx)

    def updater(self, *args, environment=None):
        """Runs the Updater with --json; returns (exit status, document)."""
        env = dict(os.environ, HOME=os.path.join(self.dir, "home"))
        env.pop("CORVANE_CA_FILE", None)
        env.update(environment or {})
        result = run([UPDATER, "--json", "-i", os.path.join(self.dir, "store"), "-u", self.url]
                     + list(args), env=env)
        return result.returncode, json.loads(result.stdout)

    def requests_logged(self):
        with open(self.access_log) as log:
            return len(log.readlines())

    def test_the_updater_trusts_the_lab_ca_it_is_given(self):
        status, document = self.updater("-B", "-d", SERIAL, "--ca-file", self.ca)
        self.assertEqual(status, 0, document)
        self.assertEqual([b["build_number"] for b in document["list_builds"]["builds"]], [BUILD])

        status, document = self.updater("-G", "-d", SERIAL,
                                         environment={"CORVANE_CA_FILE": self.ca})
        self.assertEqual(status, 0, document)
        with open(document["get"][0]["file"], "rb") as got, open(self.bird, "rb") as served:
            self.assertEqual(got.read(), served.read())

    def test_the_doctor_checks_the_server_with_the_same_ca(self):
        for args, status in ((("--ca-file", self.ca), "pass"), ((), "fail")):
            _, document = self.updater("--doctor", *args)
            check = [c for c in document["doctor"]["checks"] if c["check"] == "update-server"][0]
            self.assertEqual(check["status"], status, check)
        self.assertIn("certificate", check["finding"])

    def test_an_untrusted_server_is_refused_as_tls(self):
        # -B reports a failed list in its document and keeps exit status 0, as it always has.
        status, document = self.updater("-B", "-d", SERIAL)
        self.assertEqual(status, 0, document)
        errors = [document["list_builds"]["error"]]
        status, document = self.updater("-G", "-d", SERIAL)
        self.assertEqual(status, 1, document)
        errors.append(document["get"][0]["error"])
        for error in errors:
            self.assertEqual(error["kind"], "tls", error)
            self.assertIn("Cannot verify the update server at " + self.url, error["message"])
            self.assertIn("certificate", error["message"])

    def test_a_bad_ca_file_stops_the_run_before_any_request(self):
        garbage = os.path.join(self.dir, "garbage.pem")
        with open(garbage, "w") as out:
            out.write("-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n")
        before = self.requests_logged()
        for path, reason in ((garbage, "is not a whole PEM certificate"),
                             (os.path.join(self.dir, "missing.pem"), "No such file or directory"),
                             (self.dir, "is not a regular file")):
            status, document = self.updater("-B", "-d", SERIAL, "--ca-file", path)
            self.assertEqual(status, 1)
            self.assertEqual(document["error"]["kind"], "tls", document)
            self.assertIn("Certificate authority file not usable", document["error"]["message"])
            self.assertIn(reason, document["error"]["message"])
        self.assertEqual(self.requests_logged(), before)

    def test_bad_requests_get_the_servers_own_answer(self):
        context = ssl.create_default_context(cafile=self.ca)
        base = "https://127.0.0.1:%d" % self.port
        cases = [
            ("POST", "/cgi/u?op=hi", 405, "error only GET is served\n"),
            ("GET", "/cgi/u/../../" + SERIAL + "/%d.bird" % BUILD, None, None),
            ("GET", "/cgi/u/" + SERIAL, 404, "error nothing at /cgi/u/%s; requests go to /cgi/u\n"
             % SERIAL),
            ("GET", "/cgi/u?op=builds&sn=../..", 400,
             "error sn must be a serial number of 1 to 8 hexadecimal digits\n"),
            ("GET", "/cgi/u?op=hi&x=" + "a" * 20000, 414,
             "error query longer than 16384 bytes\n"),
            ("GET", "/cgi/u?op=builds&sn=" + SERIAL, 200, "ok\n%d;2.11.4\n" % BUILD),
        ]
        for method, target, status, body in cases:
            request = urllib.request.Request(base + target, method=method,
                                             data=b"" if method == "POST" else None)
            try:
                with urllib.request.urlopen(request, context=context, timeout=30) as reply:
                    got = (reply.status, reply.read().decode())
            except urllib.error.HTTPError as error:
                got = (error.code, error.read().decode())
            if status is None:
                # nginx resolves the dots itself: whatever answers, no catalogue file leaks.
                self.assertNotEqual(got[0], 200, target)
                continue
            self.assertEqual(got, (status, body), target[:60])


class BehindNginxFastCgi(BehindNginx):
    """The same checks with nginx passing requests to update-server --fastcgi."""

    @classmethod
    def start_servers(cls, cert, key):
        if os.geteuid() == 0:
            os.chown(cls.dir, NOBODY, NOBODY)
        # Its log goes to a file: a pipe nobody reads would stop it once full.
        log_path = os.path.join(cls.dir, "update-server.log")
        with open(log_path, "w") as log:
            responder = subprocess.Popen(
                unprivileged([UPDATE_SERVER, "--fastcgi", "--port", "0", cls.catalogue]),
                stdout=subprocess.PIPE, stderr=log, text=True)
        cls.processes.append(responder)
        started = responder.stdout.readline()
        if " to FastCGI on 127.0.0.1:" not in started:
            with open(log_path) as log:
                raise AssertionError("update-server --fastcgi did not start: %r %s"
                                     % (started, log.read()))
        address = started.split()[-1]
        shutil.copy("/etc/nginx/fastcgi_params", cls.dir)
        with open(FASTCGI_SNIPPET) as source:
            snippet = source.read().replace("127.0.0.1:8381", address)
        cls.start_nginx_on_a_free_port(cert, key, snippet)


if __name__ == "__main__":
    unittest.main()
