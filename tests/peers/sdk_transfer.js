'use strict';
// Reads back and writes blobs through the reference SDK for the transfer tests: reads a JSON
// array of steps on stdin, runs them in order and prints one JSON line per step
// ({"ok": true, ...} or {"error": "..."}).
//
// Steps:
//   {"op": "container", "container"}                          create a container (if absent)
//   {"op": "read", "container", "name"}                       answers "length" and "sha256"
//   {"op": "uploadFile", "container", "name", "file"}          uploads a local file
//   {"op": "stage", "container", "name", "id", "data"}        stages a block (id Base64)
//   {"op": "commit", "container", "name", "ids"}               commits the ids
//   {"op": "props", "container", "name"}   answers "contentMD5" (Base64 or ""), "contentType",
//                                          "metadata", "length" and "blobType"
//   {"op": "exists", "container", "name"}                     answers "exists"

const crypto = require('crypto');
const { BlobServiceClient } = require('@azure/storage-blob');

const service = BlobServiceClient.fromConnectionString(process.env.AZURE_STORAGE_CONNECTION_STRING);

async function run(step) {
  const container = service.getContainerClient(step.container);
  switch (step.op) {
    case 'container':
      await container.createIfNotExists();
      return {};
    case 'read': {
      const data = await container.getBlobClient(step.name).downloadToBuffer();
      return { length: data.length, sha256: crypto.createHash('sha256').update(data).digest('hex') };
    }
    case 'uploadFile':
      await container.getBlockBlobClient(step.name).uploadFile(step.file);
      return {};
    case 'stage': {
      const data = Buffer.from(step.data, 'utf8');
      await container.getBlockBlobClient(step.name).stageBlock(step.id, data, data.length);
      return {};
    }
    case 'commit':
      await container.getBlockBlobClient(step.name).commitBlockList(step.ids);
      return {};
    case 'props': {
      const p = await container.getBlobClient(step.name).getProperties();
      return {
        contentMD5: p.contentMD5 ? Buffer.from(p.contentMD5).toString('base64') : '',
        contentType: p.contentType || '',
        metadata: p.metadata || {},
        length: p.contentLength,
        blobType: p.blobType,
      };
    }
    case 'exists':
      return { exists: await container.getBlobClient(step.name).exists() };
    default:
      throw new Error('unknown op ' + step.op);
  }
}

async function main() {
  let input = '';
  for await (const chunk of process.stdin) input += chunk;
  for (const step of JSON.parse(input)) {
    try {
      console.log(JSON.stringify(Object.assign({ ok: true }, await run(step))));
    } catch (e) {
      console.log(JSON.stringify({ error: String(e && e.message ? e.message : e) }));
    }
  }
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
