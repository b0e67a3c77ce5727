'use strict';
// Listing benchmark helper, through the reference SDK.
//   seed CONTAINER COUNT   creates the container and COUNT empty block blobs (parallel uploads)
//   list CONTAINER         lists every blob over all pages; prints "<count> <ms>" where ms is
//                          the listing alone, measured inside node

const { BlobServiceClient } = require('@azure/storage-blob');

const service = BlobServiceClient.fromConnectionString(process.env.AZURE_STORAGE_CONNECTION_STRING);

async function seed(name, count) {
  const container = service.getContainerClient(name);
  await container.createIfNotExists();
  const empty = Buffer.alloc(0);
  let next = 0;
  async function worker() {
    while (next < count) {
      const i = next++;
      const blob = 'bench/item-' + String(i).padStart(6, '0') + '.bin';
      await container.getBlockBlobClient(blob).upload(empty, 0);
    }
  }
  await Promise.all(Array.from({ length: 64 }, worker));
  process.stdout.write(count + '\n');
}

async function list(name) {
  const container = service.getContainerClient(name);
  const start = process.hrtime.bigint();
  let count = 0;
  for await (const page of container.listBlobsFlat().byPage()) {
    count += page.segment.blobItems.length;
  }
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  process.stdout.write(count + ' ' + ms.toFixed(3) + '\n');
}

(async () => {
  const [mode, name, count] = process.argv.slice(2);
  if (mode === 'seed') await seed(name, Number(count));
  else if (mode === 'list') await list(name);
  else throw new Error('usage: seed|list CONTAINER [COUNT]');
})().catch((e) => {
  process.stderr.write(String(e && e.stack ? e.stack : e) + '\n');
  process.exit(1);
});
