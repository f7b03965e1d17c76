"""The event log's tests: a small file system of their own per test, as the
storage tests make them, so a full disk is a real one."""
from storage.conftest import small_disk  # noqa: F401 - the fixture, shared
