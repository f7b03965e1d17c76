"""A pytest plugin `make test-asan` loads: the AddressSanitizer runtime preloaded for
the interpreter reaches only the processes that run the engine.

The interpreter was started with the runtime in LD_PRELOAD, which it keeps loaded;
the variable is taken out of the environment at once, so helpers a test starts
(chromedriver and chromium, the RTSP server under the system's Python, GStreamer)
run without it: the runtime aborts some of them and says nothing about the engine.
A child started from this environment's own bin folder (this interpreter again, or
`visionengin`) is the engine too and gets it back, and so do its own children; so
does a command handed that folder (a wrapper such as `unshare ... bash SCRIPT BIN`,
which runs the engine from it, or a Ray cluster whose workers run it).
"""
from __future__ import annotations

import os
import shlex
import shutil
import subprocess
import sys

PRELOAD = os.environ.pop("LD_PRELOAD", "")
ENGINE_BIN = os.path.dirname(os.path.abspath(sys.executable))  # the venv's bin, symlinks unresolved
_popen_init = subprocess.Popen.__init__


def program_of(args, executable=None, shell=False, env=None):
    """The path of the program a Popen call runs (the shell's first word for shell=True)."""
    program = executable
    if program is None:
        if isinstance(args, (str, bytes, os.PathLike)):
            program = os.fsdecode(args)
            if shell:
                words = shlex.split(program)
                program = words[0] if words else ""
        else:
            program = os.fsdecode(next(iter(args), ""))
    program = os.fsdecode(program)
    if program and os.sep not in program:
        program = shutil.which(program, path=(os.environ if env is None else env).get("PATH")) or program
    return os.path.abspath(program) if program else ""


def names_engine_bin(args):
    words = [args] if isinstance(args, (str, bytes, os.PathLike)) else list(args)
    return any(os.path.abspath(os.fsdecode(word)).rstrip(os.sep) == ENGINE_BIN for word in words[1:])


def runs_engine(args, executable=None, shell=False, env=None):
    return os.path.dirname(program_of(args, executable, shell, env)) == ENGINE_BIN or names_engine_bin(args)


def _init(self, args, *rest, **kwargs):
    if PRELOAD and not rest and runs_engine(args, kwargs.get("executable"), kwargs.get("shell", False),
                                            kwargs.get("env")):
        env = dict(os.environ if kwargs.get("env") is None else kwargs["env"])
        env["LD_PRELOAD"] = PRELOAD
        kwargs["env"] = env
    _popen_init(self, args, *rest, **kwargs)


subprocess.Popen.__init__ = _init  # type: ignore[method-assign]
