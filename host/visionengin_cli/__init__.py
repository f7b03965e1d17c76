"""visionengin_cli: the ``visionengin`` command, a small host program of the engine.

It uses the engine module ``main`` exactly as any host does: one ``VisionEngin``
and its entry points (see ``visionengin --help`` and ``cli.py``).
"""
