// Values: the serialiser's MessagePack read back into what the panels show,
// JSON scalars and tagged arrays (see renderValue in panels.js).
(function (exports) {
  "use strict";

  var utf8 = new TextDecoder("utf-8");

  // `codes` are the value format's extension codes by name, as the page
  // data carries them from the recorder.
  function Reader(bytes, at, codes) {
    this.b = bytes;
    this.p = at || 0;
    this.codes = codes;
    this.dv = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  }

  // Lengths of what follows a type byte: [bytes of the length field, items
  // per counted unit], for the skipper.
  Reader.prototype.head = function () {
    var b = this.b, dv = this.dv, t = b[this.p++], n;
    if (t <= 0x7f) return ["int", t];
    if (t >= 0xe0) return ["int", t - 256];
    if (t <= 0x8f) return ["map", t & 0x0f];
    if (t <= 0x9f) return ["array", t & 0x0f];
    if (t <= 0xbf) return ["str", t & 0x1f];
    switch (t) {
      case 0xc0: return ["nil"];
      case 0xc2: return ["bool", false];
      case 0xc3: return ["bool", true];
      case 0xc4: n = b[this.p]; this.p += 1; return ["bin", n];
      case 0xc5: n = dv.getUint16(this.p); this.p += 2; return ["bin", n];
      case 0xc6: n = dv.getUint32(this.p); this.p += 4; return ["bin", n];
      case 0xc7: n = b[this.p]; this.p += 1; return ["ext", n];
      case 0xc8: n = dv.getUint16(this.p); this.p += 2; return ["ext", n];
      case 0xc9: n = dv.getUint32(this.p); this.p += 4; return ["ext", n];
      case 0xca: n = dv.getFloat32(this.p); this.p += 4; return ["float", n];
      case 0xcb: n = dv.getFloat64(this.p); this.p += 8; return ["float", n];
      case 0xcc: n = b[this.p]; this.p += 1; return ["int", n];
      case 0xcd: n = dv.getUint16(this.p); this.p += 2; return ["int", n];
      case 0xce: n = dv.getUint32(this.p); this.p += 4; return ["int", n];
      case 0xcf: n = dv.getBigUint64(this.p); this.p += 8; return ["int", n];
      case 0xd0: n = dv.getInt8(this.p); this.p += 1; return ["int", n];
      case 0xd1: n = dv.getInt16(this.p); this.p += 2; return ["int", n];
      case 0xd2: n = dv.getInt32(this.p); this.p += 4; return ["int", n];
      case 0xd3: n = dv.getBigInt64(this.p); this.p += 8; return ["int", n];
      case 0xd4: return ["ext", 1];
      case 0xd5: return ["ext", 2];
      case 0xd6: return ["ext", 4];
      case 0xd7: return ["ext", 8];
      case 0xd8: return ["ext", 16];
      case 0xd9: n = b[this.p]; this.p += 1; return ["str", n];
      case 0xda: n = dv.getUint16(this.p); this.p += 2; return ["str", n];
      case 0xdb: n = dv.getUint32(this.p); this.p += 4; return ["str", n];
      case 0xdc: n = dv.getUint16(this.p); this.p += 2; return ["array", n];
      case 0xdd: n = dv.getUint32(this.p); this.p += 4; return ["array", n];
      case 0xde: n = dv.getUint16(this.p); this.p += 2; return ["map", n];
      case 0xdf: n = dv.getUint32(this.p); this.p += 4; return ["map", n];
    }
    throw new Error("not MessagePack: byte " + t);
  };

  Reader.prototype.skip = function () {
    var left = 1;
    while (left > 0) {
      left--;
      var h = this.head();
      if (h[0] === "str" || h[0] === "bin") this.p += h[1];
      else if (h[0] === "ext") this.p += 1 + h[1];
      else if (h[0] === "array") left += h[1];
      else if (h[0] === "map") left += 2 * h[1];
      if (this.p > this.b.length) throw new Error("truncated value");
    }
  };

  // Values as the viewer shows them: JSON scalars, and tagged arrays for the
  // rest (see renderValue).
  Reader.prototype.read = function () {
    var h = this.head(), n = h[1], out, i;
    switch (h[0]) {
      case "nil": return null;
      case "bool": return n;
      case "int":
        if (typeof n === "bigint") return n >= -9007199254740991n && n <= 9007199254740991n ? Number(n) : ["I", n.toString(), 0];
        return n;
      case "float": return Number.isInteger(n) || !isFinite(n) ? ["F", pyFloatText(n)] : n;
      case "str": out = utf8.decode(this.b.subarray(this.p, this.p + n)); this.p += n; return out;
      case "bin": out = ["B", pyBytes(this.b.subarray(this.p, this.p + n))]; this.p += n; return out;
      case "array":
        out = ["L"];
        for (i = 0; i < n; i++) out.push(this.read());
        return out;
      case "map":
        out = ["M"];
        for (i = 0; i < n; i++) { out.push(this.read()); out.push(this.read()); }
        return out;
      case "ext":
        var code = this.dv.getInt8(this.p), data = this.b.subarray(this.p + 1, this.p + 1 + n);
        this.p += 1 + n;
        return readExt(code, data, this.codes);
    }
    throw new Error("unreadable value");
  };

  function readExt(code, data, X) {
    var p = null;
    try {
      if (code !== 2 && code !== -1 && data.length) p = new Reader(data, 0, X).read();
    } catch (e) {
      p = undefined;
    }
    function isStr(x) { return typeof x === "string"; }
    function isInt(x) { return typeof x === "number" && Number.isInteger(x); }
    function isPair(x) { return Array.isArray(x) && x[0] === "L" && x.length === 3 && isStr(x[1]); }
    switch (code) {
      case X.REPR: // [type, text] or [type, text, original length]
        if (Array.isArray(p) && p[0] === "L" && isStr(p[1]) && isStr(p[2]) && (p.length === 3 || (p.length === 4 && isInt(p[3])))) return ["R"].concat(p.slice(1));
        break;
      case X.BIGINT: // its digits
        return ["I", utf8.decode(data), 1];
      case X.OPAQUE: if (isStr(p)) return ["O", p]; break;
      case X.RECURSION: if (isStr(p)) return ["C", p]; break;
      case X.OMITTED: if (isInt(p)) return ["N", p]; break;
      case X.CLIPPED: if (Array.isArray(p) && p[0] === "L" && p.length === 3 && (isStr(p[1]) || (Array.isArray(p[1]) && p[1][0] === "B")) && isInt(p[2])) return ["K", p[1], p[2]]; break;
      case X.TOO_DEEP: if (Array.isArray(p) && p[0] === "L" && p.length === 3 && isStr(p[1]) && isInt(p[2])) return ["D", p[1], p[2]]; break;
      case X.DROPPED: if (!data.length) return ["X"]; break;
      case X.FAILED: if (!data.length) return ["E"]; break;
      case X.BUDGET: if (!data.length) return ["G"]; break;
      case X.OBJECT: if (isPair(p) && Array.isArray(p[2]) && p[2][0] === "M") return ["J", p[1], p[2]]; break;
      case X.TYPED: if (isPair(p)) return ["Y", p[1], p[2]]; break;
      case X.NAMED: if (isPair(p) && isStr(p[2])) return ["Q", p[1], p[2]]; break;
      case X.ENUM: if (isPair(p) && isStr(p[2])) return ["U", p[1], p[2]]; break;
      case -1: return ["R", "msgpack.Timestamp", timestampText(data)];
    }
    var hex = "";
    for (var i = 0; i < data.length; i++) hex += (data[i] < 16 ? "0" : "") + data[i].toString(16);
    return ["T", code, hex];
  }

  function timestampText(data) {
    var dv = new DataView(data.buffer, data.byteOffset, data.byteLength), seconds, nanos = 0;
    if (data.length === 4) seconds = dv.getUint32(0);
    else if (data.length === 8) { var hi = dv.getUint32(0), lo = dv.getUint32(4); nanos = hi >>> 2; seconds = (hi & 3) * 4294967296 + lo; }
    else if (data.length === 12) { nanos = dv.getUint32(0); seconds = Number(dv.getBigInt64(4)); }
    else return "Timestamp(?)";
    return "Timestamp(seconds=" + seconds + ", nanoseconds=" + nanos + ")";
  }

  function pyFloatText(x) {
    if (isNaN(x)) return "nan";
    if (!isFinite(x)) return x > 0 ? "inf" : "-inf";
    if (Math.abs(x) < 1e16) return (Object.is(x, -0) ? "-" : "") + x.toFixed(1);
    return x.toExponential().replace(/e([+-])(\d)$/, "e$10$2");
  }

  function pyBytes(bytes) {
    var out = "b'";
    for (var i = 0; i < bytes.length; i++) {
      var c = bytes[i];
      if (c === 0x5c) out += "\\\\";
      else if (c === 0x27) out += "\\'";
      else if (c === 0x0a) out += "\\n";
      else if (c === 0x0d) out += "\\r";
      else if (c === 0x09) out += "\\t";
      else if (c >= 0x20 && c < 0x7f) out += String.fromCharCode(c);
      else out += "\\x" + (c < 16 ? "0" : "") + c.toString(16);
    }
    return out + "'";
  }

  // The values of a page, one after another in one buffer, read by index:
  // `bytes` is called on first use (the page's block is decoded lazily),
  // and the offsets found on the way are kept for the next lookup.
  function ValueStore(bytes, codes) {
    this.bytes = bytes;
    this.codes = codes;
    this.offsets = [0];
  }

  ValueStore.prototype.at = function (index) {
    if (index === null || index === undefined || index < 0) return undefined;
    if (typeof this.bytes === "function") this.bytes = this.bytes();
    var bytes = this.bytes, offsets = this.offsets;
    while (offsets.length <= index && offsets[offsets.length - 1] < bytes.length) {
      var skipper = new Reader(bytes, offsets[offsets.length - 1], this.codes);
      try {
        skipper.skip();
      } catch (e) {
        break;
      }
      offsets.push(skipper.p);
    }
    if (index >= offsets.length || offsets[index] >= bytes.length) return ["E"];
    try {
      return new Reader(bytes, offsets[index], this.codes).read();
    } catch (e) {
      return ["E"];
    }
  };

  exports.Reader = Reader;
  exports.ValueStore = ValueStore;
  exports.pyFloatText = pyFloatText;
})(ruvoViewer);
