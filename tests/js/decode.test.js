"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const V = require("./load.js")("decode.js");

// Codes other than the recorder's, so nothing can lean on fixed numbers.
const CODES = {
  REPR: 21, BIGINT: 22, OPAQUE: 23, RECURSION: 24, OMITTED: 25, CLIPPED: 26, TOO_DEEP: 27,
  DROPPED: 28, FAILED: 29, OBJECT: 30, TYPED: 31, NAMED: 32, ENUM: 33, BUDGET: 36,
};

function read(...bytes) {
  const reader = new V.Reader(Uint8Array.from(bytes), 0, CODES);
  const value = reader.read();
  assert.equal(reader.p, bytes.length, "read all of the value");
  return value;
}

test("scalars and containers", () => {
  assert.equal(read(0xc0), null);
  assert.equal(read(0xc3), true);
  assert.equal(read(0xff), -1);
  assert.equal(read(0xd1, 0xff, 0x00), -256);
  assert.equal(read(0xce, 0xff, 0xff, 0xff, 0xff), 4294967295);
  // Beyond 2**53 a JavaScript number would round: kept as digits.
  assert.deepEqual(read(0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff), ["I", "18446744073709551615", 0]);
  assert.deepEqual(read(0xd3, 0x80, 0, 0, 0, 0, 0, 0, 0), ["I", "-9223372036854775808", 0]);
  assert.equal(read(0xcb, 0x3f, 0xf8, 0, 0, 0, 0, 0, 0), 1.5);
  // Integral and non-finite floats keep Python's spelling.
  assert.deepEqual(read(0xcb, 0x40, 0, 0, 0, 0, 0, 0, 0), ["F", "2.0"]);
  assert.deepEqual(read(0xcb, 0x80, 0, 0, 0, 0, 0, 0, 0), ["F", "-0.0"]);
  assert.deepEqual(read(0xcb, 0x7f, 0xf0, 0, 0, 0, 0, 0, 0), ["F", "inf"]);
  assert.deepEqual(read(0xcb, 0x44, 0x80, 0xf0, 0xcf, 0x06, 0x4d, 0xd5, 0x92), ["F", "1e+22"]);
  assert.equal(read(0xa3, 0xc3, 0xa9, 0x21), "é!");
  assert.deepEqual(read(0xc4, 4, 0x00, 0x27, 0x5c, 0x41), ["B", "b'\\x00\\'\\\\A'"]);
  assert.deepEqual(read(0x92, 0x01, 0x91, 0xc0), ["L", 1, ["L", null]]);
  assert.deepEqual(read(0x81, 0xa1, 0x6b, 0x02), ["M", "k", 2]);
});

test("the recorder's markers, by the codes the page is given", () => {
  // fixext 1 / ext 8 with a MessagePack payload
  assert.deepEqual(read(0xd4, 25, 0x07), ["N", 7]);
  assert.deepEqual(read(0xc7, 5, 21, 0x92, 0xa1, 0x54, 0xa1, 0x74), ["R", "T", "t"]);
  assert.deepEqual(read(0xc7, 6, 21, 0x93, 0xa1, 0x54, 0xa1, 0x74, 0x09), ["R", "T", "t", 9]);
  assert.deepEqual(read(0xc7, 3, 22, 0x2d, 0x31, 0x32), ["I", "-12", 1]);
  assert.deepEqual(read(0xc7, 4, 26, 0x92, 0xa1, 0x61, 0x63), ["K", "a", 99]);
  assert.deepEqual(read(0xc7, 0, 36), ["G"]);
  assert.deepEqual(read(0xc7, 0, 29), ["E"]);
  assert.deepEqual(read(0xc7, 7, 30, 0x92, 0xa1, 0x50, 0x81, 0xa1, 0x78, 0x01), ["J", "P", ["M", "x", 1]]);
  assert.deepEqual(read(0xc7, 4, 31, 0x92, 0xa1, 0x53, 0x90), ["Y", "S", ["L"]]);
  // A timestamp (-1), 32-bit seconds.
  assert.deepEqual(read(0xd6, 0xff, 0, 0, 0, 60), ["R", "msgpack.Timestamp", "Timestamp(seconds=60, nanoseconds=0)"]);
});

test("what the viewer cannot read is shown as raw bytes, not as something else", () => {
  // A code the page does not know.
  assert.deepEqual(read(0xd5, 99, 0xab, 0x01), ["T", 99, "ab01"]);
  // A known code whose payload has the wrong shape.
  assert.deepEqual(read(0xd4, 25, 0xa0), ["T", 25, "a0"]);
  assert.deepEqual(read(0xc7, 1, 36, 0x00), ["T", 36, "00"]);
  // Under the recorder's own numbers these bytes mean something else.
  assert.deepEqual(read(0xd4, 5, 0x07), ["T", 5, "07"]);
  assert.throws(() => read(0xc1), /not MessagePack/);
});

test("values are found by index, and a broken block gives the failure marker", () => {
  let decoded = 0;
  const store = new V.ValueStore(() => { decoded++; return Uint8Array.from([0x01, 0x92, 0x02, 0x03, 0xa1, 0x78, 0xdc]); }, CODES);
  assert.equal(decoded, 0, "the block is decoded on first use");
  assert.equal(store.at(2), "x");
  assert.deepEqual(store.at(1), ["L", 2, 3]);
  assert.equal(store.at(0), 1);
  assert.equal(store.at(-1), undefined);
  assert.equal(decoded, 1);
  // The last value is truncated (an array 16 header without its length).
  assert.deepEqual(store.at(3), ["E"]);
  assert.deepEqual(store.at(9), ["E"]);
});
