'use strict';
// Reference shared access signatures from the storage SDK, for the SAS tests: reads a JSON array
// of field sets on stdin and prints the "sig" of each on its own line (or "error: ..." when the
// SDK refuses the fields).
//
// Fields: account, key, container, blob, snapshot, permissions, start, expiry (ISO texts), si,
// sip ("a" or "a-b"), spr, rscc, rscd, rsce, rscl, rsct, version (default 2019-02-02).

const fs = require('fs');
const {
  BlobSASPermissions,
  ContainerSASPermissions,
  StorageSharedKeyCredential,
  generateBlobSASQueryParameters,
} = require('@azure/storage-blob');

function signatureOf(c) {
  const credential = new StorageSharedKeyCredential(c.account, c.key);
  const values = { containerName: c.container, version: c.version || '2019-02-02' };
  if (c.blob) values.blobName = c.blob;
  if (c.snapshot) values.snapshotTime = c.snapshot;
  if (c.permissions) {
    values.permissions = c.blob
      ? BlobSASPermissions.parse(c.permissions)
      : ContainerSASPermissions.parse(c.permissions);
  }
  if (c.start) values.startsOn = new Date(c.start);
  if (c.expiry) values.expiresOn = new Date(c.expiry);
  if (c.si) values.identifier = c.si;
  if (c.sip) {
    const [start, end] = c.sip.split('-');
    values.ipRange = end ? { start, end } : { start };
  }
  if (c.spr) values.protocol = c.spr;
  if (c.rscc) values.cacheControl = c.rscc;
  if (c.rscd) values.contentDisposition = c.rscd;
  if (c.rsce) values.contentEncoding = c.rsce;
  if (c.rscl) values.contentLanguage = c.rscl;
  if (c.rsct) values.contentType = c.rsct;
  return generateBlobSASQueryParameters(values, credential).signature;
}

const cases = JSON.parse(fs.readFileSync(0, 'utf8'));
for (const c of cases) {
  let line;
  try {
    line = signatureOf(c);
  } catch (e) {
    line = 'error: ' + e.message.replace(/\s+/g, ' ');
  }
  process.stdout.write(line + '\n');
}
