// Values as the program had them, written as Python would; the
// serialiser's markers say in words what was recorded instead.
(function (exports) {
  "use strict";

  function el(tag, cls, text) {
    var node = document.createElement(tag);
    if (cls) node.className = cls;
    if (text !== undefined && text !== null) node.textContent = text;
    return node;
  }

  function pyStr(s) {
    var q = s.indexOf("'") >= 0 && s.indexOf('"') < 0 ? '"' : "'";
    var body = s.replace(/[\\\n\r\t\x00-\x1f\x7f]/g, function (c) {
      if (c === "\\") return "\\\\";
      if (c === "\n") return "\\n";
      if (c === "\r") return "\\r";
      if (c === "\t") return "\\t";
      return "\\x" + ("0" + c.charCodeAt(0).toString(16)).slice(-2);
    });
    if (q === "'") body = body.replace(/'/g, "\\'");
    return q + body + q;
  }

  function pyFloat(x) {
    return String(x).replace(/e([+-])(\d)$/, "e$10$2");
  }

  function span(cls, text, title) {
    var node = el("span", cls, text);
    if (title) node.title = title;
    return node;
  }

  // Up to this many items of a container are shown; the serialiser keeps
  // fewer unless it was configured to keep more.
  var MAX_ITEMS_SHOWN = 1000;

  // A value as the program had it; the serialiser's markers say in words
  // what was recorded instead of the value.
  function renderValue(v, depth) {
    depth = depth || 0;
    if (v === null) return span("v-kw", "None");
    if (v === true) return span("v-kw", "True");
    if (v === false) return span("v-kw", "False");
    if (typeof v === "number") return span("v-num", Number.isInteger(v) ? String(v) : pyFloat(v));
    if (typeof v === "string") return span("v-str", pyStr(v));
    if (!Array.isArray(v)) return span("v-bad", String(v));
    var tag = v[0], box, i;
    switch (tag) {
      case "L":
        box = el("span");
        box.appendChild(document.createTextNode("["));
        var last = v.length - 1, marker = Array.isArray(v[last]) && v[last][0] === "N";
        var shown = Math.min(last - (marker ? 1 : 0), MAX_ITEMS_SHOWN);
        for (i = 1; i <= shown; i++) {
          if (i > 1) box.appendChild(document.createTextNode(", "));
          box.appendChild(renderValue(v[i], depth + 1));
        }
        var hidden = last - (marker ? 1 : 0) - shown;
        if (hidden > 0) box.appendChild(span("v-badge", ", … " + hidden + " more not shown here"));
        if (marker) {
          if (shown) box.appendChild(document.createTextNode(", "));
          box.appendChild(renderValue(v[last], depth + 1));
        }
        box.appendChild(document.createTextNode("]"));
        return box;
      case "M":
        box = el("span");
        box.appendChild(document.createTextNode("{"));
        for (i = 1; i + 1 < v.length && i <= 2 * MAX_ITEMS_SHOWN; i += 2) {
          if (i > 1) box.appendChild(document.createTextNode(", "));
          if (Array.isArray(v[i]) && v[i][0] === "N" && v[i + 1] === null) { box.appendChild(renderValue(v[i], depth + 1)); continue; }
          box.appendChild(renderValue(v[i], depth + 1));
          box.appendChild(document.createTextNode(": "));
          box.appendChild(renderValue(v[i + 1], depth + 1));
        }
        if ((v.length - 1) / 2 > MAX_ITEMS_SHOWN) box.appendChild(span("v-badge", ", … " + ((v.length - 1) / 2 - MAX_ITEMS_SHOWN) + " more not shown here"));
        box.appendChild(document.createTextNode("}"));
        return box;
      case "R":
        box = el("span");
        box.appendChild(span("v-repr", v[2], "repr() of a " + v[1] + " object"));
        if (v.length > 3) {
          box.appendChild(span("v-mark", "… cut at " + v[2].length + " of " + v[3] + " chars", "the repr() was longer than the recorder keeps"));
        }
        return box;
      case "O": return span("v-mark", "‹" + v[1] + " object›", "recorded by its type alone (lightweight values: no repr() was taken)");
      case "C": return span("v-mark", "‹recursive " + v[1] + "›", "this container contains itself; it was already written further out");
      case "N": return span("v-mark", "… " + v[1] + " more item" + (v[1] === 1 ? "" : "s") + " not recorded", "the container had more items than the recorder keeps");
      case "K":
        box = el("span");
        box.appendChild(renderValue(v[1], depth + 1));
        var bytes = Array.isArray(v[1]) && v[1][0] === "B";
        box.appendChild(span("v-mark", "… clipped, " + v[2] + (bytes ? " bytes" : " chars") + " in all", "only the start of this " + (bytes ? "bytes" : "str") + " was recorded"));
        return box;
      case "D": return span("v-mark", "‹" + v[1] + " of " + v[2] + " item" + (v[2] === 1 ? "" : "s") + ", nested too deep›", "nested deeper than the recorder follows");
      case "J":
        box = el("span");
        box.appendChild(span("v-type", typeName(v[1]), "an object of " + v[1] + ": its attributes, read without running its code"));
        box.appendChild(document.createTextNode("("));
        for (i = 1; i + 1 < v[2].length; i += 2) {
          if (i > 1) box.appendChild(document.createTextNode(", "));
          var name = v[2][i];
          if (Array.isArray(name) && name[0] === "N") { box.appendChild(renderValue(name, depth + 1)); continue; }
          box.appendChild(document.createTextNode((typeof name === "string" ? name : JSON.stringify(name)) + "="));
          box.appendChild(renderValue(v[2][i + 1], depth + 1));
        }
        box.appendChild(document.createTextNode(")"));
        return box;
      case "Y":
        box = el("span");
        if (Array.isArray(v[2]) && v[2][0] === "L") {
          if (v[1] === "tuple") return renderSequence(v[2], depth, "(", v[2].length === 2 ? ",)" : ")");
          if (v[1] === "set") return renderSequence(v[2], depth, "{", "}");
          if (v[1] === "frozenset") return renderSequence(v[2], depth, "frozenset({", "})");
        }
        var inner = renderValue(v[2], depth + 1);
        box.appendChild(span("v-type", typeName(v[1]), "a " + v[1]));
        box.appendChild(document.createTextNode("("));
        box.appendChild(inner);
        box.appendChild(document.createTextNode(")"));
        return box;
      case "Q": return span("v-mark", "‹" + v[1] + " " + v[2] + "›", "recorded by name");
      case "U": return span("v-repr", typeName(v[1]) + "." + v[2], "a member of the enum " + v[1]);
      case "G": return span("v-mark", "‹left out: trace budget›", "left out because the trace reached its budget");
      case "X": return span("v-mark", "‹dropped: size limit›", "left out because this call's values reached the recorder's size limit");
      case "E": return span("v-bad", "‹serialisation failed›", "the recorder could not write this value");
      case "I":
        box = el("span");
        box.appendChild(span("v-num", v[1]));
        if (v[2]) box.appendChild(span("v-badge", " (big int, " + v[1].replace("-", "").length + " digits)"));
        return box;
      case "F": return span("v-num", v[1]);
      case "B": return span("v-str", v[1]);
      case "T": return span("v-mark", "‹msgpack extension " + v[1] + ": " + v[2] + "›");
    }
    return span("v-bad", JSON.stringify(v));
  }

  // A type's name without its module, for the label; the tip has it whole.
  function typeName(name) { return name.indexOf("<") < 0 ? name.slice(name.lastIndexOf(".") + 1) : name; }

  // A tuple's or set's items between its own brackets.
  function renderSequence(list, depth, open, close) {
    var box = el("span");
    box.appendChild(document.createTextNode(open));
    for (var i = 1; i < list.length; i++) {
      if (i > 1) box.appendChild(document.createTextNode(", "));
      box.appendChild(renderValue(list[i], depth + 1));
    }
    box.appendChild(document.createTextNode(close));
    return box;
  }

  function isDunder(key) { return typeof key === "string" && key.length > 4 && key.slice(0, 2) === "__" && key.slice(-2) === "__"; }

  // A map of names (locals, a record's fields) as a table, one name a row.
  function renderLocals(v, empty) {
    if (!Array.isArray(v) || v[0] !== "M") {
      var single = el("div", "value");
      single.appendChild(renderValue(v));
      return single;
    }
    var table = el("table"), hidden = 0, shown = 0;
    for (var i = 1; i + 1 < v.length; i += 2) {
      var key = v[i];
      if (isDunder(key)) { hidden++; continue; }
      var tr = el("tr"), value = el("td", "value");
      if (Array.isArray(key) && key[0] === "N") {
        value.appendChild(renderValue(key));
        tr.appendChild(el("td", "key"));
      } else {
        tr.appendChild(el("td", "key", typeof key === "string" ? key : ""));
        if (typeof key !== "string") tr.firstChild.appendChild(renderValue(key));
        value.appendChild(renderValue(v[i + 1]));
      }
      tr.appendChild(value);
      table.appendChild(tr);
      shown++;
    }
    var box = el("div");
    if (shown) box.appendChild(table); else box.appendChild(el("div", "note", empty || "(none)"));
    if (hidden) box.appendChild(el("div", "note", "+ " + hidden + " module attribute" + (hidden === 1 ? "" : "s") + " (__name__, __doc__…) not shown"));
    return box;
  }

  // A value in one short line of text, for lists ("arguments at a glance"):
  // as renderValue writes it, cut at about `max` characters.
  function glance(v, max) {
    var out = "", full = false;
    function put(text) {
      if (full) return;
      if (out.length + text.length > max) { out += text.slice(0, Math.max(0, max - out.length)) + "…"; full = true; } else out += text;
    }
    // pair: a map's items (key: value), or "=" an object's attributes (name=value).
    function items(list, from, to, open, close, pair) {
      put(open);
      for (var i = from; i < to && !full; i += pair ? 2 : 1) {
        if (i > from) put(", ");
        if (pair === "=" && typeof list[i] === "string") put(list[i]); else walk(list[i]);
        if (pair) { put(pair === "=" ? "=" : ": "); walk(list[i + 1]); }
      }
      put(close);
    }
    function walk(x) {
      if (full) return;
      if (x === null) return put("None");
      if (x === true || x === false) return put(x ? "True" : "False");
      if (typeof x === "number") return put(Number.isInteger(x) ? String(x) : pyFloat(x));
      if (typeof x === "string") return put(pyStr(x));
      if (!Array.isArray(x)) return put(String(x));
      switch (x[0]) {
        case "L": return items(x, 1, x.length, "[", "]", false);
        case "M": return items(x, 1, x.length, "{", "}", true);
        case "R": return put(x[2]);
        case "O": return put("‹" + x[1] + "›");
        case "N": return put("…");
        case "K": walk(x[1]); return put("…");
        case "J": return items(x[2], 1, x[2].length, typeName(x[1]) + "(", ")", "=");
        case "Y":
          if (Array.isArray(x[2]) && x[2][0] === "L" && x[1] === "tuple") return items(x[2], 1, x[2].length, "(", ")", false);
          put(typeName(x[1]) + "(");
          walk(x[2]);
          return put(")");
        case "U": return put(typeName(x[1]) + "." + x[2]);
        case "I": case "F": case "B": return put(x[1]);
        case "D": return put("‹" + x[1] + "›");
        case "C": return put("‹recursive›");
        case "G": case "X": return put("‹left out›");
      }
      return put("‹?›");
    }
    walk(v);
    return out;
  }

  // Locals (a map of names) as "name=value, …", without module attributes.
  function glanceLocals(v, max) {
    if (!Array.isArray(v) || v[0] !== "M") return glance(v, max);
    var parts = [], used = 0;
    for (var i = 1; i + 1 < v.length && used < max; i += 2) {
      if (isDunder(v[i]) || typeof v[i] !== "string") continue;
      var part = v[i] + "=" + glance(v[i + 1], Math.max(8, max - used - v[i].length));
      parts.push(part);
      used += part.length + 2;
    }
    var text = parts.join(", ");
    return text.length > max ? text.slice(0, max) + "…" : text;
  }

  exports.el = el;
  exports.renderValue = renderValue;
  exports.renderLocals = renderLocals;
  exports.glance = glance;
  exports.glanceLocals = glanceLocals;
})(ruvoViewer);
