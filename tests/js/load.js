// Loads the viewer's page-independent modules into one namespace, as the
// page does.
"use strict";
const fs = require("node:fs");
const path = require("node:path");

const DIR = path.join(__dirname, "..", "..", "python", "ruvo", "viewer", "js");

module.exports = function load(...names) {
  const ruvoViewer = {};
  for (const name of names) {
    new Function("ruvoViewer", fs.readFileSync(path.join(DIR, name), "utf8"))(ruvoViewer);
  }
  return ruvoViewer;
};
