"""The one-shot commands: ``pic``, ``video``, ``stream``, ``register`` and
``behaviours``, one module each, built on the engine's port (``engine``)."""
