"""The results root kept for months: where each picture goes and under what
name, one owner per camera folder, and what is removed when space runs short."""
