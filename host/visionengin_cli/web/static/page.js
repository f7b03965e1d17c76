// Keeps the status page current without reloading it: the tiles and the alarm
// list are fetched again as server-rendered fragments every few seconds (and
// the list at once when a filter changes); a click on a picture shows it full size.
// The tiles' live pictures (live.js), the recordings and the drawing of zones
// (tools.js) are scripts of their own.
(function () {
  "use strict";
  var poll = Number(document.body.dataset.pollMs) || 2000;
  var token = new URLSearchParams(location.search).get("token");
  var filters = document.getElementById("filters");
  var viewer = document.getElementById("viewer");
  // A large fleet's tiles come a page at a time: the page shown is the one kept current.
  var tilePage = document.getElementById("tiles").dataset.page;

  function url(path, params) {
    var query = new URLSearchParams(params || {});
    if (token) query.set("token", token);
    var text = query.toString();
    return text ? path + "?" + text : path;
  }

  // The pictures of one incident (its button): from its first picture to its
  // last, until a filter is changed by hand.
  var span = null;

  function filterParams() {
    var params = {};
    new FormData(filters).forEach(function (value, key) { if (value) params[key] = value; });
    if (span) {
      if (span.from) params.from = span.from;
      if (span.until) params.until = span.until;
    }
    return params;
  }

  // The server's clock, in the device's zone as every time on the page.
  var updated = "";

  function refresh(id, path, params) {
    return fetch(url(path, params), {cache: "no-store"}).then(function (response) {
      if (!response.ok) throw new Error("HTTP " + response.status);
      updated = response.headers.get("X-Updated") || updated;
      return response.text().then(function (html) {
        var part = document.getElementById(id), digest = response.headers.get("X-Digest");
        var playing = Array.prototype.some.call(part.querySelectorAll("video"), function (video) {
          return !video.paused && !video.ended;
        });
        // unchanged: leave the pictures alone; a clip playing: later
        if (part.dataset.digest !== digest && !playing) {
          part.innerHTML = html;
          part.dataset.digest = digest;
          part.dispatchEvent(new CustomEvent("replaced", {bubbles: true}));
        }
      });
    });
  }

  function note(text) { document.getElementById("updated").textContent = text; }

  function tick() {
    Promise.all([refresh("tiles", "fragments/tiles", tilePage ? {page: tilePage} : {}),
                 refresh("incidents", "fragments/incidents", filterParams()),
                 refresh("alarms", "fragments/alarms", filterParams())])
      .then(function () { note("updated " + updated); },
            function (error) { note("cannot reach the server (" + error.message + ")"); })
      .then(function () { setTimeout(tick, poll); });
  }

  filters.addEventListener("change", function () {
    span = null;
    var kept = filterParams();
    if (tilePage && tilePage !== "1") kept.page = tilePage;
    history.replaceState(null, "", url(location.pathname, kept));
    refresh("alarms", "fragments/alarms", filterParams());
    refresh("incidents", "fragments/incidents", filterParams());
  });

  // An incident's button: its pictures (its camera and info type, from its
  // first picture to its last).
  document.addEventListener("click", function (event) {
    var pick = event.target.closest("button[data-camera]");
    if (!pick) return;
    filters.elements.camera.value = pick.dataset.camera;
    filters.elements.info_type.value = pick.dataset.infoType;
    span = {from: pick.dataset.from, until: pick.dataset.until};
    refresh("alarms", "fragments/alarms", filterParams());
    refresh("incidents", "fragments/incidents", filterParams());
    document.getElementById("alarms").scrollIntoView();
  });

  document.addEventListener("click", function (event) {
    var link = event.target.closest("a.shot, a.alarm");
    if (!link) return;
    event.preventDefault();
    viewer.querySelector("img").src = link.href;
    viewer.querySelector("figcaption").textContent = link.dataset.caption || "";
    viewer.hidden = false;
  });
  viewer.addEventListener("click", function () { viewer.hidden = true; });
  document.addEventListener("keydown", function (event) {
    if (event.key === "Escape") viewer.hidden = true;
  });

  setTimeout(tick, poll);
})();
