// The emulator's request models (`cloud-sim api-models`, sandbox/ApiRequestModels.cpp) against the
// SDK's: every field the emulator accepts is a field of the SDK's model of that body, and every field
// the SDK's model requires is required by the emulator.
"use strict";
const test = require("node:test");
const assert = require("node:assert");
const { execFileSync } = require("child_process");
const { tool, sdkModel } = require("./support");

const table = JSON.parse(execFileSync(tool("cloud-sim"), ["api-models"], { encoding: "utf8" }));

test("the table names every body the routes read", () => {
  const bodies = table.filter(m => !m.in).map(m => m.name);
  for (const name of ["CreateVolumeDetails", "CreateBootVolumeDetails", "CreateVolumeBackupDetails", "CreateBootVolumeBackupDetails",
                      "AttachVolumeDetails", "LaunchInstanceDetails", "UpdateInstanceDetails", "AttachVnicDetails", "CreateImageDetails"])
    assert.ok(bodies.includes(name), name);
  // Each nested model hangs off a field its parent accepts.
  for (const nested of table.filter(m => m.in)) {
    const [parent, field] = nested.in.split(".");
    const owner = table.find(m => m.name === parent && !m.in);
    assert.ok(owner && [...owner.required, ...owner.optional].includes(field), `${nested.name} in ${nested.in}`);
  }
});

for (const model of table) {
  test(`${model.name}${model.in ? ` (${model.in})` : ""} matches the SDK`, () => {
    const sdk = sdkModel(model.name);
    assert.ok(sdk, `the SDK has no model ${model.name}`);
    const unknown = [...model.required, ...model.optional].filter(f => !sdk.has(f));
    assert.deepStrictEqual(unknown, [], "fields the emulator accepts that the SDK's model lacks");
    const notRequired = [...sdk].filter(([f, d]) => d.required && !model.required.includes(f)).map(([f]) => f);
    assert.deepStrictEqual(notRequired, [], "fields the SDK requires that the emulator does not");
    if (model.when) {
      const [field, value] = model.when.split("=");
      assert.ok(sdk.has(field) && model.required.includes(field), `the discriminator ${field}`);
      assert.ok(value, model.when);
    }
  });
}
