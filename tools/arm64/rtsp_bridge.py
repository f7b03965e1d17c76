"""Lets the test suite inside the arm64 root start the RTSP test server natively.

The server needs the machine's own GStreamer and /usr/bin/python3, which the
emulated root does not have; root and machine share the loopback. `serve` runs
natively and starts one server process per connection; `client` is installed in
the root as the tests' server interpreter (RTSP_SERVER_PYTHON) and stands for
that process: the server's output and exit status come back through it, its
SIGTERM/SIGINT and the end of its stdin go to the server, and when the client
dies (SIGKILL, as a camera that vanishes) the server is killed too.

    serve ROOT PORTFILE     # native; writes the port it listens on to PORTFILE
    client ARGS...          # in the root; ARGS as for /usr/bin/python3

Frames from server to client: one type byte (o stdout, e stderr, x exit status),
a 4-byte length, the payload. Client to server: one JSON line (argv, cwd), then
single bytes: T (SIGTERM), I (SIGINT), E (stdin ended). Written for Python 3.9+.
"""
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading

SYSTEM_PYTHON = "/usr/bin/python3"
SIGNALS = {b"T": signal.SIGTERM, b"I": signal.SIGINT}


def send_frame(sock, lock, kind, payload):
    with lock:
        sock.sendall(kind + struct.pack("!I", len(payload)) + payload)


def recv_exact(sock, size):
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def inside(root, path):
    """A path of the root seen from the machine, when it exists there."""
    mapped = os.path.join(root, path.lstrip("/"))
    return mapped if path.startswith("/") and os.path.exists(mapped) else path


def serve_one(conn, root):
    with conn:
        request = json.loads(conn.makefile("rb").readline())
        cwd = inside(root, request["cwd"])
        argv = [SYSTEM_PYTHON] + [inside(root, arg) for arg in request["argv"]]
        proc = subprocess.Popen(argv, cwd=cwd if os.path.isdir(cwd) else root,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True)
        lock = threading.Lock()

        def pump(stream, kind):
            for chunk in iter(lambda: os.read(stream.fileno(), 4096), b""):
                try:
                    send_frame(conn, lock, kind, chunk)
                except OSError:
                    return

        def control():
            while True:
                byte = conn.recv(1)
                if not byte:  # the client is gone: so is the camera
                    if proc.poll() is None:
                        proc.kill()
                    return
                if byte == b"E":
                    proc.stdin.close()
                elif byte in SIGNALS and proc.poll() is None:
                    proc.send_signal(SIGNALS[byte])

        pumps = [threading.Thread(target=pump, args=(proc.stdout, b"o"), daemon=True),
                 threading.Thread(target=pump, args=(proc.stderr, b"e"), daemon=True)]
        for thread in pumps:
            thread.start()
        threading.Thread(target=control, daemon=True).start()
        code = proc.wait()
        for thread in pumps:
            thread.join(timeout=5)
        try:
            send_frame(conn, lock, b"x", struct.pack("!i", code))
        except OSError:
            pass


def serve(root, portfile):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    with open(portfile + ".tmp", "w") as f:
        f.write("%d\n" % listener.getsockname()[1])
    os.replace(portfile + ".tmp", portfile)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve_one, args=(conn, root), daemon=True).start()


def client(argv):
    with open(os.environ["RTSP_BRIDGE_PORTFILE"]) as f:
        port = int(f.read())
    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
    sock.settimeout(None)
    sock.sendall(json.dumps({"argv": argv, "cwd": os.getcwd()}).encode() + b"\n")

    def tell(byte):
        try:
            sock.send(byte)
        except OSError:  # the server has ended already
            pass

    for byte, signum in SIGNALS.items():
        signal.signal(signum, lambda *_, byte=byte: tell(byte))

    def watch_stdin():
        while os.read(0, 4096):
            pass
        tell(b"E")

    threading.Thread(target=watch_stdin, daemon=True).start()
    outputs = {b"o": sys.stdout.buffer, b"e": sys.stderr.buffer}
    while True:
        header = recv_exact(sock, 5)
        if header is None:
            return 1
        payload = recv_exact(sock, struct.unpack("!I", header[1:])[0])
        if payload is None:
            return 1
        if header[:1] == b"x":
            code = struct.unpack("!i", payload)[0]
            return code if code >= 0 else 128 - code
        outputs[header[:1]].write(payload)
        outputs[header[:1]].flush()


if __name__ == "__main__":
    if sys.argv[1:2] == ["serve"]:
        serve(os.path.abspath(sys.argv[2]), sys.argv[3])
    else:
        sys.exit(client(sys.argv[2:] if sys.argv[1:2] == ["client"] else sys.argv[1:]))
