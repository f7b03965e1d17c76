"""What the cameras tell other programs: the event log, its parts and what is
built on them."""
