'use strict';
// Seeds the emulator through the reference SDK and reads back what the control wrote: reads a
// JSON array of steps on stdin, runs them in order and prints one JSON line per step
// ({"ok": true, ...} or {"error": "..."}).
//
// Steps:
//   {"op": "container", "name", "metadata"}                  create a container
//   {"op": "blob", "container", "name", "data", "metadata", "contentType"}  upload a block blob
//   {"op": "blocks", "container", "name", "committed": [{"id", "data"}], "uncommitted": [...]}
//        stage and commit the committed blocks, then stage the uncommitted ones (ids are Base64)
//   {"op": "pages", "container", "name", "size", "writes": [[offset, length]], "clears": [...]}
//   {"op": "append", "container", "name"}                    create an append blob
//   {"op": "snapshot", "container", "name"}                  answers "snapshot"
//   {"op": "exists", "container", "name"}                    answers "exists" (name optional)
//   {"op": "metadata", "container", "name"}                  answers "metadata" (name optional)
//   {"op": "blocklist", "container", "name"}                 answers "committed", "uncommitted"

const fs = require('fs');
const { BlobServiceClient } = require('@azure/storage-blob');

const service = BlobServiceClient.fromConnectionString(process.env.AZURE_STORAGE_CONNECTION_STRING);

async function run(step) {
  const container = service.getContainerClient(step.container || step.name);
  switch (step.op) {
    case 'container':
      await container.create({ metadata: step.metadata });
      return {};
    case 'blob': {
      const data = Buffer.from(step.data || '', 'utf8');
      await container.getBlockBlobClient(step.name).upload(data, data.length, {
        metadata: step.metadata,
        blobHTTPHeaders: step.contentType ? { blobContentType: step.contentType } : undefined,
      });
      return {};
    }
    case 'blocks': {
      const blob = container.getBlockBlobClient(step.name);
      const committed = step.committed || [];
      for (const b of committed) {
        const data = Buffer.from(b.data, 'utf8');
        await blob.stageBlock(b.id, data, data.length);
      }
      if (committed.length > 0) await blob.commitBlockList(committed.map((b) => b.id));
      for (const b of step.uncommitted || []) {
        const data = Buffer.from(b.data, 'utf8');
        await blob.stageBlock(b.id, data, data.length);
      }
      return {};
    }
    case 'pages': {
      const blob = container.getPageBlobClient(step.name);
      await blob.create(step.size);
      for (const [offset, length] of step.writes || []) {
        await blob.uploadPages(Buffer.alloc(length, 0x5a), offset, length);
      }
      for (const [offset, length] of step.clears || []) {
        await blob.clearPages(offset, length);
      }
      return {};
    }
    case 'append':
      await container.getAppendBlobClient(step.name).create();
      return {};
    case 'snapshot': {
      const r = await container.getBlobClient(step.name).createSnapshot();
      return { snapshot: r.snapshot };
    }
    case 'exists':
      return {
        exists: step.name ? await container.getBlobClient(step.name).exists() : await container.exists(),
      };
    case 'metadata': {
      const props = step.name
        ? await container.getBlobClient(step.name).getProperties()
        : await container.getProperties();
      return { metadata: props.metadata || {} };
    }
    case 'blocklist': {
      const list = await container.getBlockBlobClient(step.name).getBlockList('all');
      const ids = (blocks) => (blocks || []).map((b) => ({ id: b.name, size: b.size }));
      return { committed: ids(list.committedBlocks), uncommitted: ids(list.uncommittedBlocks) };
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
