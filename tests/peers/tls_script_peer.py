# One TLS session on 127.0.0.1: the client's certificate checked against `ca` unless "-", the
# request head read first with "read", each piece sent as a record of its own, then close_notify
# ("notify") or a bare TCP close. Port probes that never finish a handshake are skipped.
import socket, ssl, sys

port, chain, key, ca, read, ending = sys.argv[1:7]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(chain, key)
if ca != "-":
    context.load_verify_locations(ca)
    context.verify_mode = ssl.CERT_REQUIRED
listener = socket.create_server(("127.0.0.1", int(port)))
listener.settimeout(30)
while True:
    try:
        tls = context.wrap_socket(listener.accept()[0], server_side=True)
        break
    except (ssl.SSLError, OSError):
        pass
tls.settimeout(10)
head = b""
while read == "read" and b"\r\n\r\n" not in head:
    head += tls.recv(4096) or b"\r\n\r\n"
for piece in sys.argv[7:]:
    tls.sendall(piece.encode().decode("unicode_escape").encode("latin-1"))
try:
    tls.unwrap().close() if ending == "notify" else tls.shutdown(socket.SHUT_RDWR)
except (ssl.SSLError, OSError):
    pass
