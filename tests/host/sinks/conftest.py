"""Real receivers on 127.0.0.1 for the sinks: Debian's mosquitto started with a
configuration the test writes (a password, TLS with a CA made here), a
subscriber that records every message, and certificates."""
import datetime
import ipaddress
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import threading
import time
import warnings

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2]))
from rtsp_server import free_port  # noqa: E402

MOSQUITTO = "/usr/sbin/mosquitto"
USER, PASSWORD = "device", "br0ker-s3cret"


def wait_for(predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.05)


def make_certificates(folder):
    """A CA and a server certificate for 127.0.0.1 signed by it; returns
    (ca, cert, key) paths."""
    with warnings.catch_warnings():  # its farewell to Python 3.8
        warnings.simplefilter("ignore")
        from cryptography import x509
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec
        from cryptography.x509.oid import NameOID

    now = datetime.datetime.now(datetime.timezone.utc)

    def build(subject, issuer, key, signer, ca):
        builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer)
                   .public_key(key.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(minutes=5))
                   .not_valid_after(now + datetime.timedelta(days=1))
                   .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
        if not ca:
            builder = builder.add_extension(x509.SubjectAlternativeName(
                [x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False)
        return builder.sign(signer, hashes.SHA256())

    ca_key, key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "test CA")])
    ca = build(ca_name, ca_name, ca_key, ca_key, True)
    cert = build(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")]), ca_name, key, ca_key, False)
    paths = [folder / "ca.pem", folder / "server.pem", folder / "server.key"]
    paths[0].write_bytes(ca.public_bytes(serialization.Encoding.PEM))
    paths[1].write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    paths[2].write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    return paths


class Broker:
    """mosquitto on 127.0.0.1, persistent (subscriptions and retained messages
    outlive a stop), optionally with a password and TLS."""

    def __init__(self, folder, password=False, tls=False):
        self.folder, self.port, self.tls = folder, free_port(), tls
        self.proc = None
        self.ca = None
        lines = ["listener {} 127.0.0.1".format(self.port), "persistence true",
                 "persistence_location {}/".format(folder), "log_dest stderr",
                 "allow_anonymous {}".format("false" if password else "true")]
        if os.geteuid() == 0:  # as root it would switch to its own user, who cannot read tmp_path
            lines.append("user root")
        if password:
            passwords = folder / "passwords"
            passwords.write_text("{}:{}\n".format(USER, PASSWORD))
            subprocess.run(["mosquitto_passwd", "-U", str(passwords)], check=True, timeout=30)
            lines.append("password_file {}".format(passwords))
        if tls:
            self.ca, cert, key = make_certificates(folder)
            lines += ["cafile {}".format(self.ca), "certfile {}".format(cert), "keyfile {}".format(key)]
        self.conf = folder / "mosquitto.conf"
        self.conf.write_text("\n".join(lines) + "\n")

    def start(self):
        if shutil.which(MOSQUITTO) is None and not pathlib.Path(MOSQUITTO).exists():
            pytest.skip("mosquitto is not installed (tools/install-system-deps)")
        self.log = open(self.folder / "mosquitto.log", "ab")
        self.proc = subprocess.Popen([MOSQUITTO, "-c", str(self.conf)], stdout=self.log,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.5).close()
                return True
            except OSError:
                return self.proc.poll() is not None
        assert wait_for(listening, 20) and self.proc.poll() is None, self.log_text()
        return self

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc is not None:
            self.log.close()
        self.proc = None

    def log_text(self):
        path = self.folder / "mosquitto.log"
        return path.read_text(errors="replace") if path.exists() else ""


class Subscriber:
    """A persistent-session client recording every message of ``topics``:
    (topic, payload bytes, retain). It reconnects by itself after a broker
    restart and the broker keeps its QoS 1 messages meanwhile."""

    def __init__(self, broker, topics, client_id="test-subscriber"):
        import paho.mqtt.client as paho
        from paho.mqtt.enums import CallbackAPIVersion

        self.messages, self.lock = [], threading.Lock()
        self.client = paho.Client(CallbackAPIVersion.VERSION2, client_id=client_id,
                                  protocol=paho.MQTTv311, clean_session=False)
        if broker.conf.read_text().find("password_file") >= 0:
            self.client.username_pw_set(USER, PASSWORD)
        if broker.tls:
            self.client.tls_set(ca_certs=str(broker.ca))
        self.client.reconnect_delay_set(0.2, 1)
        self.subscribed = threading.Event()

        def on_connect(client, userdata, flags, reason, properties):
            if not reason.is_failure:
                client.subscribe([(topic, 1) for topic in topics])

        def on_subscribe(*args):
            self.subscribed.set()

        def on_message(client, userdata, message):
            with self.lock:
                self.messages.append((message.topic, bytes(message.payload), bool(message.retain)))

        self.client.on_connect, self.client.on_message = on_connect, on_message
        self.client.on_subscribe = on_subscribe
        self.client.connect("127.0.0.1", broker.port, keepalive=10)
        self.client.loop_start()
        assert self.subscribed.wait(20), "no subscription"

    def on(self, topic):
        with self.lock:
            return [(payload, retain) for t, payload, retain in self.messages if t == topic]

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


@pytest.fixture
def broker(tmp_path):
    """broker(password=False, tls=False): a started mosquitto, stopped at the end."""
    made = []

    def start(**options):
        folder = tmp_path / "broker{}".format(len(made))
        folder.mkdir()
        made.append(Broker(folder, **options).start())
        return made[-1]

    yield start
    for each in made:
        each.stop()


@pytest.fixture
def subscriber():
    made = []

    def start(broker, topics):
        made.append(Subscriber(broker, topics))
        return made[-1]

    yield start
    for each in made:
        each.close()


__all__ = ["wait_for", "USER", "PASSWORD", "free_port"]
