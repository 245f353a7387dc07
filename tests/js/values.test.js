"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const V = require("./load.js")("values.js");

test("values at a glance: one line as Python writes them, cut at the length asked", () => {
  const order = ["J", "shop.models.Order", ["M", "number", 1, "customer", "ada", "lines", ["L", 1.5, ["N", 7]]]];
  assert.equal(V.glance(order, 200), "Order(number=1, customer='ada', lines=[1.5, …])");
  assert.equal(V.glance(["Y", "tuple", ["L", null, true]], 50), "(None, True)");
  assert.equal(V.glance(["M", "k", ["K", "abc", 900]], 50), "{'k': 'abc'…}");
  assert.equal(V.glance(["L", "xxxxxxxxxx", "yyyyyyyyyy"], 12), "['xxxxxxxxxx…");
  assert.equal(V.glanceLocals(["M", "__name__", "m", "a", 1, "b", ["R", "Decimal", "Decimal('2')"]], 80), "a=1, b=Decimal('2')");
});
