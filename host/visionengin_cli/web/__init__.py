"""The status page of a results root: camera tiles, recent alarm pictures, a
JSON API and Prometheus metrics, read-only over what `visionengin cameras`
leaves under the root (see ``command.py`` for how it is served)."""
