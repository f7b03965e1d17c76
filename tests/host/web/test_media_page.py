"""The page's clips, recordings, live pictures and zones in a real headless
browser: an incident's card plays its clip and a camera's recordings play
segment after segment (the <video> elements' time advances); a tile shows its
camera's live picture as it changes, with the camera's zones and masks drawn
over it, and none asked for while the page is hidden; a polygon drawn with
the mouse comes back as the TOML to paste."""
import json
import os
import re
import sys
import threading
import time

import cv2
import numpy as np
import pytest

from visionengin_cli.storage import latest

from .conftest import iso, make_mp4, wait

pytestmark = [pytest.mark.slow, pytest.mark.timeout(120), pytest.mark.long_run, pytest.mark.skipif(
    sys.version_info[:2] != (3, 11), reason="the browser's media tests: Python 3.11 only")]
BY = "css selector"


def playing_time(browser, element):
    return browser.execute_script("return arguments[0].currentTime", element)


def test_clip_and_recordings_play(root, client, browser):
    start = time.time() - 20
    hour = time.strftime("%Y-%m-%d/%H", time.gmtime(start))
    clip = "gate/%s/incident-c1.mp4" % hour
    make_mp4(root.path / clip)
    picture = root.alarm("gate", "person", when=start, score=0.8)["picture"]
    for kind, extra in (("incident_start", {}), ("incident_end", {"clip": clip})):
        root.append_line(json.dumps(dict({
            "type": kind, "id": kind, "incident": "c1", "time": iso(start + 5), "camera": "gate",
            "info_type": "person", "start": iso(start), "end": iso(start + 5), "count": 1,
            "picture": picture, "score": 0.8}, **extra)))
    segments = root.path / "gate" / "recordings" / hour
    for name in ("%s0000.000000.mp4" % hour[-2:], "%s0002.000000.mp4" % hour[-2:]):
        make_mp4(segments / name, seconds=2)

    browser.get(client.url)
    video = wait(browser, lambda: browser.find_element(BY, ".incident video.clip"))
    assert video.get_attribute("src").endswith("clips/" + clip)
    browser.execute_script("arguments[0].muted = true; arguments[0].play()", video)
    wait(browser, lambda: playing_time(browser, video) > 1.0)  # it plays, fetched in ranges

    browser.find_element(BY, ".tile[data-camera=gate] button[data-recordings]").click()
    panel = browser.find_element(BY, "#recordings")
    wait(browser, lambda: len(panel.find_elements(BY, ".segments li")) == 2)
    assert panel.find_element(BY, "select[name=hour] option").get_attribute("value") == hour
    playback = browser.find_element(BY, "#playback")
    browser.execute_script("arguments[0].muted = true", playback)
    panel.find_element(BY, ".segments li button").click()
    wait(browser, lambda: playing_time(browser, playback) > 0.5)
    # at its end, the next segment
    wait(browser, lambda: panel.find_elements(BY, ".segments li")[1].get_attribute("class") == "playing", 30)
    wait(browser, lambda: playing_time(browser, playback) > 0.5)
    assert "%s0002.000000.mp4" % hour[-2:] in playback.get_attribute("src")


def brightness(browser, image):
    """The mean of the picture the element shows, read back by a canvas."""
    return browser.execute_script("""
        var img = arguments[0], c = document.createElement('canvas');
        if (!img.complete || !img.naturalWidth) return null;
        c.width = img.naturalWidth; c.height = img.naturalHeight;
        var g = c.getContext('2d'); g.drawImage(img, 0, 0);
        var d = g.getImageData(0, 0, c.width, c.height).data, sum = 0;
        for (var i = 0; i < d.length; i += 4) sum += d[i];
        return sum / (d.length / 4);""", image)


def test_live_picture_zones_and_drawing(root, client, browser, tmp_path):
    status = root.status("gate")
    status.update(zones={"driveway": [[0.0, 0.5], [1.0, 0.5], [1.0, 1.0], [0.0, 1.0]]},
                  masks={"street": [[0.0, 0.0], [0.5, 0.0], [0.5, 0.2]]})
    root.write_status("gate", status)
    folder = latest.folder_for(str(root.path))
    stop = threading.Event()

    def camera():  # as the camera process writes them while asked: dark, then bright
        while not stop.wait(0.5):
            shade = 230 if int(time.time()) % 2 else 30
            data = cv2.imencode(".jpg", np.full((360, 640, 3), shade, np.uint8))[1].tobytes()
            with open(os.path.join(folder, "gate.jpg.tmp"), "wb") as out:
                out.write(data)
            os.replace(os.path.join(folder, "gate.jpg.tmp"), os.path.join(folder, "gate.jpg"))
    writer = threading.Thread(target=camera)
    writer.start()
    try:
        browser.get(client.url)
        tile = ".tile[data-camera=gate] "
        image = wait(browser, lambda: browser.find_element(BY, tile + "figure.live img"))
        seen = set()
        wait(browser, lambda: seen.add(brightness(browser, browser.find_element(BY, tile + "figure.live img")))
             or {round(b or 0) // 100 for b in seen if b} >= {0, 2})  # the picture changed, twice over
        assert not browser.find_elements(BY, ".tile[data-camera=yard] figure.live:not([hidden])")

        image = browser.find_element(BY, tile + "figure.live img")
        zone = browser.find_element(BY, tile + "svg.zones polygon.zone")
        mask = browser.find_element(BY, tile + "svg.zones polygon.mask")
        assert (zone.get_attribute("data-name"), mask.get_attribute("data-name")) == ("driveway", "street")
        box, drawn = image.rect, zone.rect  # the driveway: the picture's lower half
        assert abs(drawn["y"] - (box["y"] + box["height"] / 2)) < 2 and abs(drawn["width"] - box["width"]) < 2
        assert browser.find_element(BY, tile + ".zone-names").text == "zones: driveway masks: street"
        assert not browser.find_elements(BY, ".tile[data-camera=yard] svg.zones")

        browser.save_screenshot(str(tmp_path / "live-tile.png"))
        browser.find_element(BY, tile + "button[data-draw]").click()
        sheet = browser.find_element(BY, "#draw")
        wait(browser, sheet.is_displayed)
        surface = sheet.find_element(BY, "svg")
        assert len(surface.find_elements(BY, "polygon")) == 2  # the zones known, drawn on too
        from selenium.webdriver.common.action_chains import ActionChains
        size = surface.rect
        for fx, fy in ((0.25, 0.25), (0.75, 0.25), (0.75, 0.9)):
            ActionChains(browser).move_to_element_with_offset(
                surface, int(size["width"] * (fx - 0.5)), int(size["height"] * (fy - 0.5))).click().perform()
        browser.save_screenshot(str(tmp_path / "drawing-a-zone.png"))
        name = sheet.find_element(BY, "input[name=name]")
        name.clear()
        name.send_keys("gate path")
        toml = sheet.find_element(BY, "textarea").get_attribute("value")
        match = re.fullmatch(r'\[cameras\.gate\.zones\]\n"gate path" = \[\[(\S+), (\S+)\], \[(\S+), (\S+)\], '
                             r'\[(\S+), (\S+)\]\]\n', toml)
        assert match, toml
        got = [float(v) for v in match.groups()]
        assert all(re.fullmatch(r"\d\.\d{3}", v) for v in match.groups())
        assert max(abs(a - b) for a, b in zip(got, (0.25, 0.25, 0.75, 0.25, 0.75, 0.9))) < 0.01
        browser.execute_cdp_cmd("Browser.grantPermissions", {
            "origin": client.url.rstrip("/"), "permissions": ["clipboardReadWrite", "clipboardSanitizedWrite"]})
        sheet.find_element(BY, "button.copy").click()
        wait(browser, lambda: sheet.find_element(BY, ".copied").text == "copied")
        pasted = browser.execute_async_script(
            "var done = arguments[0]; navigator.clipboard.readText().then(done, function (e) { done('' + e); })")
        assert pasted == toml
        sheet.find_element(BY, "button.close").click()
        wait(browser, lambda: not sheet.is_displayed())

        marker = os.path.join(folder, "gate.wanted")  # a hidden page asks nothing
        page = browser.current_window_handle
        browser.switch_to.new_window("tab")
        try:
            time.sleep(1.5)
            asked = os.stat(marker).st_mtime
            time.sleep(2.5)
            assert os.stat(marker).st_mtime == asked
        finally:
            browser.close()
            browser.switch_to.window(page)
        wait(browser, lambda: os.stat(marker).st_mtime > asked)  # shown again: asked again
    finally:
        stop.set()
        writer.join()
