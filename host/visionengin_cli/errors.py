"""The ways a command ends, shared by every command: exit statuses, the errors a
command raises to end with one line, and that line. Imports nothing of ours but
the masking of secrets, so every module may use it."""
from __future__ import annotations

import signal
import sys
from typing import Optional

from .secrets import mask_text

PROG = "visionengin"
EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
EXIT_TERMINATED, EXIT_PIPE = 128 + signal.SIGTERM, 128 + 13  # 143, 141


class CommandError(Exception):
    """A failure the user can act on, reported as one line: exit status 1, or
    ``status`` (2 for a configuration that cannot be used)."""

    def __init__(self, message: str, status: Optional[int] = None) -> None:
        super().__init__(message)
        self.status = EXIT_ERROR if status is None else status


class UsageError(Exception):
    """Bad usage found after parsing (exit status 2), e.g. an unknown --bev."""


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised like Ctrl-C so that a run stops the same clean way."""


def one_line(text: str) -> str:
    return mask_text(" ".join(line.strip() for line in text.splitlines()) or text)




def print_error(message: str) -> None:
    """The one way an error reaches the user: "visionengin: error: ..." on one line."""
    print("{}: error: {}".format(PROG, one_line(message)), file=sys.stderr, flush=True)
