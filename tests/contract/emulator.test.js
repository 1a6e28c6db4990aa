// The SDK's own clients drive `cloud-sim serve` through every operation the REST backend makes
// (bridge/rest/*.cpp): each answer must parse into the SDK's models with the values the sandbox holds
// (cross-checked with `cloud-sim ls --json`), lists are followed with the SDK's paginators (the server
// pages every few items), a client with another key is refused 401, and every field of every resource
// the emulator answered must be a field of the SDK's model of that resource.
"use strict";
const test = require("node:test");
const assert = require("node:assert");
const crypto = require("crypto");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { spawn, execFileSync } = require("child_process");
const { tool, sdkModel } = require("./support");
const common = require("oci-common");
const core = require("oci-core");
const identity = require("oci-identity");
const objectstorage = require("oci-objectstorage");
const workrequests = require("oci-workrequests");

const sleep = ms => new Promise(r => setTimeout(r, ms));

// The resource model of an answer, by method and path (the discriminated kinds by their field).
const answerModels = [
  [/^\/20160918\/(volumes)(\/[^/]+)?$/, "Volume"], [/^\/20160918\/bootVolumes(\/[^/]+)?$/, "BootVolume"],
  [/^\/20160918\/volumeBackups(\/[^/]+)?$/, "VolumeBackup"], [/^\/20160918\/bootVolumeBackups(\/[^/]+)?$/, "BootVolumeBackup"],
  [/^\/20160918\/volumeAttachments(\/[^/]+)?$/, r => r.attachmentType === "iscsi" ? "IScsiVolumeAttachment" : "ParavirtualizedVolumeAttachment"],
  [/^\/20160918\/bootVolumeAttachments(\/[^/]+)?$/, "BootVolumeAttachment"],
  [/^\/20160918\/instances(\/[^/]+)?$/, "Instance"], [/^\/20160918\/vnicAttachments(\/[^/]+)?$/, "VnicAttachment"],
  [/^\/20160918\/vnics\/[^/]+$/, "Vnic"], [/^\/20160918\/images(\/[^/]+)?$/, "Image"], [/^\/20160918\/subnets(\/[^/]+)?$/, "Subnet"],
  [/^\/20160918\/securityLists(\/[^/]+)?$/, "SecurityList"], [/^\/20160918\/shapes$/, "Shape"],
  [/^\/20160918\/regions$/, "Region"], [/^\/20160918\/tenancies\/[^/]+\/regionSubscriptions$/, "RegionSubscription"],
  [/^\/20160918\/availabilityDomains$/, "AvailabilityDomain"], [/^\/20160918\/compartments(\/[^/]+)?$/, "Compartment"],
  [/^\/20160918\/tenancies\/[^/]+$/, "Tenancy"],
  [/^\/20160918\/workRequests\/[^/]+$/, "WorkRequest"], [/^\/20160918\/workRequests$/, "WorkRequestSummary"],
  [/^\/20160918\/workRequests\/[^/]+\/errors$/, "WorkRequestError"],
];

// Fields of `resource` that the SDK's model `name` lacks, recursing into nested models.
function strayFields(resource, name, where, out) {
  const model = sdkModel(name);
  if (!model) return out.push(`${where}: the SDK has no model ${name}`);
  for (const [field, value] of Object.entries(resource)) {
    const known = model.get(field);
    if (!known) out.push(`${where}: ${name} has no field [${field}]`);
    else if (known.model && value && typeof value === "object")
      for (const item of Array.isArray(value) ? value : [value]) strayFields(item, known.model, `${where}.${field}`, out);
  }
}

test("the SDK drives the emulator", { timeout: 90000 }, async t => {
  const sandbox = fs.mkdtempSync(path.join(os.tmpdir(), "contract-emulator-"));
  const cloudSim = tool("cloud-sim");
  execFileSync(cloudSim, ["init", sandbox, "--backend", "rest"], { stdio: "ignore" });
  const server = spawn(cloudSim, ["--sandbox", sandbox, "serve"], { stdio: "ignore" });
  const stop = () => { if (server.exitCode === null) server.kill("SIGKILL"); };
  process.on("exit", stop);
  for (const signal of ["SIGINT", "SIGTERM"]) process.once(signal, () => { stop(); process.exit(1); });
  t.after(() => { stop(); if (!process.env.CONTRACT_KEEP) fs.rmSync(sandbox, { recursive: true, force: true }); });
  const endpointFile = path.join(sandbox, "api", "endpoint");
  for (let i = 0; i < 100 && !fs.existsSync(endpointFile); ++i) await sleep(50);
  const endpoint = fs.readFileSync(endpointFile, "utf8").trim();
  const ls = kind => JSON.parse(execFileSync(cloudSim, ["--sandbox", sandbox, "ls", kind, "--json"], { encoding: "utf8" }));

  // The config's key_file is relative to its folder; the SDK takes it from the working folder.
  const cwd = process.cwd();
  process.chdir(path.join(sandbox, "api"));
  const provider = new common.ConfigFileAuthenticationDetailsProvider(path.join(sandbox, "api", "config"));
  await provider.getKeyId();
  process.chdir(cwd);

  const answers = [];  // every JSON answer, raw, for the field check
  const recording = inner => ({
    async send(request, ...rest) {
      const response = await inner.send(request, ...rest);
      const text = request.method === "HEAD" ? "" : await response.clone().text();
      if (text && (response.headers.get("content-type") || "").includes("json"))
        answers.push({ path: new URL(request.uri).pathname, body: JSON.parse(text) });
      return response;
    },
  });
  const clientOf = (Client, auth) => {
    const client = new Client({ authenticationDetailsProvider: auth,
                                httpClient: recording(new common.FetchHttpClient(new common.DefaultRequestSigner(auth))) },
                              { retryConfiguration: common.NoRetryConfigurationDetails });
    client.endpoint = endpoint;
    return client;
  };
  const compute = clientOf(core.ComputeClient, provider), storage = clientOf(core.BlockstorageClient, provider);
  const network = clientOf(core.VirtualNetworkClient, provider), iam = clientOf(identity.IdentityClient, provider);
  const objects = clientOf(objectstorage.ObjectStorageClient, provider);
  const work = clientOf(workrequests.WorkRequestClient, provider);
  const all = async iterator => { const items = []; for await (const item of iterator) items.push(item); return items; };
  const until = async (get, state) => {
    for (let i = 0; i < 100; ++i) { const r = await get(); if (r.lifecycleState === state) return r; await sleep(50); }
    assert.fail(`never reached ${state}`);
  };

  const tenancy = provider.getTenantId();
  const [backup, production] = ["Backup", "Production"].map(n => ls("compartments").find(c => c.name === n).id);
  const web = ls("instances").find(i => i.name === "sample-web");
  const ad = web.availability_domain;

  await t.test("identity: regions, subscriptions, domains, compartments", async () => {
    const regions = (await iam.listRegions({})).items;
    assert.deepStrictEqual(regions.map(r => [r.name, r.key]).sort(), ls("regions").map(r => [r.name, r.key]).sort());
    const subs = (await iam.listRegionSubscriptions({ tenancyId: tenancy })).items;
    assert.deepStrictEqual(subs.filter(s => s.isHomeRegion).map(s => s.regionName), ls("regions").filter(r => r.is_home).map(r => r.name));
    const ads = (await iam.listAvailabilityDomains({ compartmentId: tenancy })).items.map(a => a.name).sort();
    assert.deepStrictEqual(ads, ls("ads").filter(a => a.region === "us-phoenix-1").map(a => a.name).sort());
    const compartments = await all(iam.listCompartmentsRecordIterator({ compartmentId: tenancy, compartmentIdInSubtree: true }));
    assert.deepStrictEqual(compartments.map(c => c.id).sort(), [backup, production].sort());
    assert.strictEqual((await iam.getCompartment({ compartmentId: production })).compartment.name, "Production");
  });

  await t.test("core lookups: shapes, images, subnets, security lists, instances", async () => {
    const shapes = await all(compute.listShapesRecordIterator({ compartmentId: production }));
    assert.deepStrictEqual([...new Set(shapes.map(s => s.shape))].sort(), ls("shapes").map(s => s.name).sort());
    assert.deepStrictEqual(shapes.map(s => [s.shape, s.ocpus, s.memoryInGBs * 1024]).sort(),
                           ls("shapes").map(s => [s.name, s.cpus, s.memory_mb]).sort());
    const images = await all(compute.listImagesRecordIterator({ compartmentId: production }));
    const phx = ls("images").filter(i => i.region === "us-phoenix-1");
    assert.deepStrictEqual(images.map(i => i.id).sort(), phx.map(i => i.id).sort());
    assert.deepStrictEqual(images.map(i => i.operatingSystem).sort(), phx.map(i => i.os).sort());
    const subnets = await all(network.listSubnetsRecordIterator({ compartmentId: production }));
    assert.deepStrictEqual(subnets.map(s => [s.id, s.cidrBlock]).sort(), ls("subnets").map(s => [s.id, s.cidr]).sort());
    const lists = await all(network.listSecurityListsRecordIterator({ compartmentId: production }));
    assert.deepStrictEqual(lists.map(s => s.displayName).sort(), ls("security-lists").map(s => s.name).sort());
    const instances = await all(compute.listInstancesRecordIterator({ compartmentId: production }));
    assert.deepStrictEqual(instances.map(i => i.id).sort(), ls("instances").filter(i => i.compartment === production).map(i => i.id).sort());
    const one = (await compute.getInstance({ instanceId: web.id })).instance;
    assert.deepStrictEqual([one.displayName, one.shape, one.lifecycleState], [web.name, web.shape, web.state]);
  });

  await t.test("volumes, backups, attachments", async () => {
    const made = (await storage.createVolume({ createVolumeDetails: {
      compartmentId: production, availabilityDomain: ad, displayName: "contract-data", sizeInGBs: 50 } })).volume;
    const volume = await until(async () => (await storage.getVolume({ volumeId: made.id })).volume, "AVAILABLE");
    assert.strictEqual(volume.sizeInGBs, 50);
    assert.ok(ls("volumes").some(v => v.id === made.id && v.name === "contract-data" && v.size_bytes === 50 * 2 ** 30));
    const volumes = await all(storage.listVolumesRecordIterator({ compartmentId: production }));
    assert.deepStrictEqual(volumes.map(v => v.id).sort(),
                           ls("volumes").filter(v => !v.is_boot && v.compartment === production).map(v => v.id).sort());

    const snap = (await storage.createVolumeBackup({ createVolumeBackupDetails: { volumeId: made.id, displayName: "contract-snap" } })).volumeBackup;
    await until(async () => (await storage.getVolumeBackup({ volumeBackupId: snap.id })).volumeBackup, "AVAILABLE");
    const backups = await all(storage.listVolumeBackupsRecordIterator({ compartmentId: production, volumeId: made.id }));
    assert.deepStrictEqual(backups.map(b => b.displayName), ["contract-snap"]);
    const copy = (await storage.createVolume({ createVolumeDetails: { compartmentId: production, availabilityDomain: ad,
      displayName: "contract-copy", sourceDetails: { type: "volumeBackup", id: snap.id } } })).volume;
    assert.strictEqual((await until(async () => (await storage.getVolume({ volumeId: copy.id })).volume, "AVAILABLE")).sizeInGBs, 50);

    const bootId = web.boot_volume_id;
    const bootSnap = (await storage.createBootVolumeBackup({ createBootVolumeBackupDetails: { bootVolumeId: bootId, displayName: "contract-boot-snap" } })).bootVolumeBackup;
    await until(async () => (await storage.getBootVolumeBackup({ bootVolumeBackupId: bootSnap.id })).bootVolumeBackup, "AVAILABLE");
    assert.ok((await all(storage.listBootVolumeBackupsRecordIterator({ compartmentId: production }))).some(b => b.id === bootSnap.id));
    const boot = (await storage.createBootVolume({ createBootVolumeDetails: { compartmentId: production, availabilityDomain: ad,
      displayName: "contract-boot", sourceDetails: { type: "bootVolumeBackup", id: bootSnap.id } } })).bootVolume;
    await until(async () => (await storage.getBootVolume({ bootVolumeId: boot.id })).bootVolume, "AVAILABLE");
    const boots = await all(storage.listBootVolumesRecordIterator({ compartmentId: production, availabilityDomain: ad }));
    assert.ok(boots.some(b => b.id === boot.id && b.displayName === "contract-boot"));

    const attached = (await compute.attachVolume({ attachVolumeDetails: { type: "iscsi", instanceId: web.id, volumeId: copy.id } })).volumeAttachment;
    const attachment = await until(async () => (await compute.getVolumeAttachment({ volumeAttachmentId: attached.id })).volumeAttachment, "ATTACHED");
    assert.ok(attachment.iqn && attachment.ipv4 && attachment.port, JSON.stringify(attachment));
    const listed = await all(compute.listVolumeAttachmentsRecordIterator({ compartmentId: production, instanceId: web.id }));
    assert.ok(listed.some(a => a.id === attached.id && a.volumeId === copy.id));
    assert.ok(ls("attachments").some(a => a.id === attached.id && a.type === "iscsi"));
    await compute.detachVolume({ volumeAttachmentId: attached.id });
    await until(async () => (await compute.getVolumeAttachment({ volumeAttachmentId: attached.id })).volumeAttachment, "DETACHED");
    const bootAttachments = await all(compute.listBootVolumeAttachmentsRecordIterator({ compartmentId: production, availabilityDomain: ad }));
    assert.ok(bootAttachments.some(a => a.instanceId === web.id && a.bootVolumeId === bootId));

    await storage.deleteBootVolume({ bootVolumeId: boot.id });
    await storage.deleteBootVolumeBackup({ bootVolumeBackupId: bootSnap.id });
    await storage.deleteVolumeBackup({ volumeBackupId: snap.id });
    for (const id of [made.id, copy.id]) await storage.deleteVolume({ volumeId: id });
    const gone = ls("volumes").filter(v => [made.id, copy.id, boot.id].includes(v.id) && !/TERMINAT/.test(v.state));
    assert.deepStrictEqual(gone, []);
    assert.ok(!ls("snapshots").some(s => [snap.id, bootSnap.id].includes(s.id) && !/TERMINAT|DELET/.test(s.state)));
  });

  await t.test("instances: launch, actions, update, VNICs, terminate", async () => {
    const image = ls("images").find(i => i.region === "us-phoenix-1" && i.state === "AVAILABLE");
    const subnet = ls("subnets").find(s => s.availability_domain === ad);
    const launched = (await compute.launchInstance({ launchInstanceDetails: { compartmentId: production, availabilityDomain: ad,
      displayName: "contract-vm", shape: "VM.Standard.E4.Flex", shapeConfig: { ocpus: 2, memoryInGBs: 16 },
      sourceDetails: { sourceType: "image", imageId: image.id }, createVnicDetails: { subnetId: subnet.id, displayName: "contract-vnic" } } })).instance;
    const running = await until(async () => (await compute.getInstance({ instanceId: launched.id })).instance, "RUNNING");
    assert.deepStrictEqual([running.shapeConfig.ocpus, running.shapeConfig.memoryInGBs], [2, 16]);
    const row = () => ls("instances").find(i => i.id === launched.id);
    assert.deepStrictEqual([row().name, row().cpus, row().memory_mb], ["contract-vm", 2, 16384]);
    await compute.instanceAction({ instanceId: launched.id, action: "STOP" });
    await until(async () => (await compute.getInstance({ instanceId: launched.id })).instance, "STOPPED");
    await compute.instanceAction({ instanceId: launched.id, action: "START" });
    await until(async () => (await compute.getInstance({ instanceId: launched.id })).instance, "RUNNING");
    const updated = (await compute.updateInstance({ instanceId: launched.id, updateInstanceDetails: {
      shapeConfig: { ocpus: 4, memoryInGBs: 32 }, freeformTags: { owner: "contract" } } })).instance;
    assert.deepStrictEqual([updated.shapeConfig.ocpus, updated.freeformTags.owner], [4, "contract"]);
    assert.strictEqual(row().cpus, 4);

    const vnicAttachment = (await compute.attachVnic({ attachVnicDetails: { instanceId: launched.id,
      createVnicDetails: { subnetId: subnet.id, displayName: "contract-second" } } })).vnicAttachment;
    const vnicAttachments = await all(compute.listVnicAttachmentsRecordIterator({ compartmentId: production, instanceId: launched.id }));
    assert.strictEqual(vnicAttachments.length, 2);
    const vnic = (await network.getVnic({ vnicId: vnicAttachment.vnicId })).vnic;
    assert.deepStrictEqual([vnic.displayName, vnic.subnetId], ["contract-second", subnet.id]);
    assert.ok(ls("vnics").some(v => v.id === vnic.id && v.instance_id === launched.id && v.private_ip === vnic.privateIp));

    await compute.terminateInstance({ instanceId: launched.id, preserveBootVolume: false });
    await until(async () => (await compute.getInstance({ instanceId: launched.id })).instance, "TERMINATED");
  });

  await t.test("objects and images: namespace, put, head, image import, delete", async () => {
    const namespaceName = (await objects.getNamespace({})).value;
    const bucket = ls("buckets").find(b => b.name === "image-import");
    assert.strictEqual(namespaceName, bucket.namespace);
    const bytes = crypto.randomBytes(4096);
    await objects.putObject({ namespaceName, bucketName: bucket.name, objectName: "contract object.img", putObjectBody: bytes, contentLength: bytes.length });
    const head = await objects.headObject({ namespaceName, bucketName: bucket.name, objectName: "contract object.img" });
    assert.strictEqual(Number(head.contentLength), 4096);
    assert.ok(ls("objects").some(o => JSON.stringify(o).includes("contract object.img")));
    const created = await compute.createImage({ createImageDetails: { compartmentId: backup, displayName: "contract-image", launchMode: "PARAVIRTUALIZED",
      imageSourceDetails: { sourceType: "objectStorageTuple", namespaceName, bucketName: bucket.name, objectName: "contract object.img" } } });
    const image = created.image;
    await until(async () => (await compute.getImage({ imageId: image.id })).image, "AVAILABLE");
    assert.ok(ls("images").some(i => i.id === image.id && i.name === "contract-image"));
    // The import's work request, read with the Work Requests client: done once the image is available.
    assert.ok(created.opcWorkRequestId, "the create answered no opc-work-request-id");
    const request = (await work.getWorkRequest({ workRequestId: created.opcWorkRequestId })).workRequest;
    assert.strictEqual(request.status, workrequests.models.WorkRequest.Status.Succeeded);
    assert.strictEqual(request.operationType, "CreateImage");
    assert.deepStrictEqual(request.resources.map(r => r.identifier), [image.id]);
    const listed = await all(work.listWorkRequestsRecordIterator({ compartmentId: backup, resourceId: image.id }));
    assert.deepStrictEqual(listed.map(w => w.id), [created.opcWorkRequestId]);
    assert.deepStrictEqual(await all(work.listWorkRequestErrorsRecordIterator({ workRequestId: request.id })), []);
    await compute.deleteImage({ imageId: image.id });
    assert.ok(!ls("images").some(i => i.id === image.id && i.state === "AVAILABLE"));
    await objects.deleteObject({ namespaceName, bucketName: bucket.name, objectName: "contract object.img" });
    await assert.rejects(objects.headObject({ namespaceName, bucketName: bucket.name, objectName: "contract object.img" }), e => e.statusCode === 404);
  });

  await t.test("a client with another key is refused 401", async () => {
    const { privateKey } = crypto.generateKeyPairSync("rsa", { modulusLength: 2048 });
    const stranger = new common.SimpleAuthenticationDetailsProvider(tenancy, provider.getUser(), provider.getFingerprint(),
                                                                     privateKey.export({ type: "pkcs1", format: "pem" }), null);
    await assert.rejects(clientOf(identity.IdentityClient, stranger).listRegions({}), e => e.statusCode === 401);
    await assert.rejects(clientOf(core.BlockstorageClient, stranger).getVolume({ volumeId: web.boot_volume_id }), e => e.statusCode === 401);
  });

  await t.test("every field the emulator answered is a field of the SDK's model", () => {
    const stray = [];
    let checked = 0;
    for (const { path: where, body } of answers) {
      if (body && body.code && body.message) continue;  // an error body
      const found = answerModels.find(([pattern]) => pattern.test(where));
      if (!found) continue;  // the namespace: a JSON string
      for (const resource of Array.isArray(body) ? body : [body]) {
        const name = typeof found[1] === "function" ? found[1](resource) : found[1];
        strayFields(resource, name, `${where} ${name}`, stray);
        ++checked;
      }
    }
    assert.ok(checked > 50, `only ${checked} resources were answered`);
    assert.deepStrictEqual([...new Set(stray)], []);
  });
});
