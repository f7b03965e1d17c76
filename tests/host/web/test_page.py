"""The status page in a real headless browser (Debian's chromium, driven by
selenium): tiles and recent alarms, the update after a new alarm without a
reload, the filter, the full-size view, and the token carried by its links."""
import os
import re
import time

import pytest

from .conftest import loaded, wait

pytestmark = [pytest.mark.slow, pytest.mark.timeout(120)]


def hrefs(driver):
    return [a.get_attribute("href").rsplit("/", 2)[-2:] for a in driver.find_elements("css selector", "#alarms a.alarm")]


def test_tiles_alarms_update_filter_and_viewer(root, client, browser, tmp_path):
    by = "css selector"
    browser.get(client.url)

    def tile(camera, part):
        return browser.find_element(by, ".tile[data-camera=%s] %s" % (camera, part))
    assert [t.get_attribute("data-camera") for t in browser.find_elements(by, ".tile")] == ["gate", "yard"]
    assert tile("gate", ".state").text == "streaming" and tile("yard", ".state").text == "stale"
    assert tile("gate", ".fps").text == "12.5 fps"
    assert tile("gate", ".latest").text.startswith("face")
    wait(browser, lambda: loaded(browser, tile("gate", ".shot img")))
    assert hrefs(browser) == [["rtsp_result", "face-3.jpg"], ["rtsp_result", "motion-2.jpg"],
                              ["rtsp_result", "motion-1.jpg"], ["rtsp_result", "face-1.jpg"]]

    root.alarm("gate", "person")  # the page shows it by itself
    wait(browser, lambda: hrefs(browser)[0] == ["rtsp_result", "person-4.jpg"])
    wait(browser, lambda: tile("gate", ".latest").text.startswith("person"))
    wait(browser, lambda: all(loaded(browser, i) for i in browser.find_elements(by, ".tile img, .alarm img")))
    browser.save_screenshot(str(tmp_path / "status-page.png"))
    assert os.path.getsize(tmp_path / "status-page.png") > 10000

    from selenium.webdriver.support.ui import Select
    Select(browser.find_element(by, "select[name=camera]")).select_by_visible_text("yard")
    wait(browser, lambda: hrefs(browser) == [["rtsp_result", "face-1.jpg"]])
    assert "camera=yard" in browser.current_url

    browser.find_element(by, "#alarms a.alarm").click()
    viewer = browser.find_element(by, "#viewer")
    wait(browser, viewer.is_displayed)
    full = viewer.find_element(by, "img")
    wait(browser, lambda: loaded(browser, full) == 160)  # the picture itself, not a thumbnail
    assert viewer.find_element(by, "figcaption").text.startswith("yard · face · ")
    viewer.click()
    wait(browser, lambda: not viewer.is_displayed())


def test_token_in_links(root, serve, browser):
    client = serve(root.path, token="tok-123")
    browser.get(client.url + "?token=tok-123")
    images = browser.find_elements("css selector", "img[src*='token=tok-123']")
    assert len(images) >= 5
    wait(browser, lambda: all(loaded(browser, i) for i in images))
    wait(browser, lambda: browser.find_element("id", "updated").text.startswith("updated"))
    note = browser.find_element("id", "updated").text  # the device's zone, as on the tiles
    assert re.fullmatch(r"updated \d\d:\d\d:\d\d " + re.escape(time.strftime("%Z")), note), note
    browser.get(client.url)
    assert "valid token" in browser.find_element("tag name", "body").text
