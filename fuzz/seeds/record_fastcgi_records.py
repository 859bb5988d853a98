#!/usr/bin/env python3
"""Records seed inputs for fuzz_fastcgi_records from Debian's nginx: the records it sends a FastCGI
responder for the requests an Updater and a careless client make, each stored under a few
chunkings (the input's first byte). Usage: record_fastcgi_records.py OUTDIR; writes
OUTDIR/fuzz_fastcgi_records/<name>. nginx runs unprivileged on loopback only."""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

def record(kind, content, request=1):
    """One record (of request 1, nginx's, unless asked), padded to eight bytes."""
    padding = -len(content) % 8
    return (bytes([1, kind, request >> 8, request & 0xFF, len(content) >> 8, len(content) & 0xFF,
                   padding, 0]) + content + bytes(padding))


REPLY = (record(6, b"Status: 200 OK\r\nContent-Type: text/plain\r\n\r\nok\n") + record(6, b"")
         + record(3, bytes(8)))


def capture(listener, captured):
    """Takes each connection's records until the end of its input, then answers it briefly."""
    while True:
        connection, _ = listener.accept()
        data = b""
        connection.settimeout(5)
        while b"\x01\x05\x00\x01\x00\x00" not in data:  # the empty STDIN record
            chunk = connection.recv(65536)
            if not chunk:
                break
            data += chunk
        captured.append(data)
        connection.sendall(REPLY)
        connection.close()


def main(outdir):
    folder = os.path.join(outdir, "fuzz_fastcgi_records")
    os.makedirs(folder, exist_ok=True)
    work = tempfile.mkdtemp(prefix="fcgi-seeds-")
    listener = socket.create_server(("127.0.0.1", 0))
    captured = []
    threading.Thread(target=capture, args=(listener, captured), daemon=True).start()
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    temp = "".join("%s_temp_path %s/%s;\n" % (k, work, k)
                   for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    with open(os.path.join(work, "nginx.conf"), "w") as conf:
        conf.write("""daemon off; pid %s/nginx.pid; error_log stderr;
events {} http { access_log off; %s large_client_header_buffers 4 32k;
server { listen 127.0.0.1:%d; location / { fastcgi_split_path_info ^(/cgi/u)(.*)$;
include /etc/nginx/fastcgi_params; fastcgi_param SCRIPT_NAME $fastcgi_script_name;
fastcgi_param PATH_INFO $fastcgi_path_info; fastcgi_pass 127.0.0.1:%d; } } }
""" % (work, temp, port, listener.getsockname()[1]))
    nginx = subprocess.Popen(["nginx", "-p", work, "-c", os.path.join(work, "nginx.conf")])
    time.sleep(1)
    requests = [
        ("GET", "/cgi/u?op=hi", None),
        ("GET", "/cgi/u?op=qu&sn=40F5849A", None),
        ("GET", "/cgi/u?op=builds&sn=40F5849A", None),
        ("GET", "/cgi/u?op=bird&sn=40F5849A&fw=CVN-HUB&bld=1234&no_cal=1", None),
        ("GET", "/cgi/u?op=fix&fp=00000001ABCDEF0100000002FFFFFFFF", None),
        ("GET", "/cgi/u/40F5849A/1234.bird", None),
        ("GET", "/metrics", None),
        ("POST", "/cgi/u?op=hi", b"x=" + b"y" * 3000),
        ("GET", "/cgi/u?op=hi&x=" + "a" * 300, None),
    ]
    try:
        for method, target, body in requests:
            request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, target),
                                             method=method, data=body,
                                             headers={"User-Agent": "Updater"})
            urllib.request.urlopen(request, timeout=10).read()
    finally:
        nginx.terminate()
        nginx.wait()
    # What nginx does not send but another web server may: a question about the responder, a
    # kept connection with an aborted request and a second request begun alongside the first.
    keep = record(1, bytes([0, 1, 1, 0, 0, 0, 0, 0]))
    captured += [
        record(9, b"\x0e\x00FCGI_MAX_CONNS\x0f\x00FCGI_MPXS_CONNS", 0) + record(42, b"?", 0),
        keep + record(2, b"") + keep + captured[0][16:],
        captured[0][:16] + record(1, bytes([0, 1, 0, 0, 0, 0, 0, 0]), 2) + captured[0][16:],
    ]
    for index, data in enumerate(captured):
        for chunking in (0, 1, 7, 200):
            with open(os.path.join(folder, "nginx_%d_chunks_%d" % (index, chunking)), "wb") as out:
                out.write(bytes([chunking]) + data)


if __name__ == "__main__":
    main(sys.argv[1])
