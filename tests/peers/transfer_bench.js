'use strict';
// One file transfer through the reference SDK for the transfer benchmark:
//   node transfer_bench.js container <container>
//   node transfer_bench.js upload    <container> <blob> <file>   (uploadFile)
//   node transfer_bench.js download  <container> <blob> <file>   (downloadToFile)
// Prints one JSON line: ms (the call alone, timed here), rssBefore (bytes, just before the call),
// maxRss (the process's peak resident set, bytes, from getrusage), sampledRss (peak of
// memoryUsage().rss sampled every 5 ms) and, for a download, the sha256 of the file written.

const crypto = require('crypto');
const fs = require('fs');
const { BlobServiceClient } = require('@azure/storage-blob');

async function fileSha256(file) {
  const hash = crypto.createHash('sha256');
  for await (const chunk of fs.createReadStream(file, { highWaterMark: 1 << 20 })) hash.update(chunk);
  return hash.digest('hex');
}

async function main() {
  const [op, containerName, blobName, file] = process.argv.slice(2);
  const service = BlobServiceClient.fromConnectionString(process.env.AZURE_STORAGE_CONNECTION_STRING);
  const container = service.getContainerClient(containerName);
  if (op === 'container') {
    await container.createIfNotExists();
    console.log(JSON.stringify({ ok: true }));
    return;
  }
  const blob = container.getBlockBlobClient(blobName);
  let sampled = process.memoryUsage().rss;
  const timer = setInterval(() => {
    sampled = Math.max(sampled, process.memoryUsage().rss);
  }, 5);
  const rssBefore = process.memoryUsage().rss;
  const start = process.hrtime.bigint();
  if (op === 'upload') {
    await blob.uploadFile(file);
  } else if (op === 'download') {
    await blob.downloadToFile(file);
  } else {
    throw new Error('unknown op ' + op);
  }
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  clearInterval(timer);
  sampled = Math.max(sampled, process.memoryUsage().rss);
  const out = { ms, rssBefore, maxRss: process.resourceUsage().maxRSS * 1024, sampledRss: sampled };
  if (op === 'download') out.sha256 = await fileSha256(file);
  console.log(JSON.stringify(out));
}

main().catch((e) => {
  console.error(e && e.stack ? e.stack : String(e));
  process.exit(1);
});
