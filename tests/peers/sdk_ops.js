'use strict';
// Reads back, through the reference SDK, what the control's container, lease, copy and metadata
// operations left on the emulator, and sets state for the control to read. Steps arrive as a JSON
// array on stdin; one JSON line per step ({"ok": true, ...} or {"error": "..."}).
//
// Steps:
//   {"op": "props", "container", "name", "snapshot"}  blob properties: lease, metadata, headers, copy
//   {"op": "cprops", "container"}                    container properties: lease, metadata, access
//   {"op": "acl", "container"}                       access level and signed identifiers
//   {"op": "setacl", "container", "access", "ids": [{"id", "start", "expiry", "permissions"}]}
//   {"op": "setmeta", "container", "name", "metadata"}  (name optional: the container)
//   {"op": "snapshots", "container", "name"}         snapshot stamps of that blob, oldest first
//   {"op": "exists", "container", "name", "snapshot"}
//   {"op": "download", "container", "name"}          the blob's text

const fs = require('fs');
const { BlobServiceClient } = require('@azure/storage-blob');

const service = BlobServiceClient.fromConnectionString(process.env.AZURE_STORAGE_CONNECTION_STRING);

function lease(p) {
  return { leaseState: p.leaseState, leaseStatus: p.leaseStatus, leaseDuration: p.leaseDuration };
}

function blobClient(step) {
  const blob = service.getContainerClient(step.container).getBlobClient(step.name);
  return step.snapshot ? blob.withSnapshot(step.snapshot) : blob;
}

async function run(step) {
  const container = service.getContainerClient(step.container);
  switch (step.op) {
    case 'props': {
      const p = await blobClient(step).getProperties();
      return Object.assign(lease(p), {
        metadata: p.metadata || {},
        contentType: p.contentType,
        cacheControl: p.cacheControl,
        contentLanguage: p.contentLanguage,
        contentLength: p.contentLength,
        copyStatus: p.copyStatus,
        copyId: p.copyId,
      });
    }
    case 'cprops': {
      const p = await container.getProperties();
      return Object.assign(lease(p), { metadata: p.metadata || {}, access: p.blobPublicAccess || '' });
    }
    case 'acl': {
      const a = await container.getAccessPolicy();
      return {
        access: a.blobPublicAccess || '',
        ids: a.signedIdentifiers.map((s) => ({
          id: s.id,
          start: s.accessPolicy.startsOn,
          expiry: s.accessPolicy.expiresOn,
          permissions: s.accessPolicy.permissions,
        })),
      };
    }
    case 'setacl': {
      const ids = (step.ids || []).map((s) => ({
        id: s.id,
        accessPolicy: {
          startsOn: s.start ? new Date(s.start) : undefined,
          expiresOn: s.expiry ? new Date(s.expiry) : undefined,
          permissions: s.permissions,
        },
      }));
      await container.setAccessPolicy(step.access || undefined, ids);
      return {};
    }
    case 'setmeta':
      if (step.name) await blobClient(step).setMetadata(step.metadata);
      else await container.setMetadata(step.metadata);
      return {};
    case 'snapshots': {
      const stamps = [];
      for await (const b of container.listBlobsFlat({ includeSnapshots: true, prefix: step.name })) {
        if (b.name === step.name && b.snapshot) stamps.push(b.snapshot);
      }
      return { snapshots: stamps.sort() };
    }
    case 'exists':
      return { exists: step.name ? await blobClient(step).exists() : await container.exists() };
    case 'download': {
      const buf = await blobClient(step).downloadToBuffer();
      return { data: buf.toString('utf8') };
    }
    default:
      throw new Error('unknown step ' + step.op);
  }
}

(async () => {
  const steps = JSON.parse(fs.readFileSync(0, 'utf8'));
  for (const step of steps) {
    let line;
    try {
      line = Object.assign({ ok: true }, await run(step));
    } catch (e) {
      line = { error: (e.code || '') + ' ' + String(e.message).replace(/\s+/g, ' ') };
    }
    process.stdout.write(JSON.stringify(line) + '\n');
  }
})();
