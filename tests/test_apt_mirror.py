"""tools/arm64/apt-mirror: the mirror the arm64 root is made from, found in apt's
sources in both of its formats."""
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytestmark = pytest.mark.slow  # starts servers or processes

TOOL = Path(__file__).resolve().parents[1] / "tools" / "arm64" / "apt-mirror"

DEB822 = textwrap.dedent("""\
    # the security archive first: not a whole release
    Types: deb
    URIs: http://127.0.0.1:9/debian-security
    Suites: stable-security
    Components: main

    Types: deb-src
    URIs: http://127.0.0.1:9/sources
    Suites: bookworm
    Components: main

    Types: deb
    Enabled: no
    URIs: http://127.0.0.1:9/disabled
    Suites: bookworm
    Components: main

    Types: deb
    URIs: https://127.0.0.1:9/debian/ http://127.0.0.1:9/second
    Suites: stable stable-updates
    Components: main contrib
    Signed-By:
     -----BEGIN PGP PUBLIC KEY BLOCK-----
     .
     Types: deb
     -----END PGP PUBLIC KEY BLOCK-----
    """)

ONE_LINE = textwrap.dedent("""\
    # deb http://127.0.0.1:9/commented bookworm main
    deb-src http://127.0.0.1:9/sources bookworm main
    deb [arch=amd64 signed-by=/usr/share/keyrings/k.gpg] http://127.0.0.1:9/other nodistro main
    deb cdrom:[Debian 12]/ bookworm main
    deb http://127.0.0.1:9/updates bullseye-updates main
    deb [ trusted=yes ] file:/srv/mirror/debian bullseye contrib main  # local copy
    """)


def run(*files):
    return subprocess.run([sys.executable, str(TOOL), "--suite", "bullseye", *map(str, files)], capture_output=True, text=True, timeout=30)


@pytest.mark.parametrize("name, text, mirror", [
    ("debian.sources", DEB822, "https://127.0.0.1:9/debian"),
    ("sources.list", ONE_LINE, "file:/srv/mirror/debian"),
])
def test_finds_the_mirror_of_a_whole_release(tmp_path, name, text, mirror):
    (tmp_path / name).write_text(text)
    found = run(tmp_path / "missing.list", tmp_path / name)
    assert (found.returncode, found.stdout) == (0, mirror + "\n"), found.stderr


def test_no_mirror_is_one_clear_line(tmp_path):
    (tmp_path / "sources.list").write_text("deb http://127.0.0.1:9/updates bullseye-updates main\n")
    found = run(tmp_path / "sources.list")
    assert found.returncode == 1 and found.stdout == ""
    assert found.stderr.count("\n") == 1 and "no enabled 'deb' entry of " in found.stderr
