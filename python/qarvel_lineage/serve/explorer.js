/* The served lineage explorer: asks the server's JSON API for one level of
   lineage at a time and draws the focused column, its tables and the edges
   between them.  Names only ever reach the page as text (textContent,
   setAttribute); no walk here recurses on the data.

   What is open lives in the URL fragment, so a link shows the same thing:
   #focus=NAME[&indirect=1][&open=up:NAME][&open=down:NAME]...

   Layout: tables in layers left to right (longest path over the tables the
   edges join, cycles broken), every box of a layer as wide as the layer, a
   channel free of boxes between layers.  An edge runs through channels and
   crosses a layer only through the gap between two of its boxes, so it never
   passes under a box it does not touch. */
(function () {
  "use strict";
  var SVG = "http://www.w3.org/2000/svg";
  var CHAR = 7.23, ROW = 20, HEAD = 24, GAP = 30, CHANNEL = 120, CONTROL = 16;
  var view = document.getElementById("view");
  var viewport = document.getElementById("viewport");
  var edgeLayer = document.getElementById("edges");
  var boxLayer = document.getElementById("boxes");
  var details = document.getElementById("details");
  var stage = document.getElementById("stage");
  var statusLine = document.getElementById("status");
  var search = document.getElementById("search");
  var matches = document.getElementById("matches");
  var indirectBox = document.getElementById("indirect");
  var expandAll = document.getElementById("expand-all");
  var chooser = document.getElementById("chooser");

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
  function clearNode(node) { while (node.firstChild) { node.removeChild(node.firstChild); } }
  function fitted(text, width) {
    var room = Math.max(1, Math.floor(width / CHAR));
    return text.length <= room ? text : text.slice(0, room - 1) + "\u2026";
  }
  function count(n, word) { return n.toLocaleString("en") + " " + word + (n === 1 ? "" : "s"); }

  // --- the API ---------------------------------------------------------------
  function ask(question, params) {
    var query = new URLSearchParams(params).toString();
    return fetch("api/" + question + "?" + query, {headers: {accept: "application/json"}})
      .then(function (response) {
        return response.json().then(function (body) { return {status: response.status, body: body}; });
      });
  }

  // --- what is loaded ----------------------------------------------------------
  // nodes: name -> {table, name, up, down}; links: "source\0target" -> {source,
  // target, kinds, direct}; hop: name -> hops from the focus (negative: upstream);
  // opened.up / opened.down: the columns whose next level is loaded.
  var state = {focus: null, indirect: false, opened: []};
  var graph = null, generation = 0, busy = Promise.resolve(), truncated = false;

  function emptyGraph() { return {nodes: {}, links: {}, hop: {}, opened: {up: {}, down: {}}}; }

  function merge(answer, way, from) {
    Object.keys(answer.nodes).forEach(function (name) { graph.nodes[name] = answer.nodes[name]; });
    var start = graph.hop[from];
    answer.edges.forEach(function (edge) {
      var key = edge.source + "\u0000" + edge.target;
      var link = graph.links[key];
      if (!link) { link = graph.links[key] = {source: edge.source, target: edge.target, kinds: [], direct: false}; }
      var kind = edge.type + " " + edge.subtype;
      if (!link.kinds.some(function (k) { return k.kind === kind && k.statement === edge.statement; })) {
        link.kinds.push({kind: kind, statement: edge.statement});
      }
      if (edge.type === "DIRECT") { link.direct = true; }
      var far = way === "up" ? edge.source : edge.target;
      if (graph.hop[far] === undefined) { graph.hop[far] = start + (way === "up" ? -1 : 1); }
    });
    if (answer.truncated) { truncated = true; }
    graph.opened[way][from] = true;
  }

  function level(way, name) {
    return ask(way === "up" ? "upstream" : "downstream",
               {column: name, depth: "1", direct_only: state.indirect ? "0" : "1"});
  }

  // --- the URL fragment --------------------------------------------------------
  function fragment() {
    if (!state.focus) { return ""; }
    var params = new URLSearchParams();
    params.set("focus", state.focus);
    if (state.indirect) { params.set("indirect", "1"); }
    state.opened.forEach(function (item) { params.append("open", item[0] + ":" + item[1]); });
    return "#" + params.toString();
  }
  function parse(hash) {
    var params = new URLSearchParams(hash.replace(/^#/, ""));
    var opened = [];
    params.getAll("open").forEach(function (value) {
      var at = value.indexOf(":");
      var way = value.slice(0, at);
      if (at > 0 && (way === "up" || way === "down")) { opened.push([way, value.slice(at + 1)]); }
    });
    return {focus: params.get("focus") || null, indirect: params.get("indirect") === "1", opened: opened};
  }
  function shown() { document.body.setAttribute("data-shown", location.hash); }

  // Each step waits for the one before: loads never interleave.
  function queue(step) {
    busy = busy.then(function () {
      document.body.setAttribute("data-busy", "1");
      return step();
    }).catch(function (error) {
      statusLine.textContent = "the server did not answer: " + error;
    }).then(function () {
      document.body.removeAttribute("data-busy");
    });
    return busy;
  }

  var applied = null;
  function apply() {
    if (applied === location.hash) { return; }
    applied = location.hash;
    var wanted = parse(location.hash);
    indirectBox.checked = wanted.indirect;
    queue(function () { return load(wanted); });
  }

  function load(wanted) {
    var mine = ++generation;
    closeChooser();
    if (!wanted.focus) {
      state = {focus: null, indirect: wanted.indirect, opened: []};
      graph = null;
      clearDrawing();
      closeDetails();
      statusLine.textContent = "search for a table or column to see where it comes from and what it feeds";
      expandAll.disabled = true;
      shown();
      return null;
    }
    state = {focus: wanted.focus, indirect: wanted.indirect, opened: []};
    truncated = false;
    return Promise.all([level("up", wanted.focus), level("down", wanted.focus)]).then(function (answers) {
      if (mine !== generation) { return null; }
      var refused = answers[0].status !== 200 ? answers[0] : answers[1].status !== 200 ? answers[1] : null;
      if (refused) {
        graph = null;
        clearDrawing();
        refuse(wanted.focus, refused);
        shown();
        return null;
      }
      graph = emptyGraph();
      state.focus = answers[0].body.column;
      graph.hop[state.focus] = 0;
      merge(answers[0].body, "up", state.focus);
      merge(answers[1].body, "down", state.focus);
      // The rest of what the link opens, one level at a time, in its order.
      var steps = wanted.opened.slice();
      function next() {
        if (mine !== generation) { return null; }
        var item = steps.shift();
        if (!item) { return null; }
        if (graph.hop[item[1]] === undefined || graph.opened[item[0]][item[1]]) { return next(); }
        return level(item[0], item[1]).then(function (answer) {
          if (mine !== generation) { return null; }
          if (answer.status === 200) {
            merge(answer.body, item[0], item[1]);
            state.opened.push(item);
          }
          return next();
        });
      }
      return next();
    }).then(function () {
      if (mine !== generation || !graph) { return; }
      var wantedHash = fragment();
      if (location.hash !== wantedHash) {
        history.replaceState(null, "", location.pathname + location.search + wantedHash);
        applied = location.hash;
      }
      draw(true);
      shown();
    });
  }

  function refuse(name, answer) {
    closeDetails();
    expandAll.disabled = true;
    if (answer.status === 409) {
      statusLine.textContent = name + " names " + count(answer.body.candidates.length, "column") + ": choose one";
      showChooser("\u201c" + name + "\u201d names more than one column. Which one?",
                  answer.body.candidates.map(function (candidate) {
                    return {name: candidate, kind: "column"};
                  }), answer.body.more_candidates);
      return;
    }
    statusLine.textContent = answer.status === 404 ? "nothing is called " + name
      : (answer.body && answer.body.error) || ("the server answered " + answer.status);
  }

  function go(name) {
    state.focus = name;
    state.opened = [];
    var wanted = fragment();
    if (location.hash !== wanted) { location.hash = wanted; }
    apply();
  }

  function expand(way, name) {
    if (!graph || graph.opened[way][name]) { return; }
    queue(function () {
      var mine = generation;
      return level(way, name).then(function (answer) {
        if (mine !== generation || !graph) { return; }
        if (answer.status !== 200) { statusLine.textContent = answer.body.error; return; }
        merge(answer.body, way, name);
        state.opened.push([way, name]);
        history.replaceState(null, "", location.pathname + location.search + fragment());
        applied = location.hash;
        draw(true);
        shown();
      });
    });
  }

  function frontier() {
    var found = [];
    Object.keys(graph.hop).forEach(function (name) {
      var node = graph.nodes[name], hop = graph.hop[name];
      if (!node) { return; }
      if (hop <= 0 && node.up > 0 && !graph.opened.up[name]) { found.push(["up", name]); }
      if (hop >= 0 && node.down > 0 && !graph.opened.down[name]) { found.push(["down", name]); }
    });
    return found;
  }
  expandAll.addEventListener("click", function () {
    if (!graph) { return; }
    var items = frontier();
    queue(function () {
      var mine = generation;
      return Promise.all(items.map(function (item) { return level(item[0], item[1]); })).then(function (answers) {
        if (mine !== generation || !graph) { return; }
        answers.forEach(function (answer, index) {
          if (answer.status === 200) { merge(answer.body, items[index][0], items[index][1]); state.opened.push(items[index]); }
        });
        history.replaceState(null, "", location.pathname + location.search + fragment());
        applied = location.hash;
        draw(true);
        shown();
      });
    });
  });

  // --- zoom and pan ----------------------------------------------------------------
  var camera = {x: 0, y: 0, scale: 1}, bounds = {x: 0, y: 0, w: 1, h: 1};
  function place() {
    viewport.setAttribute("transform", "translate(" + camera.x + "," + camera.y + ") scale(" + camera.scale + ")");
  }
  function fit(maxScale) {
    var box = view.getBoundingClientRect();
    var scale = Math.min((box.width - 40) / bounds.w, (box.height - 40) / bounds.h, maxScale || 1.2);
    camera.scale = Math.max(0.05, scale);
    camera.x = (box.width - bounds.w * camera.scale) / 2 - bounds.x * camera.scale;
    camera.y = (box.height - bounds.h * camera.scale) / 2 - bounds.y * camera.scale;
    place();
  }
  function zoom(factor, cx, cy) {
    var box = view.getBoundingClientRect();
    if (cx === undefined) { cx = box.width / 2; cy = box.height / 2; }
    var scale = Math.max(0.02, Math.min(6, camera.scale * factor));
    camera.x = cx - (cx - camera.x) * scale / camera.scale;
    camera.y = cy - (cy - camera.y) * scale / camera.scale;
    camera.scale = scale;
    place();
  }
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
  document.getElementById("fit").addEventListener("click", function () { fit(); });
  document.addEventListener("keydown", function (event) {
    if (event.target === search || event.ctrlKey || event.metaKey || event.altKey) { return; }
    var actions = {"+": function () { zoom(1.25); }, "=": function () { zoom(1.25); },
                   "-": function () { zoom(0.8); }, "0": function () { fit(); },
                   "Escape": function () { closeChooser(); closeDetails(); highlight(null, true); }};
    if (actions[event.key]) { event.preventDefault(); actions[event.key](); }
  });

  // --- layout ---------------------------------------------------------------------------
  // Layers of the tables by the longest path (cycles broken by an iterative
  // depth-first walk); a table that only feeds sits just before its first reader.
  function layering(count, pairs) {
    var out = [], inn = [], j;
    for (j = 0; j < count; j++) { out.push([]); inn.push([]); }
    var adjacency = out.map(function () { return []; });
    pairs.forEach(function (pair, k) { adjacency[pair[0]].push(k); });
    var mark = new Array(count).fill(0), reversed = new Array(pairs.length).fill(false);
    for (var root = 0; root < count; root++) {
      if (mark[root]) { continue; }
      mark[root] = 1;
      var stack = [[root, 0]];
      while (stack.length) {
        var top = stack[stack.length - 1];
        if (top[1] === adjacency[top[0]].length) { mark[top[0]] = 2; stack.pop(); continue; }
        var k = adjacency[top[0]][top[1]++], target = pairs[k][1];
        if (mark[target] === 1) { reversed[k] = true; }
        else if (mark[target] === 0) { mark[target] = 1; stack.push([target, 0]); }
      }
    }
    pairs.forEach(function (pair, k) {
      var a = reversed[k] ? pair[1] : pair[0], b = reversed[k] ? pair[0] : pair[1];
      out[a].push(b); inn[b].push(a);
    });
    var waiting = inn.map(function (p) { return p.length; }), ready = [], order = [];
    for (j = 0; j < count; j++) { if (!waiting[j]) { ready.push(j); } }
    while (ready.length) {
      var node = ready.pop();
      order.push(node);
      out[node].forEach(function (m) { if (--waiting[m] === 0) { ready.push(m); } });
    }
    var layer = new Array(count).fill(0);
    order.forEach(function (m) { inn[m].forEach(function (p) { layer[m] = Math.max(layer[m], layer[p] + 1); }); });
    order.slice().reverse().forEach(function (m) {
      if (!inn[m].length && out[m].length) {
        layer[m] = Math.min.apply(null, out[m].map(function (s) { return layer[s]; })) - 1;
      }
    });
    var least = Math.min.apply(null, layer.concat([0]));
    return layer.map(function (l) { return l - least; });
  }

  function layout(tableNames, rows, pairs) {
    var index = {};
    tableNames.forEach(function (t, j) { index[t] = j; });
    var numbered = pairs.map(function (p) { return [index[p[0]], index[p[1]]]; });
    var layer = layering(tableNames.length, numbered);
    var layers = [];
    tableNames.forEach(function (t, j) { (layers[layer[j]] = layers[layer[j]] || []).push(j); });
    layers = layers.map(function (l) { return l || []; });
    var near = tableNames.map(function () { return []; });
    numbered.forEach(function (p) { near[p[0]].push(p[1]); near[p[1]].push(p[0]); });
    var pos = new Array(tableNames.length).fill(0);
    function number() { layers.forEach(function (l) { l.forEach(function (m, p) { pos[m] = (p + 0.5) / l.length; }); }); }
    number();
    for (var sweep = 0; sweep < 6; sweep++) {
      var seq = sweep % 2 === 0 ? layers : layers.slice().reverse();
      seq.forEach(function (l) {
        var centre = {};
        l.forEach(function (m) {
          var others = near[m].filter(function (q) { return layer[q] !== layer[m]; });
          centre[m] = others.length ? others.reduce(function (s, q) { return s + pos[q]; }, 0) / others.length : pos[m];
        });
        l.sort(function (a, b) { return centre[a] - centre[b] || a - b; });
        l.forEach(function (m, p) { pos[m] = (p + 0.5) / l.length; });
      });
    }
    var width = tableNames.map(function (t) {
      var longest = Math.max(t.length, rows[t].reduce(function (most, name) {
        return Math.max(most, graph.nodes[name].name.length + 6);
      }, 0));
      return Math.min(380, Math.max(150, longest * CHAR + 2 * CONTROL + 16));
    });
    var placed = {}, x = 0, columns = [], tallest = 0, heights = [];
    layers.forEach(function (l) {
      var w = Math.max.apply(null, l.map(function (m) { return width[m]; }).concat([150]));
      var y = 0;
      l.forEach(function (m) {
        var h = HEAD + rows[tableNames[m]].length * ROW;
        placed[tableNames[m]] = {x: x, y: y, w: w, h: h, layer: columns.length};
        y += h + GAP;
      });
      heights.push(y - GAP);
      tallest = Math.max(tallest, y - GAP);
      columns.push({left: x, right: x + w, boxes: l.map(function (m) { return placed[tableNames[m]]; })});
      x += w + CHANNEL;
    });
    layers.forEach(function (l, li) {
      var shift = (tallest - heights[li]) / 2;
      l.forEach(function (m) { placed[tableNames[m]].y += shift; });
    });
    return {placed: placed, columns: columns, width: Math.max(0, x - CHANNEL), height: tallest};
  }

  // The y at which an edge crosses a layer: the middle of the gap between
  // two of its boxes (or above the first, below the last) nearest to ``y``.
  function gapNear(column, y) {
    var boxes = column.boxes, best = null;
    var candidates = [boxes[0].y - GAP / 2];
    for (var j = 1; j < boxes.length; j++) { candidates.push((boxes[j - 1].y + boxes[j - 1].h + boxes[j].y) / 2); }
    candidates.push(boxes[boxes.length - 1].y + boxes[boxes.length - 1].h + GAP / 2);
    candidates.forEach(function (c) { if (best === null || Math.abs(c - y) < Math.abs(best - y)) { best = c; } });
    return best;
  }
  function between(x0, y0, x1, y1) {
    var mx = (x0 + x1) / 2;
    return " C" + mx + "," + y0 + " " + mx + "," + y1 + " " + x1 + "," + y1;
  }
  // One edge's path from (its row in) box a to box b.
  function route(a, ya, b, yb, columns) {
    var d, k, g;
    if (a === b || a.layer === b.layer) {
      var loop = 26 + Math.min(60, Math.abs(yb - ya) * 0.1);
      var lift = ya === yb ? 8 : 0;
      return "M" + a.right + "," + ya + " C" + (a.right + loop) + "," + (ya - lift) + " " +
        (a.right + loop) + "," + (yb + lift) + " " + b.right + "," + yb;
    }
    var forward = a.layer < b.layer, span = Math.abs(b.layer - a.layer);
    var x = forward ? a.right : a.left;
    d = "M" + x + "," + ya;
    var y = ya;
    for (k = 1; k < span; k++) {
      var column = columns[a.layer + (forward ? k : -k)];
      g = gapNear(column, ya + (yb - ya) * k / span);
      var enter = forward ? column.left : column.right, leave = forward ? column.right : column.left;
      d += between(x, y, enter, g) + " L" + leave + "," + g;
      x = leave; y = g;
    }
    return d + between(x, y, forward ? b.left : b.right, yb);
  }

  // --- drawing ------------------------------------------------------------------------
  var rowAt = {}, pathsDrawn = [];
  function clearDrawing() {
    clearNode(edgeLayer);
    clearNode(boxLayer);
    rowAt = {};
    pathsDrawn = [];
    view.classList.remove("highlighting");
  }

  function draw(refit) {
    clearDrawing();
    var names = Object.keys(graph.hop).filter(function (name) { return graph.nodes[name]; });
    var rows = {}, tableNames = [];
    names.sort(function (a, b) { return graph.hop[a] - graph.hop[b] || (a < b ? -1 : a > b ? 1 : 0); });
    names.forEach(function (name) {
      var t = graph.nodes[name].table;
      if (!rows[t]) { rows[t] = []; tableNames.push(t); }
      rows[t].push(name);
    });
    var links = Object.keys(graph.links).map(function (key) { return graph.links[key]; })
      .filter(function (link) { return graph.nodes[link.source] && graph.nodes[link.target] &&
                                       graph.hop[link.source] !== undefined && graph.hop[link.target] !== undefined; });
    var pairs = [], seen = {};
    links.forEach(function (link) {
      var a = graph.nodes[link.source].table, b = graph.nodes[link.target].table, key = a + "\u0000" + b;
      if (a !== b && !seen[key]) { seen[key] = true; pairs.push([a, b]); }
    });
    var laid = layout(tableNames, rows, pairs);
    var boxes = {};
    tableNames.forEach(function (t) {
      var p = laid.placed[t];
      var box = {left: p.x, right: p.x + p.w, top: p.y, bottom: p.y + p.h, layer: p.layer};
      boxes[t] = box;
      var sources = rows[t].every(function (name) { return graph.nodes[name].up === 0; });
      var group = el("g", {"class": "table" + (sources ? " source" : ""), transform: "translate(" + p.x + "," + p.y + ")"}, boxLayer);
      group.setAttribute("data-table", t);
      group.setAttribute("data-box", [p.x, p.y, p.w, p.h].join(" "));
      el("rect", {"class": "frame", width: p.w, height: p.h}, group);
      el("rect", {"class": "head", width: p.w, height: HEAD}, group);
      el("text", {"class": "name", x: 6, y: 16}, group).textContent = fitted(t, p.w - 12);
      el("title", {}, group).textContent = t;
      rows[t].forEach(function (name, index) {
        drawRow(group, name, index, p);
        rowAt[name] = {box: box, y: p.y + HEAD + index * ROW + ROW / 2};
      });
    });
    links.forEach(function (link) {
      var from = rowAt[link.source], to = rowAt[link.target];
      var path = el("path", {"class": "edge " + (link.direct ? "direct" : "indirect"),
                             d: route(from.box, from.y, to.box, to.y, laid.columns)}, edgeLayer);
      path.setAttribute("data-source", link.source);
      path.setAttribute("data-target", link.target);
      el("title", {}, path).textContent = link.source + " \u2192 " + link.target + " (" +
        link.kinds.map(function (k) { return k.kind; }).join(", ") + ")";
      path.addEventListener("click", function () { if (!dragged) { edgeDetails(link, path); } });
      pathsDrawn.push({link: link, node: path});
    });
    bounds = {x: -40, y: -40, w: laid.width + 80, h: laid.height + 80};
    if (refit) { fit(); }
    if (sticky) { highlight(sticky, true); }
    var ups = 0, downs = 0;
    names.forEach(function (name) { if (graph.hop[name] < 0) { ups++; } else if (graph.hop[name] > 0) { downs++; } });
    var open = frontier().length;
    expandAll.disabled = open === 0;
    statusLine.textContent = state.focus + ": " + count(names.length - 1, "related column") + " in " +
      count(tableNames.length, "table") + " (" + ups + " upstream, " + downs + " downstream" +
      (state.indirect ? "" : ", DIRECT edges only") + ")" +
      (open ? "; + opens one more level (" + count(open, "column") + " can open)" : "") +
      (truncated ? "; some answers were cut at the server's limit" : "");
  }

  function drawRow(group, name, index, p) {
    var node = graph.nodes[name], hop = graph.hop[name];
    var row = el("g", {"class": "row" + (name === state.focus ? " focus" : ""),
                       transform: "translate(0," + (HEAD + index * ROW) + ")"}, group);
    row.setAttribute("data-column", name);
    el("rect", {"class": "back", x: 1, width: p.w - 2, height: ROW}, row);
    var mark = hop < 0 ? "\u2190" + (-hop) : hop > 0 ? "\u2192" + hop : "";
    var room = p.w - 2 * CONTROL - 16 - mark.length * CHAR;
    el("text", {x: CONTROL + 6, y: 14}, row).textContent = fitted(node.name, room);
    if (mark) { el("text", {"class": "hop", x: p.w - CONTROL - 6 - mark.length * CHAR, y: 14}, row).textContent = mark; }
    el("title", {}, row).textContent = name;
    row.addEventListener("click", function () { if (!dragged) { highlight(name, true); columnDetails(name, row); } });
    row.addEventListener("dblclick", function () { go(name); });
    row.addEventListener("mouseenter", function () { highlight(name, false); });
    row.addEventListener("mouseleave", function () { highlight(sticky, true); });
    if (hop <= 0 && node.up > 0 && !graph.opened.up[name]) { control(row, "up", name, 2, node.up); }
    if (hop >= 0 && node.down > 0 && !graph.opened.down[name]) { control(row, "down", name, p.w - CONTROL - 2, node.down); }
  }

  function control(row, way, name, x, edges) {
    var button = el("g", {"class": "expand", transform: "translate(" + x + ",2)"}, row);
    button.setAttribute("data-expand", way === "up" ? "upstream" : "downstream");
    button.setAttribute("data-for", name);
    el("rect", {width: CONTROL, height: ROW - 4, rx: 3}, button);
    el("text", {x: 4, y: 12}, button).textContent = "+";
    el("title", {}, button).textContent = "open one more level " + (way === "up" ? "upstream" : "downstream") +
      " (" + count(edges, "edge") + ")";
    button.addEventListener("click", function (event) {
      event.stopPropagation();
      if (!dragged) { expand(way, name); }
    });
  }

  // --- the path between a column and the focus -----------------------------------------------
  var sticky = null;
  function reach(start, forward) {
    var onward = {};
    pathsDrawn.forEach(function (item) {
      var a = forward ? item.link.source : item.link.target, b = forward ? item.link.target : item.link.source;
      (onward[a] = onward[a] || []).push(b);
    });
    var seen = {}, queued = [start], head = 0;
    seen[start] = true;
    while (head < queued.length) {
      (onward[queued[head++]] || []).forEach(function (b) { if (!seen[b]) { seen[b] = true; queued.push(b); } });
    }
    return seen;
  }
  function highlight(name, keep) {
    if (keep) { sticky = name; }
    var on = {}, any = false;
    if (name && graph && name !== state.focus) {
      var up = graph.hop[name] < 0;
      var from = reach(up ? name : state.focus, true), to = reach(up ? state.focus : name, false);
      pathsDrawn.forEach(function (item) {
        var hit = from[item.link.source] && to[item.link.target];
        item.node.classList.toggle("on-path", !!hit);
        if (hit) { on[item.link.source] = on[item.link.target] = any = true; }
      });
    } else {
      pathsDrawn.forEach(function (item) { item.node.classList.remove("on-path"); });
    }
    view.classList.toggle("highlighting", any);
    Array.prototype.forEach.call(boxLayer.querySelectorAll(".row"), function (row) {
      row.classList.toggle("on-path", !!on[row.getAttribute("data-column")]);
    });
  }

  // --- details on demand -----------------------------------------------------------------------
  // The drawing is fitted again to the room the details leave.
  function closeDetails() {
    var was = details.classList.contains("open");
    details.classList.remove("open");
    stage.classList.remove("with-details");
    if (was && graph) { fit(); }
  }
  function openDetails(title) {
    clearNode(details);
    var close = html("button", "close", details);
    close.type = "button";
    close.style.float = "right";
    close.addEventListener("click", closeDetails);
    html("h2", title, details);
    var was = details.classList.contains("open");
    details.classList.add("open");
    stage.classList.add("with-details");
    if (!was) { fit(); }
    Array.prototype.forEach.call(boxLayer.querySelectorAll(".chosen"), function (n) { n.classList.remove("chosen"); });
    edgeLayer.querySelectorAll(".chosen").forEach(function (n) { n.classList.remove("chosen"); });
    return html("dl", undefined, details);
  }
  function field(list, term, text) {
    html("dt", term, list);
    return html("dd", text, list);
  }
  function sqlBlock(parent, statement, sql) {
    var block = html("details", undefined, parent);
    block.open = true;
    block.className = "sql";
    html("summary", statement, block);
    html("pre", sql || "(the graph keeps no text of this statement)", block);
  }
  function columnDetails(name, row) {
    var list = openDetails(name);
    if (row) { row.classList.add("chosen"); }
    var actions = html("p", undefined, details);
    details.insertBefore(actions, list);
    if (name !== state.focus) {
      var focus = html("button", "focus on this column", actions);
      focus.type = "button";
      focus.id = "focus-column";
      focus.addEventListener("click", function () { go(name); });
    }
    var incoming = pathsDrawn.filter(function (item) { return item.link.target === name; });
    ask("column", {name: name}).then(function (answer) {
      if (answer.status !== 200) { field(list, "error", answer.body.error); return; }
      var found = answer.body;
      details.setAttribute("data-details", name);
      field(list, "table", found.table);
      field(list, "data type", found.data_type || "(not known)");
      field(list, "description", found.description || "(none given)").className = "description";
      var tests = field(list, "tests", found.tests.length ? "" : "(none declared)");
      if (found.tests.length) {
        var ul = html("ul", undefined, tests);
        found.tests.forEach(function (test) { html("li", test, ul); });
      }
      var from = field(list, "comes from", incoming.length ? "" : found.upstream ? count(found.upstream, "edge") +
                       " upstream (not opened)" : "nothing upstream (a source column)");
      if (incoming.length) {
        var comes = html("ul", undefined, from);
        incoming.forEach(function (item) {
          html("li", item.link.source + " \u2014 " + item.link.kinds.map(function (k) {
            return k.kind + " in " + k.statement; }).join("; "), comes);
        });
      }
      field(list, "feeds", count(found.downstream, "edge") + " downstream");
      var written = field(list, found.statements.length ? "SQL that writes it" : "written by",
                          found.statements.length ? "" : "no statement (a source)");
      found.statements.forEach(function (statement) { sqlBlock(written, statement.name, statement.sql); });
    });
  }
  function edgeDetails(link, path) {
    var list = openDetails(link.source + " \u2192 " + link.target);
    path.classList.add("chosen");
    link.kinds.forEach(function (k) { field(list, "hop", k.kind + " in " + k.statement); });
    ask("column", {name: link.target}).then(function (answer) {
      if (answer.status !== 200) { return; }
      var used = {};
      link.kinds.forEach(function (k) { used[k.statement] = true; });
      var block = field(list, "SQL", "");
      answer.body.statements.forEach(function (statement) {
        if (used[statement.name]) { sqlBlock(block, statement.name, statement.sql); }
      });
    });
  }

  // --- asking instead of guessing ---------------------------------------------------------------
  function closeChooser() { chooser.classList.add("hidden"); clearNode(chooser); }
  function showChooser(message, items, more) {
    clearNode(chooser);
    html("p", message, chooser);
    items.forEach(function (item) {
      var button = html("button", item.name + (item.kind === "table" ? "  (table)" : ""), chooser);
      button.type = "button";
      button.setAttribute("data-candidate", item.name);
      button.addEventListener("click", function () { choose(item); });
    });
    if (more) { html("p", "\u2026 and " + count(more, "more") + "; type more of the name", chooser); }
    chooser.classList.remove("hidden");
  }
  function choose(item) {
    closeChooser();
    matches.classList.add("hidden");
    if (item.kind !== "table") { search.value = item.name; go(item.name); return; }
    ask("table", {name: item.name}).then(function (answer) {
      if (answer.status !== 200) { statusLine.textContent = answer.body.error; return; }
      showChooser("Which column of " + answer.body.name + "?", answer.body.columns.map(function (name) {
        return {name: name, kind: "column"};
      }));
    });
  }

  // --- search ---------------------------------------------------------------------------------------
  var offered = [], active = -1, typed = 0;
  function offer() {
    var text = search.value.trim(), mine = ++typed;
    if (!text) { matches.classList.add("hidden"); offered = []; return Promise.resolve(); }
    return ask("search", {q: text, limit: "12"}).then(function (answer) {
      if (mine !== typed || answer.status !== 200) { return; }
      offered = answer.body.results;
      active = offered.length ? 0 : -1;
      clearNode(matches);
      offered.forEach(function (match, j) {
        var li = html("li", match.name, matches);
        html("small", match.kind + (match.source ? ", source" : ""), li);
        li.setAttribute("role", "option");
        li.setAttribute("data-name", match.name);
        if (j === active) { li.classList.add("active"); }
        li.addEventListener("mousedown", function (event) { event.preventDefault(); choose(match); });
      });
      matches.classList.toggle("hidden", !offered.length);
    });
  }
  var pause = null;
  search.addEventListener("input", function () { clearTimeout(pause); pause = setTimeout(offer, 120); });
  search.addEventListener("blur", function () { matches.classList.add("hidden"); });
  search.addEventListener("keydown", function (event) {
    if (event.key === "ArrowDown" || event.key === "ArrowUp") {
      event.preventDefault();
      if (!offered.length) { return; }
      active = (active + (event.key === "ArrowDown" ? 1 : offered.length - 1)) % offered.length;
      Array.prototype.forEach.call(matches.children, function (li, j) { li.classList.toggle("active", j === active); });
      return;
    }
    if (event.key === "Escape") { matches.classList.add("hidden"); return; }
    if (event.key !== "Enter") { return; }
    event.preventDefault();
    var text = search.value.trim();
    if (!text) { return; }
    clearTimeout(pause);
    var moved = active > 0;
    (moved ? Promise.resolve() : offer()).then(function () {
      if (moved) { choose(offered[active]); return; }
      // Enter takes the one whole match; anything less sure is asked.
      var whole = offered.filter(function (m) { return m.match === "whole"; });
      if (whole.length === 1) { choose(whole[0]); return; }
      if (!offered.length) { statusLine.textContent = "nothing is called " + text; return; }
      matches.classList.add("hidden");
      ask("search", {q: text, limit: "100"}).then(function (answer) {
        var found = answer.body.results || [];
        showChooser("\u201c" + text + "\u201d matches " + count(answer.body.total, "name") + ". Which one?",
                    found, answer.body.total - found.length);
      });
    });
  });

  indirectBox.addEventListener("change", function () {
    if (!state.focus) { return; }
    state.indirect = indirectBox.checked;
    location.hash = fragment();
    apply();
  });
  window.addEventListener("hashchange", apply);
  apply();
  document.body.setAttribute("data-ready", "1");
})();
