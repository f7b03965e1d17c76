// A tile's two tools: its camera's recordings browsed by hour and played one
// segment after another; and drawing a polygon over its latest picture with
// the mouse, given back as the TOML to paste into the configuration (the page
// itself writes nothing).
(function () {
  "use strict";
  var token = new URLSearchParams(location.search).get("token");
  var panel = document.getElementById("recordings");
  var sheet = document.getElementById("draw");
  if (!panel || !sheet) return;

  function url(path, params) {
    var query = new URLSearchParams(params || {});
    if (token) query.set("token", token);
    var text = query.toString();
    return text ? path + "?" + text : path;
  }

  function getJson(path, params) {
    return fetch(url(path, params), {cache: "no-store"}).then(function (response) {
      return response.json().then(function (body) {
        if (!response.ok) throw new Error(body.error || "HTTP " + response.status);
        return body;
      });
    });
  }

  // -- recordings ---------------------------------------------------------------

  var hours = panel.querySelector("select[name=hour]");
  var list = panel.querySelector(".segments");
  var video = document.getElementById("playback");
  var note = panel.querySelector(".note");
  var camera = null;

  function api(name) { return "api/cameras/" + encodeURIComponent(name) + "/recordings"; }

  function play(item) {
    Array.prototype.forEach.call(list.children, function (li) { li.classList.remove("playing"); });
    item.classList.add("playing");
    video.src = url("clips/" + item.dataset.path.split("/").map(encodeURIComponent).join("/"));
    video.play().catch(function () {});  // a browser may want a click first
  }

  function showHour() {
    list.textContent = "";
    if (!hours.value) return;
    getJson(api(camera), {hour: hours.value}).then(function (answer) {
      answer.segments.forEach(function (segment) {
        var li = document.createElement("li");
        var button = document.createElement("button");
        button.type = "button";
        button.textContent = segment.label || segment.start;
        li.dataset.path = segment.path;
        li.appendChild(button);
        list.appendChild(li);
      });
      note.textContent = answer.segments.length + " segments";
    }, function (error) { note.textContent = error.message; });
  }

  function open(name) {
    camera = name;
    panel.querySelector(".camera-name").textContent = name;
    hours.textContent = "";
    list.textContent = "";
    video.removeAttribute("src");
    panel.hidden = false;
    getJson(api(name)).then(function (answer) {
      answer.hours.forEach(function (hour) {
        var option = document.createElement("option");
        option.value = hour.hour;
        option.textContent = hour.label || hour.hour;
        hours.appendChild(option);
      });
      note.textContent = answer.hours.length ? "" : "No recordings of " + name + ".";
      showHour();
    }, function (error) { note.textContent = error.message; });
    panel.scrollIntoView();
  }

  hours.addEventListener("change", showHour);
  list.addEventListener("click", function (event) {
    var item = event.target.closest("li");
    if (item) play(item);
  });
  video.addEventListener("ended", function () {  // on to the next segment
    var next = list.querySelector("li.playing + li");
    if (next) play(next);
  });
  panel.querySelector(".close").addEventListener("click", function () {
    video.pause();
    panel.hidden = true;
  });

  // -- drawing --------------------------------------------------------------------

  var picture = sheet.querySelector("img");
  var svg = sheet.querySelector("svg");
  var toml = sheet.querySelector("textarea");
  var nameInput = sheet.querySelector("input[name=name]");
  var kind = sheet.querySelector("select[name=kind]");
  var points = [];
  var drawing = null;
  var SVG = "http://www.w3.org/2000/svg";

  function key(text) {  // a TOML key: bare when it can be, else quoted
    return /^[A-Za-z0-9_-]+$/.test(text) ? text : JSON.stringify(text);
  }

  function render() {
    Array.prototype.slice.call(svg.querySelectorAll(".drawn")).forEach(function (el) { el.remove(); });
    var shape = document.createElementNS(SVG, points.length > 2 ? "polygon" : "polyline");
    shape.setAttribute("class", "drawn " + (kind.value === "masks" ? "mask" : "zone"));
    shape.setAttribute("points", points.map(function (p) { return p[0] + "," + p[1]; }).join(" "));
    svg.appendChild(shape);
    points.forEach(function (p) {
      var dot = document.createElementNS(SVG, "circle");
      dot.setAttribute("class", "drawn dot");
      dot.setAttribute("cx", p[0]);
      dot.setAttribute("cy", p[1]);
      dot.setAttribute("r", 0.006);
      svg.appendChild(dot);
    });
    var name = nameInput.value.trim() || "zone1";
    toml.value = points.length < 3 ? "" : "[cameras." + key(drawing) + "." + kind.value + "]\n" + key(name) +
      " = [" + points.map(function (p) { return "[" + p[0].toFixed(3) + ", " + p[1].toFixed(3) + "]"; })
        .join(", ") + "]\n";
    sheet.querySelector(".copied").textContent = points.length < 3 ? "at least 3 points" : "";
  }

  function openSheet(name) {
    drawing = name;
    points = [];
    var tile = document.querySelector('.tile[data-camera="' + CSS.escape(name) + '"]');
    var live = (window.livePictures || {})[name];
    var still = tile && tile.querySelector(".shot img");
    if (live || still) picture.src = live || still.src;
    else picture.removeAttribute("src");
    sheet.querySelector("figure").classList.toggle("blank", !(live || still));
    svg.textContent = "";
    var known = tile && tile.querySelector("svg.zones");
    if (known) Array.prototype.forEach.call(known.children, function (el) { svg.appendChild(el.cloneNode(true)); });
    sheet.querySelector(".camera-name").textContent = name;
    sheet.hidden = false;
    render();
  }

  svg.addEventListener("click", function (event) {
    var box = svg.getBoundingClientRect();
    var x = (event.clientX - box.left) / box.width, y = (event.clientY - box.top) / box.height;
    points.push([Math.min(1, Math.max(0, Math.round(x * 1000) / 1000)),
                 Math.min(1, Math.max(0, Math.round(y * 1000) / 1000))]);
    render();
  });
  document.addEventListener("live-picture", function (event) {  // keep drawing on the current picture
    if (!sheet.hidden && event.detail.camera === drawing) picture.src = event.detail.src;
  });
  sheet.querySelector(".undo").addEventListener("click", function () { points.pop(); render(); });
  sheet.querySelector(".clear").addEventListener("click", function () { points = []; render(); });
  nameInput.addEventListener("input", render);
  kind.addEventListener("change", render);
  sheet.querySelector(".copy").addEventListener("click", function () {
    var said = sheet.querySelector(".copied");
    if (!toml.value) return;
    function fallback() {  // no clipboard API off a secure origin (a device's address over http)
      toml.select();
      said.textContent = document.execCommand("copy") ? "copied" : "select the text and copy it";
    }
    if (navigator.clipboard && window.isSecureContext) {
      navigator.clipboard.writeText(toml.value).then(function () { said.textContent = "copied"; }, fallback);
    } else {
      fallback();
    }
  });
  sheet.querySelector(".close").addEventListener("click", function () { sheet.hidden = true; });
  document.addEventListener("keydown", function (event) {
    if (event.key === "Escape") sheet.hidden = true;
  });

  document.addEventListener("click", function (event) {
    var button = event.target.closest("button[data-draw], button[data-recordings]");
    if (!button) return;
    if (button.dataset.draw) openSheet(button.dataset.draw);
    else open(button.dataset.recordings);
  });
})();
