"""For tests that stop a command they started with Ctrl-C (SIGINT).

A test run started with SIGINT ignored (`nohup make test &`, a background job
of a script) hands that on to every child, and Python leaves an ignored SIGINT
ignored: the command would never hear the test's Ctrl-C. Such children are
started with ``preexec_fn=default_sigint``."""
import signal


def default_sigint():
    """In the child, before it runs the command: SIGINT as a terminal's Ctrl-C finds it."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
