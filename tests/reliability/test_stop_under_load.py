"""stop() ends a live run whatever the workers are doing at that moment, also when it
is called by a busy host thread that holds the GIL. Run in a child process: a
deadlock there fails the test instead of hanging the suite."""
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.slow  # starts servers or processes

HOST = textwrap.dedent("""
    import sys, threading, time
    import main
    sys.setswitchinterval(1.0)  # a busy Python thread keeps the GIL for up to 1 s
    engine = main.VisionEngin()
    run = threading.Thread(target=engine.test_rtsp, args=(sys.argv[1],), daemon=True)
    run.start()
    time.sleep(0.35)  # the capture worker is in its reconnect back-off (0.1 s, 0.2 s, 0.4 s ...)
    end = time.monotonic() + 0.6
    while time.monotonic() < end:  # busy: hold the GIL while a back-off sleep runs out
        pass
    engine.stop()
    run.join(10)
    print("stopped" if not run.is_alive() else "still running")
""")


@pytest.mark.timeout(60)
def test_stop_from_a_busy_thread_while_a_worker_wakes(workdir):
    try:
        proc = subprocess.run([sys.executable, "-c", HOST, str(workdir / "no-camera.avi")], cwd=workdir,
                              capture_output=True, text=True, timeout=30)
    except subprocess.TimeoutExpired:
        pytest.fail("deadlock: stop() did not return within 30 s")
    assert proc.stdout.splitlines()[-1:] == ["stopped"], proc.stderr[-2000:]
