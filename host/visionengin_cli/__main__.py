"""``python -m visionengin_cli``: the same as the ``visionengin`` command."""
import sys

from .cli import main

sys.exit(main())
