// The tiles' live pictures: each camera's current picture fetched about once a
// second while the page is visible and its tile on the screen, and not at all
// otherwise (asking is what makes a camera write them, so nobody looking costs
// the cameras nothing). The tiles are replaced as they update: the pictures
// are kept here and put back.
(function () {
  "use strict";
  var token = new URLSearchParams(location.search).get("token");
  var tiles = document.getElementById("tiles");
  var shown = {};  // camera -> object URL of its latest picture
  var running = false;
  window.livePictures = shown;

  function url(camera) {
    var path = "api/cameras/" + encodeURIComponent(camera) + "/latest.jpg";
    return token ? path + "?token=" + encodeURIComponent(token) : path;
  }

  function cameras() {
    return Array.prototype.map.call(tiles.querySelectorAll(".tile[data-camera]"), function (tile) {
      return tile.dataset.camera;
    });
  }

  // The tiles on the screen (all of them where the browser cannot tell).
  var onScreen = {};
  var observer = "IntersectionObserver" in window ? new IntersectionObserver(function (entries) {
    entries.forEach(function (entry) { onScreen[entry.target.dataset.camera] = entry.isIntersecting; });
  }) : null;

  function observe() {
    if (!observer) return;
    observer.disconnect();
    tiles.querySelectorAll(".tile[data-camera]").forEach(function (tile) { observer.observe(tile); });
  }

  function watched() {
    return cameras().filter(function (camera) { return !observer || onScreen[camera] !== false; });
  }

  function show(camera) {
    var tile = tiles.querySelector('.tile[data-camera="' + CSS.escape(camera) + '"]');
    var figure = tile && tile.querySelector("figure.live");
    if (!figure) return;
    var img = figure.querySelector("img");
    if (!shown[camera]) {
      figure.hidden = true;
      if (img) img.remove();
      return;
    }
    if (!img) {
      img = document.createElement("img");
      img.alt = "what " + camera + " sees now";
      figure.insertBefore(img, figure.firstChild);
    }
    if (img.getAttribute("src") !== shown[camera]) img.src = shown[camera];
    figure.hidden = false;
    document.dispatchEvent(new CustomEvent("live-picture", {detail: {camera: camera, src: shown[camera]}}));
  }

  function fetchOne(camera) {
    return fetch(url(camera), {cache: "no-store"}).then(function (response) {
      return response.ok ? response.blob() : null;
    }).catch(function () { return null; }).then(function (blob) {
      var old = shown[camera];
      if (blob) shown[camera] = URL.createObjectURL(blob);
      else delete shown[camera];
      show(camera);
      if (old) setTimeout(function () { URL.revokeObjectURL(old); }, 2000);  // once replaced on screen
    });
  }

  function tick() {
    if (document.hidden) { running = false; return; }
    var started = Date.now();
    Promise.all(watched().map(fetchOne)).then(function () {
      setTimeout(tick, Math.max(200, 1000 - (Date.now() - started)));
    });
  }

  function start() {
    if (running || document.hidden) return;
    running = true;
    tick();
  }

  tiles.addEventListener("replaced", function () {
    cameras().forEach(show);
    observe();
  });
  observe();
  document.addEventListener("visibilitychange", start);
  start();
})();
