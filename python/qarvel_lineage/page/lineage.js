/* The lineage page's script: draws the graph of tables the Python side
   laid out, zooms and pans it, focuses on a table or a column (a walk
   upstream and downstream, laid out here), and shows details on demand.
   Names only ever reach the page as text (textContent, setAttribute);
   nothing here recurses on the data. */
(function () {
  "use strict";
  var SVG = "http://www.w3.org/2000/svg";
  var CHAR = 7.23;            // width of one character of the 12px monospace labels
  var ROW = 20, HEAD = 24, PAD = 8;
  var data = JSON.parse(document.getElementById("lineage-data").textContent);
  var view = document.getElementById("view");
  var viewport = document.getElementById("viewport");
  var scene = document.getElementById("scene");
  var minimap = document.getElementById("minimap");
  var details = document.getElementById("details");
  var stage = document.getElementById("stage");
  var statusLine = document.getElementById("status");
  var search = document.getElementById("search");
  var matches = document.getElementById("matches");
  var indirectBox = document.getElementById("indirect");
  var depthBox = document.getElementById("depth");
  var backButton = document.getElementById("back");

  var tables = data.tables, columnTable = data.columnTable, columnName = data.columnName;
  var kinds = data.kinds, statements = data.statements, writes = data.writes;
  var kindDirect = kinds.map(function (k) { return k.indexOf("DIRECT|") === 0; });
  var edges = data.edges, influences = data.influences;
  var nEdges = edges.length / 4, nInfluences = influences.length / 3;
  var nColumns = columnTable.length;

  function el(name, attributes, parent) {
    var node = document.createElementNS(SVG, name);
    for (var key in attributes) { node.setAttribute(key, attributes[key]); }
    if (parent) { parent.appendChild(node); }
    return node;
  }
  function html(name, text, parent) {
    var node = document.createElement(name);
    if (text !== undefined && text !== null) { node.textContent = text; }
    if (parent) { parent.appendChild(node); }
    return node;
  }
  function fitted(text, width) {
    var room = Math.max(1, Math.floor(width / CHAR));
    return text.length <= room ? text : text.slice(0, room - 1) + "\u2026";
  }
  function tableName(t) { return tables[t][0]; }
  function columnLabel(c) { return columnName[c] === null ? "(the table)" : columnName[c]; }
  function fullName(c) {
    return columnName[c] === null ? tableName(columnTable[c]) : tableName(columnTable[c]) + "." + columnName[c];
  }
  function count(n, word) { return n + " " + word + (n === 1 ? "" : "s"); }
  function kindText(k) { return kinds[k].replace("|", " "); }

  // --- the graph's links -------------------------------------------------
  var upEdges = [], downEdges = [], columnWrites = [], writeInfluences = [];
  for (var c = 0; c < nColumns; c++) { upEdges.push([]); downEdges.push([]); columnWrites.push([]); }
  for (var e = 0; e < nEdges; e++) {
    downEdges[edges[4 * e]].push(e);
    upEdges[edges[4 * e + 1]].push(e);
  }
  var sourceInfluences = [];
  for (c = 0; c < nColumns; c++) { sourceInfluences.push([]); }
  writes.forEach(function (w, index) {
    writeInfluences.push([]);
    w[2].forEach(function (col) { columnWrites[col].push(index); });
  });
  for (var i = 0; i < nInfluences; i++) {
    writeInfluences[influences[3 * i + 1]].push(i);
    sourceInfluences[influences[3 * i]].push(i);
  }

  // The columns one hop upstream or downstream of a column, as [column,
  // link key] pairs (an influence on a table reaches each column written).
  function neighbours(col, up, indirect) {
    var found = [], list = up ? upEdges[col] : downEdges[col], j, k;
    for (j = 0; j < list.length; j++) {
      var edge = list[j];
      if (!indirect && !kindDirect[edges[4 * edge + 2]]) { continue; }
      found.push([edges[4 * edge + (up ? 0 : 1)], "e" + edge]);
    }
    if (up) {
      var ws = columnWrites[col];
      for (j = 0; j < ws.length; j++) {
        var infl = writeInfluences[ws[j]];
        for (k = 0; k < infl.length; k++) {
          if (!indirect && !kindDirect[influences[3 * infl[k] + 2]]) { continue; }
          found.push([influences[3 * infl[k]], "i" + infl[k]]);
        }
      }
    } else {
      var own = sourceInfluences[col];
      for (j = 0; j < own.length; j++) {
        if (!indirect && !kindDirect[influences[3 * own[j] + 2]]) { continue; }
        var targets = writes[influences[3 * own[j] + 1]][2];
        for (k = 0; k < targets.length; k++) { found.push([targets[k], "i" + own[j]]); }
      }
    }
    return found;
  }

  // One walk upstream or downstream: columns met with their hop count,
  // the edges and influences used.  A column ``depth`` hops away is opened
  // one more hop only when ``opened`` names it; one left closed that has
  // more beyond it joins ``found.frontier`` (true upstream, false down).
  // A queue, never recursion.
  function walk(starts, up, indirect, depth, found, opened) {
    var hops = {}, queue = starts.slice(), head = 0;
    starts.forEach(function (s) { hops[s] = 0; found.columns[s] = true; });
    while (head < queue.length) {
      var col = queue[head++];
      var next = neighbours(col, up, indirect);
      if (depth && hops[col] >= depth && !opened[col]) {
        if (next.length) { (found.frontier[col] = found.frontier[col] || {})[up ? "up" : "down"] = true; }
        continue;
      }
      for (var j = 0; j < next.length; j++) {
        var to = next[j][0];
        found.links[next[j][1]] = true;
        found.columns[to] = true;
        if (hops[to] === undefined) { hops[to] = hops[col] + 1; queue.push(to); }
      }
    }
    return hops;
  }

  // --- names: search and the URL fragment -------------------------------
  var entries = [];
  tables.forEach(function (t, index) {
    entries.push({name: t[0], lower: t[0].toLowerCase(), table: index, column: -1});
  });
  var columnEntry = [];
  for (c = 0; c < nColumns; c++) {
    if (columnName[c] === null) { columnEntry.push(entries[columnTable[c]]); continue; }
    var n = fullName(c);
    columnEntry.push(entries.length);
    entries.push({name: n, lower: n.toLowerCase(), table: columnTable[c], column: c});
  }
  columnEntry = columnEntry.map(function (e) { return typeof e === "number" ? entries[e] : e; });
  function rank(entry, text) {
    if (entry.lower === text) { return 0; }
    if (entry.lower.slice(-text.length - 1) === "." + text) { return 1; }
    var at = entry.lower.indexOf(text);
    if (at < 0) { return -1; }
    return at === 0 || entry.lower.charAt(at - 1) === "." ? 2 : 3;
  }
  function lookup(text, limit) {
    text = text.trim().toLowerCase();
    if (!text) { return []; }
    var found = [];
    for (var j = 0; j < entries.length; j++) {
      var r = rank(entries[j], text);
      if (r >= 0) { found.push([r, entries[j].name.length, j]); }
    }
    found.sort(function (a, b) { return a[0] - b[0] || a[1] - b[1] || a[2] - b[2]; });
    return found.slice(0, limit).map(function (f) { return entries[f[2]]; });
  }

  // --- state, kept in the URL fragment ----------------------------------
  // A focus opens on its DIRECT edges, one hop each way; "indirect=1",
  // "depth=N" (or "all") and one "open=COLUMN" per column opened one more
  // hop from the frontier ask for more.
  var state = {focus: null, indirect: false, depth: 1, opened: []};
  if (data.directOnly) { indirectBox.checked = false; indirectBox.disabled = true; }

  function fragment(entry, indirect, depth, opened) {
    var params = new URLSearchParams();
    params.set("focus", entry.name);
    if (indirect) { params.set("indirect", "1"); }
    if (depth !== 1) { params.set("depth", depth ? String(depth) : "all"); }
    opened.forEach(function (col) { params.append("open", fullName(col)); });
    return "#" + params.toString();
  }
  function go(entry) {
    if (entry !== state.focus) { state.opened = []; }
    var wanted = entry ? fragment(entry, state.indirect, state.depth, state.opened) : "";
    // The fragment changes at once; the page follows it now, and the
    // hashchange that comes later finds it already done.
    if (wanted && location.hash !== wanted) { location.hash = wanted; }
    if (!wanted && location.hash) { history.pushState(null, "", location.pathname + location.search); }
    apply(true);
  }
  // One more hop from a column at the frontier.
  function openMore(col) {
    if (state.opened.indexOf(col) < 0) { state.opened.push(col); }
    go(state.focus);
  }
  // What a name in the fragment means: the one whose whole name it is,
  // else every one whose last parts it is.
  function named(name) {
    var text = name.trim().toLowerCase(), found = lookup(name, 201);
    var whole = found.filter(function (entry) { return rank(entry, text) === 0; });
    return whole.length ? whole.slice(0, 1) : found.filter(function (entry) { return rank(entry, text) === 1; });
  }
  function exactColumn(name) {
    var hit = lookup(name, 1)[0];
    return hit && hit.column >= 0 && rank(hit, name.trim().toLowerCase()) === 0 ? hit.column : -1;
  }
  var applied = null;
  function apply(force) {
    if (force !== true && applied === location.hash) { return; }
    applied = location.hash;
    var params = new URLSearchParams(location.hash.replace(/^#/, ""));
    var name = params.get("focus");
    state.indirect = !data.directOnly && params.get("indirect") === "1";
    var depthText = params.get("depth") || "1";
    var depth = depthText === "all" ? 0 : parseInt(depthText, 10);
    state.depth = depthText === "all" || depth === 0 ? 0 : depth > 0 ? depth : 1;
    state.opened = params.getAll("open").map(exactColumn).filter(function (c) { return c >= 0; });
    indirectBox.checked = state.indirect;
    if (!Array.prototype.some.call(depthBox.options, function (o) { return o.value === String(state.depth); })) {
      html("option", String(state.depth), depthBox).value = String(state.depth);
    }
    depthBox.value = String(state.depth);
    document.body.classList.toggle("no-indirect", !state.indirect);
    var hits = name ? named(name) : [];
    if (hits.length === 1) {
      state.focus = hits[0];
      showFocus(hits[0]);
    } else {
      showOverview();
      if (name && !hits.length) { statusLine.textContent = "nothing is called " + name; }
      if (hits.length > 1) {  // asked, never guessed
        statusLine.textContent = name + " names " + (hits.length > 200 ? "more than 200" : hits.length) +
          " columns or tables: choose one";
        search.value = name;
        offer();
      }
    }
    // What is drawn: the fragment it was drawn for.
    document.body.setAttribute("data-shown", location.hash);
  }

  // --- zoom and pan ------------------------------------------------------
  var camera = {x: 0, y: 0, scale: 1}, bounds = {x: 0, y: 0, w: 1, h: 1};
  function place() {
    viewport.setAttribute("transform", "translate(" + camera.x + "," + camera.y + ") scale(" + camera.scale + ")");
    drawWindow();
    sizeLabels();
  }
  function fit(maxScale) {
    var box = view.getBoundingClientRect();
    var scale = Math.min((box.width - 40) / bounds.w, (box.height - 40) / bounds.h, maxScale || 2);
    camera.scale = scale;
    camera.x = (box.width - bounds.w * scale) / 2 - bounds.x * scale;
    camera.y = (box.height - bounds.h * scale) / 2 - bounds.y * scale;
    place();
  }
  function zoom(factor, cx, cy) {
    var box = view.getBoundingClientRect();
    if (cx === undefined) { cx = box.width / 2; cy = box.height / 2; }
    var scale = Math.max(0.01, Math.min(8, camera.scale * factor));
    camera.x = cx - (cx - camera.x) * scale / camera.scale;
    camera.y = cy - (cy - camera.y) * scale / camera.scale;
    camera.scale = scale;
    place();
  }
  function pan(dx, dy) { camera.x += dx; camera.y += dy; place(); }
  view.addEventListener("wheel", function (event) {
    event.preventDefault();
    var box = view.getBoundingClientRect();
    zoom(Math.pow(1.0015, -event.deltaY), event.clientX - box.left, event.clientY - box.top);
  }, {passive: false});
  var drag = null, dragged = false;
  view.addEventListener("pointerdown", function (event) {
    if (event.button !== 0) { return; }
    drag = {x: event.clientX, y: event.clientY, cx: camera.x, cy: camera.y};
    dragged = false;
  });
  window.addEventListener("pointermove", function (event) {
    if (!drag) { return; }
    var dx = event.clientX - drag.x, dy = event.clientY - drag.y;
    if (!dragged && Math.abs(dx) + Math.abs(dy) < 4) { return; }
    dragged = true;
    view.classList.add("dragging");
    camera.x = drag.cx + dx; camera.y = drag.cy + dy; place();
  });
  window.addEventListener("pointerup", function () { drag = null; view.classList.remove("dragging"); });
  view.addEventListener("click", function (event) { if (dragged) { event.stopPropagation(); dragged = false; } }, true);
  document.addEventListener("keydown", function (event) {
    if (event.target === search || event.ctrlKey || event.metaKey || event.altKey) { return; }
    var step = 80;
    var actions = {
      "+": function () { zoom(1.25); }, "=": function () { zoom(1.25); }, "-": function () { zoom(0.8); },
      "0": function () { fit(); }, "ArrowLeft": function () { pan(step, 0); },
      "ArrowRight": function () { pan(-step, 0); }, "ArrowUp": function () { pan(0, step); },
      "ArrowDown": function () { pan(0, -step); },
      "Escape": function () { if (state.focus) { go(null); } else { closeDetails(); } }
    };
    if (actions[event.key] && !(event.target.tagName === "SELECT" && event.key.indexOf("Arrow") === 0)) {
      event.preventDefault();
      actions[event.key]();
    }
  });
  document.getElementById("zoom-in").addEventListener("click", function () { zoom(1.25); });
  document.getElementById("zoom-out").addEventListener("click", function () { zoom(0.8); });
  document.getElementById("fit").addEventListener("click", function () { fit(); });

  // The minimap shows the scene whole and the window's place on it.
  var windowRect = minimap.querySelector("rect.window");
  function drawMinimap() {
    minimap.setAttribute("viewBox", [bounds.x, bounds.y, bounds.w, bounds.h].join(" "));
    minimap.setAttribute("preserveAspectRatio", "xMidYMid meet");
  }
  function drawWindow() {
    var box = view.getBoundingClientRect();
    windowRect.setAttribute("x", -camera.x / camera.scale);
    windowRect.setAttribute("y", -camera.y / camera.scale);
    windowRect.setAttribute("width", box.width / camera.scale);
    windowRect.setAttribute("height", box.height / camera.scale);
    windowRect.setAttribute("vector-effect", "non-scaling-stroke");
    var left = -camera.x / camera.scale, top = -camera.y / camera.scale;
    var whole = left <= bounds.x && top <= bounds.y && left + box.width / camera.scale >= bounds.x + bounds.w &&
      top + box.height / camera.scale >= bounds.y + bounds.h;
    minimap.classList.toggle("hidden", whole);
  }
  minimap.addEventListener("click", function (event) {
    var matrix = minimap.getScreenCTM().inverse();
    var point = new DOMPoint(event.clientX, event.clientY).matrixTransform(matrix);
    var box = view.getBoundingClientRect();
    camera.x = box.width / 2 - point.x * camera.scale;
    camera.y = box.height / 2 - point.y * camera.scale;
    place();
  });

  function curve(points) {
    var d = "M" + points[0] + "," + points[1];
    for (var j = 2; j < points.length; j += 2) {
      var x0 = points[j - 2], y0 = points[j - 1], x1 = points[j], y1 = points[j + 1];
      var bend = Math.max(20, Math.abs(x1 - x0) / 2) * (x1 >= x0 ? 1 : -1);
      d += " C" + (x0 + bend) + "," + y0 + " " + (x1 - bend) + "," + y1 + " " + x1 + "," + y1;
    }
    return d;
  }
  // Takes the focus drawing away; the overview, drawn once, only hides.
  function clear() {
    var drawn = document.getElementById("focus");
    if (drawn) { scene.removeChild(drawn); }
    if (overview) { overview.node.classList.add("hidden"); }
  }

  // --- the graph of tables ----------------------------------------------
  var overview = null, bandLabels = [], labelSize = 0;
  // The groups' names stay readable when zoomed out: drawn larger (in the
  // drawing's units) the smaller the drawing, cut to their band's width.
  function sizeLabels() {
    var size = Math.round(Math.min(56, Math.max(11, 11 / camera.scale)));
    if (size === labelSize || !overview || state.focus) { return; }
    labelSize = size;
    bandLabels.forEach(function (item) {
      item.node.style.fontSize = size + "px";
      item.node.textContent = fitted(item.name, item.room * 7.23 / (0.6 * size));
    });
  }
  function buildOverview() {
    var group = el("g", {id: "overview"});
    var width = data.nodeWidth;
    data.bands.forEach(function (b) {
      var band = el("g", {"class": "band"}, group);
      var hue = (b[0] * 137.508) % 360;
      var rect = el("rect", {x: b[1] - PAD, y: b[2] - 16, width: width + 2 * PAD, height: b[3] - b[2] + 20, rx: 6}, band);
      rect.style.fill = "hsl(" + hue + ",60%,94%)";
      rect.style.stroke = "hsl(" + hue + ",45%,80%)";
      var label = el("text", {x: b[1] - PAD + 4, y: b[2] - 5}, band);
      label.style.fill = "hsl(" + hue + ",45%,32%)";
      el("title", {}, band).textContent = data.groups[b[0]];
      bandLabels.push({node: label, name: data.groups[b[0]], room: width + 140});
    });
    var near = tables.map(function () { return []; }), nodes = [];
    data.links.forEach(function (link) {
      var path = el("path", {"class": link[2] ? "link direct" : "link indirect", d: curve(link[3])}, group);
      el("title", {}, path).textContent = tableName(link[0]) + " \u2192 " + tableName(link[1]);
      near[link[0]].push([path, link[1]]);
      near[link[1]].push([path, link[0]]);
    });
    // Hovering a table lights up its links and the tables at their ends.
    function light(index, on) {
      group.classList.toggle("hovering", on);
      nodes[index].classList.toggle("near", on);
      near[index].forEach(function (pair) {
        pair[0].classList.toggle("near", on);
        nodes[pair[1]].classList.toggle("near", on);
      });
    }
    tables.forEach(function (t, index) {
      var node = el("g", {"class": "node r-" + data.roles[t[2]], transform: "translate(" + t[4] + "," + t[5] + ")"}, group);
      nodes.push(node);
      node.addEventListener("mouseenter", function () { light(index, true); });
      node.addEventListener("mouseleave", function () { light(index, false); });
      node.setAttribute("data-name", t[0]);
      el("rect", {width: width, height: 24}, node);
      el("text", {x: 6, y: 16}, node).textContent = fitted(t[1], width - 12);
      el("title", {}, node).textContent = t[0] + " (" + data.roles[t[2]] + ")";
      node.addEventListener("click", function () { if (!dragged) { go(entries[index]); } });
    });
    var w = data.size[0] || 1, h = data.size[1] || 1;
    return {node: group, bounds: {x: -20, y: -30, w: w + 40, h: h + 50}};
  }
  function showOverview() {
    state.focus = null;
    closeDetails();
    if (!overview) { overview = buildOverview(); scene.appendChild(overview.node); }
    clear();
    overview.node.classList.remove("hidden");
    bounds = overview.bounds;
    backButton.classList.add("hidden");
    drawMinimap();
    fit(1.5);
    statusLine.textContent = count(tables.length, "table") + ", " + count(entries.length - tables.length, "column") +
      "; click a table or search for a column";
  }

  // --- focus ---------------------------------------------------------------
  function showFocus(entry) {
    state.focus = entry;
    var starts = entry.column >= 0 ? [entry.column] : data.tableColumns[entry.table].slice();
    var found = {columns: {}, links: {}};
    var opened = {};
    state.opened.forEach(function (col) { opened[col] = true; });
    found.frontier = {};
    var up = walk(starts, true, state.indirect, state.depth, found, opened);
    var down = walk(starts, false, state.indirect, state.depth, found, opened);
    var startSet = {};
    starts.forEach(function (s) { startSet[s] = true; });
    var shown = Object.keys(found.columns).map(Number).sort(function (a, b) { return a - b; });
    // The tables involved, each opened to the columns involved.
    var rows = {}, order = [];
    shown.forEach(function (col) {
      var t = columnTable[col];
      if (!rows[t]) { rows[t] = []; order.push(t); }
      rows[t].push(col);
    });
    var tableEdges = [], seenPair = {};
    function pair(a, b) {
      var key = a + " " + b;
      if (a !== b && !seenPair[key]) { seenPair[key] = true; tableEdges.push([a, b]); }
    }
    var links = Object.keys(found.links);
    links.forEach(function (key) {
      var index = Number(key.slice(1));
      if (key.charAt(0) === "e") {
        pair(columnTable[edges[4 * index]], columnTable[edges[4 * index + 1]]);
      } else {
        pair(columnTable[influences[3 * index]], writes[influences[3 * index + 1]][1]);
      }
    });
    var placed = layOut(order, rows, tableEdges);
    clear();
    var group = el("g", {id: "focus"}, scene);
    var edgeLayer = el("g", {}, group);
    var rowAt = {}, headAt = {};
    order.forEach(function (t) {
      var p = placed[t];
      var box = el("g", {"class": "table r-" + data.roles[tables[t][2]], transform: "translate(" + p.x + "," + p.y + ")"}, group);
      box.setAttribute("data-name", tableName(t));
      el("rect", {"class": "frame", width: p.w, height: HEAD + rows[t].length * ROW}, box);
      el("rect", {"class": "head", width: p.w, height: HEAD}, box);
      el("text", {"class": "name", x: 6, y: 16}, box).textContent = fitted(tables[t][7], p.w - 12);
      el("title", {}, box).textContent = tableName(t) + " (" + data.roles[tables[t][2]] + ")";
      headAt[t] = {x: p.x, y: p.y + HEAD / 2, w: p.w};
      rows[t].forEach(function (col, index) {
        var row = el("g", {"class": "row" + (startSet[col] ? " start" : ""), transform: "translate(0," + (HEAD + index * ROW) + ")"}, box);
        row.setAttribute("data-name", fullName(col));
        row.setAttribute("data-column", fullName(col));
        el("rect", {x: 1, width: p.w - 2, height: ROW}, row);
        var label = columnLabel(col);
        var hopText = up[col] ? "  \u2190" + up[col] : down[col] ? "  \u2192" + down[col] : "";
        el("text", {x: 8, y: 14}, row).textContent = fitted(label, p.w - 16 - hopText.length * CHAR) + hopText;
        el("title", {}, row).textContent = fullName(col);
        rowAt[col] = {x: p.x, y: p.y + HEAD + index * ROW + ROW / 2, w: p.w};
        row.addEventListener("click", function () { if (!dragged) { columnDetails(col, row); } });
        row.addEventListener("dblclick", function () { go(columnEntry[col]); });
        var more = found.frontier[col];
        if (more && more.up) { expander(row, col, "upstream", -16); }
        if (more && more.down) { expander(row, col, "downstream", p.w + 2); }
      });
    });
    links.forEach(function (key) {
      var index = Number(key.slice(1)), from, to, kind, edgeFrom;
      if (key.charAt(0) === "e") {
        edgeFrom = edges[4 * index]; from = rowAt[edgeFrom]; to = rowAt[edges[4 * index + 1]]; kind = edges[4 * index + 2];
      } else {
        edgeFrom = influences[3 * index]; from = rowAt[edgeFrom]; to = headAt[writes[influences[3 * index + 1]][1]];
        kind = influences[3 * index + 2];
      }
      if (!from || !to) { return; }
      var path = el("path", {"class": "edge " + (kindDirect[kind] ? "direct" : "indirect"),
        d: link(from, to)}, edgeLayer);
      path.setAttribute("data-kind", kinds[kind]);
      el("title", {}, path).textContent = kindText(kind);
      path.addEventListener("click", function () { if (!dragged) { edgeDetails(key, path); } });
    });
    var right = 0, bottom = 0;
    order.forEach(function (t) {
      right = Math.max(right, placed[t].x + placed[t].w);
      bottom = Math.max(bottom, placed[t].y + HEAD + rows[t].length * ROW);
    });
    bounds = {x: -30, y: -30, w: right + 60, h: bottom + 60};
    backButton.classList.remove("hidden");
    closeDetails();
    drawMinimap();
    fit(1.3);
    var ups = Object.keys(up).length - starts.length, downs = Object.keys(down).length - starts.length;
    statusLine.textContent = entry.name + ": " + count(shown.length - starts.length, "related column") + " in " +
      count(order.length, "table") + " (" + ups + " upstream, " + downs + " downstream" +
      (state.indirect ? "" : ", DIRECT edges only") + (state.depth ? ", " + count(state.depth, "level") + " each way" : "") +
      (state.opened.length ? ", " + state.opened.length + " opened further" : "") + ")";
  }

  // The control on a column at the frontier that opens one more hop
  // from it, upstream (left of its box) or downstream (right).
  function expander(row, col, way, x) {
    var button = el("g", {"class": "expand", transform: "translate(" + x + ",3)"}, row);
    button.setAttribute("data-expand", way);
    el("rect", {width: 14, height: 14, rx: 3}, button);
    el("text", {x: 3.5, y: 11}, button).textContent = "+";
    el("title", {}, button).textContent = "open one more level " + way + " of " + fullName(col);
    button.addEventListener("click", function (event) {
      event.stopPropagation();
      if (!dragged) { openMore(col); }
    });
    button.addEventListener("dblclick", function (event) { event.stopPropagation(); });
  }

  // A compact layered layout of the focused tables: layers by the longest
  // path (cycles broken by an iterative depth-first walk), a few barycentre
  // sweeps, each layer stacked and centred.
  function layOut(order, rows, tableEdges) {
    var index = {}, n = order.length;
    order.forEach(function (t, j) { index[t] = j; });
    var out = [], inn = [];
    for (var j = 0; j < n; j++) { out.push([]); inn.push([]); }
    var list = tableEdges.map(function (te) { return [index[te[0]], index[te[1]]]; });
    var mark = new Array(n).fill(0);
    var adjacency = [];
    for (j = 0; j < n; j++) { adjacency.push([]); }
    list.forEach(function (pair, k) { adjacency[pair[0]].push(k); });
    var reversed = new Array(list.length).fill(false);
    for (var root = 0; root < n; root++) {
      if (mark[root]) { continue; }
      mark[root] = 1;
      var stack = [[root, 0]];
      while (stack.length) {
        var top = stack[stack.length - 1];
        if (top[1] === adjacency[top[0]].length) { mark[top[0]] = 2; stack.pop(); continue; }
        var k = adjacency[top[0]][top[1]++];
        var target = list[k][1];
        if (mark[target] === 1) { reversed[k] = true; }
        else if (mark[target] === 0) { mark[target] = 1; stack.push([target, 0]); }
      }
    }
    list.forEach(function (pair, k) {
      var a = reversed[k] ? pair[1] : pair[0], b = reversed[k] ? pair[0] : pair[1];
      out[a].push(b); inn[b].push(a);
    });
    var waiting = inn.map(function (p) { return p.length; }), ready = [], topo = [];
    for (j = 0; j < n; j++) { if (!waiting[j]) { ready.push(j); } }
    while (ready.length) {
      var node = ready.pop();
      topo.push(node);
      out[node].forEach(function (m) { if (--waiting[m] === 0) { ready.push(m); } });
    }
    var layer = new Array(n).fill(0);
    topo.forEach(function (m) { inn[m].forEach(function (p) { layer[m] = Math.max(layer[m], layer[p] + 1); }); });
    topo.forEach(function (m) {
      if (!inn[m].length && out[m].length) {
        layer[m] = Math.min.apply(null, out[m].map(function (s) { return layer[s]; })) - 1;
      }
    });
    var layers = [];
    for (j = 0; j < n; j++) { (layers[layer[j]] = layers[layer[j]] || []).push(j); }
    layers = layers.filter(function (l) { return l; });
    var pos = new Array(n).fill(0);
    function number() { layers.forEach(function (l) { l.forEach(function (m, p) { pos[m] = p; }); }); }
    number();
    for (var sweep = 0; sweep < 6; sweep++) {
      var downward = sweep % 2 === 0;
      var seq = downward ? layers.slice(1) : layers.slice(0, -1).reverse();
      seq.forEach(function (l) {
        var centre = {};
        l.forEach(function (m) {
          var near = downward ? inn[m] : out[m];
          centre[m] = near.length ? near.reduce(function (s, q) { return s + pos[q]; }, 0) / near.length : pos[m];
        });
        l.sort(function (a, b) { return centre[a] - centre[b] || a - b; });
        l.forEach(function (m, p) { pos[m] = p; });
      });
    }
    // Each table as wide as its longest name, then two ways to place the
    // layers: side by side (left to right) or one under the other (top
    // to bottom); the one that fits the window larger wins.
    var width = {}, height = {};
    order.forEach(function (t) {
      var longest = Math.max(tables[t][7].length, rows[t].reduce(function (most, col) {
        return Math.max(most, columnLabel(col).length + 4);
      }, 0));
      width[t] = Math.min(320, Math.max(120, longest * CHAR + 20));
      height[t] = HEAD + rows[t].length * ROW;
    });
    function across() {
      var placed = {}, x = 0, sizes = [];
      layers.forEach(function (l) {
        var widest = 0, y = 0;
        l.forEach(function (m) { widest = Math.max(widest, width[order[m]]); });
        l.forEach(function (m) {
          placed[order[m]] = {x: x, y: y, w: widest};
          y += height[order[m]] + 24;
        });
        sizes.push(y - 24);
        x += widest + 70;
      });
      var tallest = Math.max.apply(null, sizes.concat([0]));
      layers.forEach(function (l, li) {
        l.forEach(function (m) { placed[order[m]].y += (tallest - sizes[li]) / 2; });
      });
      return {placed: placed, w: x - 70, h: tallest};
    }
    function stacked() {
      var placed = {}, y = 0, sizes = [];
      layers.forEach(function (l) {
        var tallest = 0, x = 0;
        l.forEach(function (m) {
          placed[order[m]] = {x: x, y: y, w: width[order[m]]};
          tallest = Math.max(tallest, height[order[m]]);
          x += width[order[m]] + 40;
        });
        sizes.push(x - 40);
        y += tallest + 46;
      });
      var widest = Math.max.apply(null, sizes.concat([0]));
      layers.forEach(function (l, li) {
        l.forEach(function (m) { placed[order[m]].x += (widest - sizes[li]) / 2; });
      });
      return {placed: placed, w: widest, h: y - 46};
    }
    var box = view.getBoundingClientRect();
    var one = across(), other = stacked();
    function scale(found) { return Math.min(box.width / (found.w + 60), box.height / (found.h + 60)); }
    return scale(other) > scale(one) * 1.15 ? other.placed : one.placed;
  }

  // A column's link: from the side of one box to the side of the other
  // that faces it, or around the right when the boxes overlap across.
  function link(from, to) {
    var x0, x1, bend;
    if (to.x >= from.x + from.w - 1) { x0 = from.x + from.w; x1 = to.x; }
    else if (to.x + to.w <= from.x + 1) { x0 = from.x; x1 = to.x + to.w; }
    else {
      x0 = from.x + from.w; x1 = to.x + to.w;
      bend = 30 + Math.abs(to.y - from.y) * 0.15;
      var reach = Math.max(x0, x1) + bend;
      return "M" + x0 + "," + from.y + " C" + reach + "," + from.y + " " + reach + "," + to.y + " " + x1 + "," + to.y;
    }
    return curve([x0, from.y, x1, to.y]);
  }

  // --- details on demand --------------------------------------------------
  function closeDetails() {
    details.classList.remove("open");
    stage.classList.remove("with-details");
  }
  function openDetails(title) {
    while (details.firstChild) { details.removeChild(details.firstChild); }
    var close = html("button", "close", details);
    close.type = "button";
    close.style.float = "right";
    close.addEventListener("click", closeDetails);
    html("h2", title, details);
    details.classList.add("open");
    stage.classList.add("with-details");
    var chosen = scene.querySelectorAll(".chosen");
    for (var j = 0; j < chosen.length; j++) { chosen[j].classList.remove("chosen"); }
    return html("dl", undefined, details);
  }
  function field(list, term, text) {
    html("dt", term, list);
    return html("dd", text, list);
  }
  function statementBlock(parent, statement) {
    field(parent, "statement", statements[statement] || "(unnamed)");
    var sql = data.sql[statement];
    if (sql) {
      var block = html("details", undefined, html("dd", undefined, parent));
      block.open = true;
      html("summary", "SQL", block);
      html("pre", sql, block);
    }
  }
  function columnDetails(col, row) {
    var list = openDetails(fullName(col));
    if (row) { row.classList.add("chosen"); }
    if (!state.focus || state.focus.column !== col) {
      var focus = html("button", "focus on this column", details);
      focus.type = "button";
      focus.id = "focus-column";
      details.insertBefore(focus, list);
      focus.addEventListener("click", function () { go(columnEntry[col]); });
    }
    var t = columnTable[col];
    field(list, "table", tableName(t) + " (" + data.roles[tables[t][2]] + ")");
    if (data.descriptions[col]) { field(list, "description", data.descriptions[col]); }
    var incoming = [];
    upEdges[col].forEach(function (edge) {
      incoming.push([edges[4 * edge], edges[4 * edge + 2], edges[4 * edge + 3]]);
    });
    columnWrites[col].forEach(function (w) {
      writeInfluences[w].forEach(function (k) {
        incoming.push([influences[3 * k], influences[3 * k + 2], writes[w][0]]);
      });
    });
    var byStatement = {};
    incoming.forEach(function (item) { (byStatement[item[2]] = byStatement[item[2]] || []).push(item); });
    var keys = Object.keys(byStatement);
    if (!keys.length) { field(list, "comes from", "nothing upstream (a source column)"); }
    keys.forEach(function (statement) {
      var items = byStatement[statement];
      statementBlock(list, Number(statement));
      var ul = html("ul", undefined, field(list, "comes from", ""));
      items.slice(0, 60).forEach(function (item) {
        html("li", fullName(item[0]) + " \u2014 " + kindText(item[1]), ul);
      });
      if (items.length > 60) { html("li", "\u2026 " + (items.length - 60) + " more", ul); }
    });
    var feeds = downEdges[col].length;
    sourceInfluences[col].forEach(function (k) { feeds += writes[influences[3 * k + 1]][2].length; });
    field(list, "feeds", count(feeds, "column") + " directly");
  }
  function edgeDetails(key, path) {
    var index = Number(key.slice(1)), from, to, kind, statement;
    if (key.charAt(0) === "e") {
      from = fullName(edges[4 * index]); to = fullName(edges[4 * index + 1]);
      kind = edges[4 * index + 2]; statement = edges[4 * index + 3];
    } else {
      var w = writes[influences[3 * index + 1]];
      from = fullName(influences[3 * index]); to = tableName(w[1]) + " (every column the statement writes)";
      kind = influences[3 * index + 2]; statement = w[0];
    }
    var list = openDetails(from + " \u2192 " + to);
    path.classList.add("chosen");
    var parts = kinds[kind].split("|");
    field(list, "type", parts[0]);
    field(list, "subtype", parts[1]);
    statementBlock(list, statement);
  }

  // --- search with completion -----------------------------------------------
  var offered = [], active = -1;
  function offer() {
    offered = lookup(search.value, 12);
    active = offered.length ? 0 : -1;
    while (matches.firstChild) { matches.removeChild(matches.firstChild); }
    offered.forEach(function (entry, j) {
      var li = html("li", entry.name, matches);
      html("small", entry.column >= 0 ? "column" : "table", li);
      li.setAttribute("role", "option");
      if (j === active) { li.classList.add("active"); }
      li.addEventListener("mousedown", function (event) { event.preventDefault(); choose(entry); });
    });
    matches.classList.toggle("hidden", !offered.length);
  }
  function choose(entry) {
    matches.classList.add("hidden");
    search.value = entry.name;
    search.blur();
    go(entry);
  }
  search.addEventListener("input", offer);
  search.addEventListener("blur", function () { matches.classList.add("hidden"); });
  search.addEventListener("keydown", function (event) {
    if (event.key === "ArrowDown" || event.key === "ArrowUp") {
      event.preventDefault();
      if (!offered.length) { return; }
      active = (active + (event.key === "ArrowDown" ? 1 : offered.length - 1)) % offered.length;
      Array.prototype.forEach.call(matches.children, function (li, j) { li.classList.toggle("active", j === active); });
    } else if (event.key === "Enter") {
      event.preventDefault();
      if (!offered.length) { offer(); }
      if (offered.length) { choose(offered[Math.max(active, 0)]); }
      else { statusLine.textContent = "nothing is called " + search.value.trim(); }
    } else if (event.key === "Escape") {
      matches.classList.add("hidden");
    }
  });

  indirectBox.addEventListener("change", function () {
    state.indirect = indirectBox.checked;
    document.body.classList.toggle("no-indirect", !state.indirect);
    if (state.focus) { go(state.focus); }
  });
  depthBox.addEventListener("change", function () {
    state.depth = parseInt(depthBox.value, 10) || 0;
    state.opened = [];
    if (state.focus) { go(state.focus); }
  });
  backButton.addEventListener("click", function () { go(null); });
  window.addEventListener("hashchange", apply);
  window.addEventListener("popstate", apply);
  window.addEventListener("resize", function () { drawWindow(); });
  apply();
  document.body.setAttribute("data-ready", "1");
})();
