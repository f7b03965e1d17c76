"""``visionengin register PATH [--name NAME]``: the one face of a picture
enrolled under a name, in the cache's faces/NAME.png, with the face
component's answer told in words."""
from __future__ import annotations

import argparse
import os
from typing import Any, List

from ..engine.lines import engine_lines
from ..engine.tap import Tap
from ..errors import EXIT_OK, CommandError
from ..native import NativeLines
from ..options import face_name
from .common import engine_for, picture_check, selected


def add_parser(commands: Any, common: List[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser("register", parents=common,
                                 help="enrol the one face of a picture under a name")
    parser.add_argument("path", metavar="PATH", help="picture file with one face")
    parser.add_argument("--name", type=face_name,
                        help="name to register the face under: letters, digits, '_', '-', '.' "
                             "(default: the engine's); a face registered under it is replaced")
    parser.set_defaults(run=run)


def registered_faces(cache: str) -> List[str]:
    """The names of the faces kept in the cache (faces/NAME.png)."""
    try:
        files = os.listdir(os.path.join(cache, "faces"))
    except OSError:
        return []
    return [name[:-len(".png")] for name in files if name.endswith(".png")]


def _register(engine: Any, args: Any) -> None:
    before = registered_faces(args.cache)  # the name may be the engine's default: known after
    faces = Tap(engine.face_handle, "register", judge=lambda answer, im: (answer, []))
    engine.face_handle = faces
    with engine_lines(lambda line: True):  # the raw answer is presented below instead
        if args.name is None:
            engine.register(args.path)
        else:
            engine.register(args.path, args.name)
    answer = faces.answer
    if not hasattr(answer, "get"):
        print(answer)
        return
    name = answer.get("name", args.name)
    if answer.get("code", 0) != 0:
        raise CommandError("cannot register {} as {!r}: {}".format(
            args.path, name, answer.get("msg") or "the face component's code {}".format(answer.get("code"))))
    print("registered {!r} from {}{}".format(
        name, args.path, " into {}".format(answer["path"]) if answer.get("path") else ""))
    if str(name) in before:
        print("replaced the face registered as {!r}".format(name))


def run(args: Any) -> int:
    table, bev = selected(args)
    args.path = os.path.abspath(args.path)  # relative to where the command starts
    native = NativeLines(args.path)
    engine = engine_for(args, table, bev, lambda: picture_check(native, args.path))
    with native.captured() as lines:  # the engine reads the picture again
        _register(engine, args)
    native.tell(lines)
    return EXIT_OK
