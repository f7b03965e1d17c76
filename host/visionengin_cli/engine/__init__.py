"""The one port to the engine (the extension module ``main``): its fixed lines
and picture names (``contract``), the tap in front of its detector (``tap``),
its behaviour table (``behaviours``), its construction (``construction``), the
capture of its own lines (``lines``) and the checked writes of its pictures
(``writes``). ``import main`` is written here and nowhere else in the host.

Nothing is imported here: the commands import the engine only once their
options are parsed (the native log levels are set before)."""
