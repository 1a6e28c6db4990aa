// What the contract tests share: the build folder, the SDK's packages (installed by `npm ci` from the
// committed lock), and the SDK's model definitions read from its type declarations.
"use strict";
const fs = require("fs");
const path = require("path");

const here = __dirname;
if (!fs.existsSync(path.join(here, "node_modules", "oci-common", "package.json")))
  throw new Error(`The SDK is not installed: run \`npm ci\` in ${here}`);

const buildDir = process.env.OCI_BUILD_DIR || path.join(here, "..", "..", "build");
function tool(name) {
  const file = path.join(buildDir, name);
  if (!fs.existsSync(file)) throw new Error(`${file} is missing: build the project (OCI_BUILD_DIR names the build folder)`);
  return file;
}

const modelDirs = ["oci-core", "oci-identity", "oci-objectstorage", "oci-workrequests"].map(p => path.join(here, "node_modules", p, "lib", "model"));

// "CreateVolumeDetails" -> create-volume-details.d.ts
function modelFile(name) {
  const base = name.replace(/([a-z0-9])([A-Z])/g, "$1-$2").replace(/([A-Z])([A-Z][a-z])/g, "$1-$2").toLowerCase() + ".d.ts";
  for (const dir of modelDirs) if (fs.existsSync(path.join(dir, base))) return path.join(dir, base);
  return null;
}

const cache = new Map();
// The fields of the SDK's model `name` (its own and those of the models it extends):
// Map field -> {required}; null when the SDK has no such model.
function sdkModel(name) {
  if (cache.has(name)) return cache.get(name);
  const file = modelFile(name);
  let fields = null;
  if (file) {
    const text = fs.readFileSync(file, "utf8");
    const head = text.match(new RegExp(`^export interface ${name}(?: extends model\\.(\\w+))? \\{$`, "m"));
    if (head) {
      fields = new Map(head[1] ? sdkModel(head[1]) || [] : []);
      const body = text.slice(head.index + head[0].length, text.indexOf("\n}", head.index));
      for (const m of body.matchAll(/^ {4}"?(\w+)"?(\?)?: (.*)$/gm)) {
        const single = m[3].match(/^(?:Array<)?model\.(\w+)>?;$/);  // a nested model, or a list of one
        fields.set(m[1], { required: !m[2], model: single ? single[1] : null });
      }
    }
  }
  cache.set(name, fields);
  return fields;
}

module.exports = { here, buildDir, tool, sdkModel };
