"""PyAV as the recordings use it: the module typed loosely (its type hints
change from release to release; PyAV 12 is the last for Python 3.8) and an
output stream that copies an input stream's packets unchanged."""
from __future__ import annotations

import importlib
from typing import Any


class Failure(Exception):
    """A recording or clip that cannot be made; the message is its reason."""


def pyav() -> Any:
    """The av module, typed loosely: its type hints change from release to
    release (PyAV 12 is the last for Python 3.8)."""
    try:
        return importlib.import_module("av")
    except ImportError as error:
        raise Failure("PyAV (the av package) is not installed: {}".format(error)) from None


def add_copy_stream(output: Any, template: Any) -> Any:
    """An output stream with the input stream's codec parameters (PyAV 12
    has ``add_stream(template=)``, later ones ``add_stream_from_template``)."""
    if hasattr(output, "add_stream_from_template"):
        stream = output.add_stream_from_template(template)
    else:
        stream = output.add_stream(template=template)
    if template.codec_context.name == "hevc":
        stream.codec_tag = "hvc1"  # the tag browsers play
    return stream
