"""The cameras' results root on real file systems the tests make: a small
tmpfs of its own per test (mounting needs root, as CI has), so a full disk
is a real one."""
import os
import subprocess
import sys

import pytest

from cameras.conftest import (  # noqa: F401 - the cameras fixtures, shared
    SCRIPT, Command, cameras, servers, toml_config, wait_for, with_secret)

# The longest runs of the real command: on one interpreter of the six.
one_interpreter = pytest.mark.skipif(
    sys.version_info[:2] != (3, 11), reason="a long run of the real command: tested on Python 3.11 only")


@pytest.fixture
def small_disk(tmp_path):
    """small_disk(megabytes): a fresh tmpfs of that size, unmounted at the end."""
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root (CI runs the suite as root)")
    mounted = []

    def mount(megabytes):
        path = tmp_path / "disk{}".format(len(mounted))
        path.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size={}m".format(megabytes), "tmpfs",
                        str(path)], check=True)
        mounted.append(path)
        return path

    yield mount
    for path in mounted:
        subprocess.run(["umount", "-l", str(path)], check=False)
