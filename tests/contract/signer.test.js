// The bridge's request signer (bridge/rest/RequestSigner.cpp, through build/contract-signer) against
// the SDK's DefaultRequestSigner: the same requests must carry the same authorization header, byte
// for byte, and the same body headers.
"use strict";
const test = require("node:test");
const assert = require("node:assert");
const crypto = require("crypto");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { execFileSync } = require("child_process");
const { tool } = require("./support");
const common = require("oci-common");

const base = "http://127.0.0.1:43127";
const date = "Tue, 04 Mar 2025 10:11:12 GMT";
const keyId = { tenancy: "ocid1.tenancy.oc1..contract", user: "ocid1.user.oc1..contract", fingerprint: "12:34:56:78" };
const cases = [
  { name: "GET with a query of spaces, plus, slash and non-ASCII", method: "GET", path: "/20160918/volumes",
    query: [["compartmentId", "ocid1.compartment.oc1..aaa"], ["displayName", "a b+c/d é€ 漢"], ["limit", "7"]] },
  { name: "POST with a JSON body", method: "POST", path: "/20160918/volumes",
    body: JSON.stringify({ compartmentId: "ocid1.compartment.oc1..aaa", displayName: "données ✓", sizeInGBs: 50 }) },
  { name: "POST of an instance action (query, empty JSON object)", method: "POST", path: "/20160918/instances/ocid1.instance.oc1..x",
    query: [["action", "SOFTRESET"]], body: "{}" },
  { name: "PUT of a binary object (body not signed)", method: "PUT", path: "/n/ns/b/bucket/o/_TZ_OBJECT%20x",
    body: Buffer.from(Array.from({ length: 512 }, (_, i) => (i * 37) % 256)), excludeBody: true,
    contentType: "application/octet-stream" },
  { name: "DELETE", method: "DELETE", path: "/20160918/volumeAttachments/ocid1.volumeattachment.oc1..y" },
  { name: "HEAD", method: "HEAD", path: "/n/ns/b/bucket/o/name" },
];

test("the bridge signs as the SDK does", async t => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "contract-signer-"));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const { privateKey } = crypto.generateKeyPairSync("rsa", { modulusLength: 2048 });
  const pem = privateKey.export({ type: "pkcs1", format: "pem" });
  const keyFile = path.join(dir, "key.pem");
  fs.writeFileSync(keyFile, pem, { mode: 0o600 });
  const sdkSigner = new common.DefaultRequestSigner(
    new common.SimpleAuthenticationDetailsProvider(keyId.tenancy, keyId.user, keyId.fingerprint, pem, null));

  for (const c of cases) {
    await t.test(c.name, async () => {
      const query = c.query || [];
      const args = ["--method", c.method, "--url", base + c.path, "--date", date, "--key-file", keyFile,
                    "--key-id", `${keyId.tenancy}/${keyId.user}/${keyId.fingerprint}`];
      for (const [n, v] of query) args.push("--query", `${n}=${v}`);
      if (c.contentType) args.push("--header", `content-type:${c.contentType}`);
      if (c.excludeBody) args.push("--exclude-body");
      if (c.body !== undefined) {
        fs.writeFileSync(path.join(dir, "body"), c.body);
        args.push("--body-file", path.join(dir, "body"));
      }
      const bridge = JSON.parse(execFileSync(tool("contract-signer"), args, { encoding: "utf8" }));

      // The target as an SDK caller encodes it: each name and value through encodeURIComponent.
      const target = c.path + (query.length ? "?" + query.map(([n, v]) => `${n}=${encodeURIComponent(v)}`).join("&") : "");
      assert.strictEqual(bridge.target, target);

      const headers = new Headers({ "x-date": date });
      if (c.contentType) headers.set("content-type", c.contentType);
      await sdkSigner.signHttpRequest({ method: c.method, uri: base + target, headers,
                                        body: c.excludeBody ? undefined : c.body }, !!c.excludeBody);
      assert.strictEqual(bridge.headers.authorization, headers.get("authorization"));
      for (const name of ["host", "x-date", "x-content-sha256", "content-length", "content-type"])
        assert.strictEqual(bridge.headers[name], headers.get(name) ?? undefined, name);
    });
  }
});
