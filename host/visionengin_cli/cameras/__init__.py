"""``visionengin cameras``: many cameras on one device, each in its own
process, supervised, with a status table, status files and an event log."""
