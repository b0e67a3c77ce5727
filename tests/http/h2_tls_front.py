# A TLS server that chooses h2 by ALPN and relays each connection's plaintext to a plain TCP
# port, so a scripted HTTP/2 peer can be reached over TLS. One thread, non-blocking sockets:
# a side that stops reading stops the relay from reading the other side (bounded buffers).
#   h2_tls_front.py CERT_CHAIN KEY PORT BACKEND_PORT
import select
import socket
import ssl
import sys

BOUND = 262144

cert, key, port, backend = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(cert, key)
ctx.set_alpn_protocols(["h2"])
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
listener.listen(8)
listener.setblocking(False)


class Relay:
    def __init__(self, raw):
        raw.setblocking(False)
        self.raw = raw
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = ctx.wrap_bio(self.incoming, self.outgoing, server_side=True)
        self.up = None            # the backend connection, once the handshake is done
        self.to_client = b""      # TLS bytes for the client
        self.to_backend = b""     # plaintext for the backend
        self.plain_out = b""      # plaintext from the backend not yet encrypted
        self.done = False

    def step_tls(self):
        try:
            if self.up is None:
                self.tls.do_handshake()
                self.up = socket.create_connection(("127.0.0.1", backend))
                self.up.setblocking(False)
            while len(self.to_backend) < BOUND:
                data = self.tls.read(65536)
                if not data:
                    self.done = True
                    break
                self.to_backend += data
        except (ssl.SSLWantReadError, ssl.SSLWantWriteError):
            pass
        except (ssl.SSLError, OSError):
            self.done = True
        if self.up is not None and self.plain_out:
            self.tls.write(self.plain_out)
            self.plain_out = b""
        self.to_client += self.outgoing.read()

    def close(self):
        for s in (self.raw, self.up):
            if s is not None:
                s.close()


relays = []
while True:
    rl, wl = [listener], []
    for r in relays:
        if len(r.to_backend) < BOUND:
            rl.append(r.raw)
        if r.up is not None and len(r.to_client) < BOUND:
            rl.append(r.up)
        if r.to_client:
            wl.append(r.raw)
        if r.to_backend and r.up is not None:
            wl.append(r.up)
    readable, writable, _ = select.select(rl, wl, [], 1.0)
    if listener in readable:
        try:
            relays.append(Relay(listener.accept()[0]))
        except OSError:
            pass
    for r in relays:
        try:
            if r.raw in readable:
                data = r.raw.recv(65536)
                if data:
                    r.incoming.write(data)
                else:
                    r.done = True
            if r.up is not None and r.up in readable:
                data = r.up.recv(65536)
                if data:
                    r.plain_out += data
                else:
                    r.done = True
            r.step_tls()
            if r.raw in writable and r.to_client:
                r.to_client = r.to_client[r.raw.send(r.to_client):]
            if r.up is not None and r.up in writable and r.to_backend:
                r.to_backend = r.to_backend[r.up.send(r.to_backend):]
        except BlockingIOError:
            pass
        except OSError:
            r.done = True
    for r in [r for r in relays if r.done and not r.to_client]:
        r.close()
        relays.remove(r)
