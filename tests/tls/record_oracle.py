# Independent TLS record protection for the record tests. Each input line:
#   open|seal bulk hash version tls13 mackey key iv item,item,...
# open: items are protected records (hex), opened in order; prints type:plaintext per record
#       or BAD. seal: items are type:plaintext, sealed in order; prints the records.
import hashlib, hmac, os, struct, sys
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM, ChaCha20Poly1305

HASHES = {'sha1': hashlib.sha1, 'md5': hashlib.md5, 'sha256': hashlib.sha256, 'sha384': hashlib.sha384}

class Direction:
    def __init__(self, bulk, hname, version, tls13, mac_key, key, iv):
        self.bulk, self.hname, self.version, self.tls13 = bulk, hname, version, tls13
        self.mac_key, self.key, self.iv, self.seq = mac_key, key, iv, 0
        self.rc4 = Cipher(algorithms.ARC4(key), None).encryptor() if bulk == 'rc4' else None

    def block_cipher(self):
        if self.bulk == 'aes':
            return algorithms.AES(self.key), 16
        k = self.key * 3 if len(self.key) == 8 else self.key
        return algorithms.TripleDES(k), 8

    def mac(self, seq, ctype, data):
        h = HASHES[self.hname]
        if self.version == 0x0300:
            pad = 48 if self.hname == 'md5' else 40
            inner = h(self.mac_key + b'\x36' * pad + struct.pack('>QBH', seq, ctype, len(data)) + data).digest()
            return h(self.mac_key + b'\x5c' * pad + inner).digest()
        return hmac.new(self.mac_key, struct.pack('>QBHH', seq, ctype, self.version, len(data)) + data, h).digest()

    def aead(self):
        return AESGCM(self.key) if self.bulk == 'gcm' else ChaCha20Poly1305(self.key)

    def nonce(self, seq):
        if self.tls13:
            return bytes(a ^ b for a, b in zip(self.iv, b'\0\0\0\0' + struct.pack('>Q', seq)))
        return self.iv + struct.pack('>Q', seq)

    def open(self, rec):
        ctype, ver, n = struct.unpack('>BHH', rec[:5])
        body = rec[5:]
        assert len(body) == n
        seq = self.seq
        self.seq += 1
        if self.bulk in ('gcm', 'chacha'):
            if self.tls13:
                plain = self.aead().decrypt(self.nonce(seq), body, rec[:5]).rstrip(b'\0')
                return plain[-1], plain[:-1]
            explicit = body[:8]
            nonce = self.iv + explicit if self.bulk == 'gcm' else self.nonce(seq)
            aad = struct.pack('>QBHH', seq, ctype, self.version, len(body) - 24)
            return ctype, self.aead().decrypt(nonce, body[8:], aad)
        if self.rc4:
            plain = self.rc4.update(body)
        else:
            alg, bs = self.block_cipher()
            dec = Cipher(alg, modes.CBC(self.iv)).decryptor()
            plain = dec.update(body) + dec.finalize()
            self.iv = body[-bs:]
            if self.version >= 0x0302:
                plain = plain[bs:]
            pad = plain[-1]
            if self.version >= 0x0301 and plain[-pad - 1:] != bytes([pad]) * (pad + 1):
                raise ValueError('padding')
            plain = plain[:-pad - 1]
        maclen = HASHES[self.hname]().digest_size
        data, tag = plain[:-maclen], plain[-maclen:]
        if not hmac.compare_digest(tag, self.mac(seq, ctype, data)):
            raise ValueError('mac')
        return ctype, data

    def seal(self, ctype, data):
        seq = self.seq
        self.seq += 1
        ver = 0x0303 if self.tls13 else self.version
        if self.bulk in ('gcm', 'chacha'):
            if self.tls13:
                inner = data + bytes([ctype])
                hdr = struct.pack('>BHH', 23, 0x0303, len(inner) + 16)
                return hdr + self.aead().encrypt(self.nonce(seq), inner, hdr)
            aad = struct.pack('>QBHH', seq, ctype, self.version, len(data))
            nonce = self.nonce(seq)
            body = (struct.pack('>Q', seq) if self.bulk == 'gcm' else b'') + self.aead().encrypt(nonce, data, aad)
            return struct.pack('>BHH', ctype, ver, len(body)) + body
        plain = data + self.mac(seq, ctype, data)
        if self.rc4:
            body = self.rc4.update(plain)
        else:
            alg, bs = self.block_cipher()
            if self.version >= 0x0302:
                plain = os.urandom(bs) + plain
            pad = bs - 1 - len(plain) % bs
            plain += bytes([pad]) * (pad + 1)
            enc = Cipher(alg, modes.CBC(self.iv)).encryptor()
            body = enc.update(plain) + enc.finalize()
            self.iv = body[-bs:]
        return struct.pack('>BHH', ctype, ver, len(body)) + body

for line in sys.stdin:
    f = line.split()
    if not f:
        continue
    mode, bulk, hname, version, tls13 = f[0], f[1], f[2], int(f[3], 16), f[4] == '1'
    mac_key, key, iv = (bytes.fromhex(x) if x != '-' else b'' for x in f[5:8])
    d = Direction(bulk, hname, version, tls13, mac_key, key, iv)
    items = f[8].split(',') if len(f) > 8 else []
    out = []
    for item in items:
        if mode == 'open':
            try:
                t, p = d.open(bytes.fromhex(item))
                out.append('%d:%s' % (t, p.hex()))
            except Exception:
                out.append('BAD')
        else:
            t, p = item.split(':')
            out.append(d.seal(int(t), bytes.fromhex(p)).hex())
    print(','.join(out))
