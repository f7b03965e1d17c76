"""The fleet page's devices split into pages of at most PAGE_TILES camera
tiles (whole devices, one at the least), so that a page over a thousand
devices stays quick to make and to show. When the fleet takes more than one
page, the devices that ask for a look (offline, silent, a name reused, an
incident running, a camera down) come first, by name, then the others by
name: paging never puts one of them behind a quiet device. A fleet that
fits one page is shown as it always was, by name."""
from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple
from urllib.parse import urlencode

from .fleet_cache import Summary
from ..storage.parsing import Bad

PAGE_TILES = 400
LINKS_AROUND = 5  # page links on either side of the current one (the first and the last always)

Tile = Tuple[Dict[str, Any], List[Dict[str, Any]]]  # a device and its cameras


def page_number(text: Optional[str]) -> Optional[int]:
    """``page=`` of the fleet page and its tiles: None when not given."""
    if text is None or text == "":
        return None
    if not text.isdigit() or len(text) > 9 or int(text) < 1:
        raise Bad("page: a whole number from 1, not {!r}".format(text[:40]))
    return int(text)


def needs_look(device: Dict[str, Any], summary: Summary) -> bool:
    return not device["online"] or bool(device["silent"]) or bool(device["name_reused"]) or summary.alarm


def split(summaries: List[Summary], devices: List[Dict[str, Any]], asked: Optional[int],
          device: str, token: Optional[str]) -> Tuple[List[Tile], Dict[str, Any]]:
    """The tiles of the page asked for (by default the one holding
    ``device``, else the first; past the last: the last), and what the page
    says of the split: which devices of how many, links to the others."""
    pairs = list(zip(devices, summaries))
    pages: List[List[Tuple[Dict[str, Any], Summary]]] = [[]]
    if sum(max(1, len(s.cameras)) for s in summaries) > PAGE_TILES:
        pairs.sort(key=lambda pair: (not needs_look(*pair), pair[0]["device"]))
    tiles = 0
    for pair in pairs:
        size = max(1, len(pair[1].cameras))
        if pages[-1] and tiles + size > PAGE_TILES:
            pages.append([])
            tiles = 0
        pages[-1].append(pair)
        tiles += size
    if asked is None:
        asked = next((n + 1 for n, page in enumerate(pages) if any(d["device"] == device for d, _ in page)), 1)
    number = min(asked, len(pages))
    first = sum(len(page) for page in pages[:number - 1])
    shown = pages[number - 1]

    def href(n: int) -> str:
        return "?" + urlencode(dict({"page": n}, **({"token": token} if token else {})))

    around = range(max(1, number - LINKS_AROUND), min(len(pages), number + LINKS_AROUND) + 1)
    links = [{"number": n, "href": href(n), "current": n == number,
              "title": "{} to {}".format(pages[n - 1][0][0]["device"], pages[n - 1][-1][0]["device"])}
             for n in sorted({1, len(pages)} | set(around)) if pages[n - 1]]
    paging = {"number": number, "pages": len(pages), "total": len(pairs),
              "first": first + 1, "last": first + len(shown),
              "looks": sum(1 for pair in pairs if needs_look(*pair)), "links": links}
    return [(d, s.cameras) for d, s in shown], paging
