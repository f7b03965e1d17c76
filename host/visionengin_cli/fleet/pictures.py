"""Whether a device's snapshot is a whole JPEG or PNG picture, read from its
structure alone (no decoding): anyone on the broker can publish one, so
what only starts like a picture is refused, not kept."""
from __future__ import annotations

import struct
import zlib
from typing import Optional

_STANDALONE = {0x01} | set(range(0xD0, 0xD8))  # markers without a length: TEM, RST0-7
_FRAMES = set(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}  # SOF0-15 (not DHT, JPG, DAC)
_PNG = b"\x89PNG\r\n\x1a\n"


def _jpeg(data: bytes) -> bool:
    """SOI, length-delimited segments with a frame header up to the first
    SOS, and EOI as the last two bytes."""
    if data[:2] != b"\xff\xd8" or data[-2:] != b"\xff\xd9":
        return False
    at, framed, end = 2, False, len(data)
    while at + 4 <= end:
        if data[at] != 0xFF:
            return False
        marker = data[at + 1]
        if marker == 0xFF:  # a fill byte
            at += 1
            continue
        if marker in _STANDALONE:
            at += 2
            continue
        if marker in (0xD8, 0xD9, 0x00):
            return False
        (length,) = struct.unpack_from(">H", data, at + 2)
        if length < 2 or at + 2 + length > end - 2:
            return False
        framed = framed or marker in _FRAMES
        if marker == 0xDA:
            return framed and length >= 8
        at += 2 + length
    return False


def _png(data: bytes) -> bool:
    """The signature, chunks with their checksums, IHDR first and IEND last."""
    if data[:8] != _PNG:
        return False
    at, first = 8, True
    while at + 12 <= len(data):
        length, kind = struct.unpack_from(">I4s", data, at)
        body_end = at + 8 + length
        if body_end + 4 > len(data) or (first and kind != b"IHDR"):
            return False
        (crc,) = struct.unpack_from(">I", data, body_end)
        if zlib.crc32(data[at + 4:body_end]) & 0xFFFFFFFF != crc:
            return False
        at, first = body_end + 4, False
        if kind == b"IEND":
            return bool(at == len(data))
    return False


def kind(data: bytes) -> Optional[str]:
    """".jpg", ".png", or None for anything else."""
    if _jpeg(data):
        return ".jpg"
    if _png(data):
        return ".png"
    return None
