"""``python -m visionengin_cli``: the same as the ``visionengin`` command."""
from .cli import console_main

console_main()
