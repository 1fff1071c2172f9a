"""A scripted FTP server over explicit TLS (AUTH TLS) for the fault matrix.

Run with /usr/bin/python3 by with-servers. What a session gets wrong is chosen by its
login: the USER name is a list of words joined by '-', each one turning on a behaviour
of FLAGS. Every command line a session receives is written to ROOT/<login>.commands
(rewritten by each session of that login), so a test can assert the exact transcript.
RETR serves the files of ROOT; LIST sends LISTING.
"""
import argparse
import hashlib
import hmac
import os
import re
import socket
import socketserver
import ssl
import struct
import time

from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from OpenSSL import SSL

FLAGS = {
    "late": "active mode: 150 comes before the server connects",
    "intruder": "active mode: a TLS connection from 127.0.0.3 reaches the port first",
    "cut": "the data connection ends without close_notify",
    "half": "only the first half of the data is sent (a listing stops inside a line)",
    "clear": "the data connection stays in clear although PROT P was granted",
    "sized": "150 names the size of the data",
    "size": "SIZE is answered",
    "alert": "after the data, a fatal alert (internal_error) ends the data connection",
    "sealed": "after the data, a fatal alert (internal_error) under the record protection (TLS 1.2)",
    "reneg": "after the data, a request to renegotiate (TLS 1.2); then the data connection ends",
    "pbsz234": "PBSZ is answered 234",
    "prot202": "PROT P is answered 202",
}
# Its half ends inside the second name, so a cut line would still read as an entry.
LISTING = b"".join(b"-rw-r--r--   1 ftp  ftp  %6d Jan 02  2024 %s\r\n" % (size, name)
                   for size, name in ((60, b"readme.txt"), (307200, b"the-second-entry-whose-name-is-long-enough-to-be-cut.bin"),
                                      (11, b"inner.txt")))
TIMEOUT = 10


class Session(socketserver.BaseRequestHandler):
    def handle(self):
        self.conn, self.buf, self.lines, self.record = self.request, b"", [], None
        self.flags, self.port, self.listener, self.offset = set(), None, None, 0
        self.conn.settimeout(TIMEOUT)
        try:
            self.reply("220 Kestrel TLS script server")
            while True:
                line = self.readline()
                if line is None:
                    return
                self.note(line)
                verb, _, arg = line.partition(" ")
                handler = getattr(self, "do_" + verb.upper(), None)
                if handler is None:
                    self.reply("502 Not here.")
                elif handler(arg) is False:
                    return
        except (OSError, ValueError):
            pass
        finally:
            if self.listener:
                self.listener.close()
            self.conn.close()

    def readline(self):
        while b"\n" not in self.buf:
            chunk = self.conn.recv(4096)
            if not chunk:
                return None
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return line.rstrip(b"\r").decode("latin-1")

    def reply(self, text):
        self.conn.sendall(text.encode("latin-1") + b"\r\n")

    def note(self, line):
        self.lines.append(line)
        if self.record:
            with open(self.record, "w") as f:
                f.write("".join(l + "\n" for l in self.lines))

    def do_AUTH(self, arg):
        self.reply("234 Proceed with the handshake.")
        self.conn = self.server.tls.wrap_socket(self.conn, server_side=True)

    def do_USER(self, arg):
        self.flags = set(arg.split("-")) & set(FLAGS)
        if re.fullmatch(r"[a-z0-9-]{1,64}", arg):
            self.record = os.path.join(self.server.root, arg + ".commands")
            self.note(self.lines.pop())
        self.reply("331 Password, please.")

    def do_PASS(self, arg):
        self.reply("230 Logged in.")

    def do_PBSZ(self, arg):
        self.reply("234 PBSZ taken." if "pbsz234" in self.flags else "200 PBSZ=0")

    def do_PROT(self, arg):
        self.reply("202 PROT ignored." if "prot202" in self.flags else "200 Protection level set.")

    def do_SYST(self, arg):
        self.reply("215 UNIX Type: L8")

    def do_FEAT(self, arg):
        self.conn.sendall(b"211-Features:\r\n PBSZ\r\n PROT\r\n SIZE\r\n211 End\r\n")

    def do_PWD(self, arg):
        self.reply('257 "/" is the current directory.')

    def do_TYPE(self, arg):
        self.reply("200 Type set.")

    do_NOOP = do_MODE = do_STRU = do_TYPE

    def do_CWD(self, arg):
        self.reply("250 Directory changed.")

    def do_QUIT(self, arg):
        self.reply("221 Goodbye.")
        return False

    def do_PASV(self, arg):
        if self.listener:
            self.listener.close()
        self.port = None
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(TIMEOUT)
        port = self.listener.getsockname()[1]
        self.reply("227 Entering Passive Mode (127,0,0,1,%d,%d)." % (port >> 8, port & 255))

    def do_PORT(self, arg):
        parts = arg.split(",")
        if len(parts) != 6 or parts[0] != "127":
            self.reply("501 Only loopback.")
            return
        self.port = (".".join(parts[:4]), int(parts[4]) * 256 + int(parts[5]))
        self.reply("200 PORT taken.")

    def do_SIZE(self, arg):
        path = self.path_of(arg)
        if "size" in self.flags and path:
            self.reply("213 %d" % os.path.getsize(path))
        else:
            self.reply("550 No size here.")

    def do_REST(self, arg):
        self.offset = int(arg)
        self.reply("350 Restarting at %d." % self.offset)

    def do_LIST(self, arg):
        self.transfer(LISTING)

    def do_RETR(self, arg):
        path = self.path_of(arg)
        if not path:
            self.offset = 0
            self.reply("550 No such file.")
            return
        with open(path, "rb") as f:
            data = f.read()[self.offset:]
        self.offset = 0
        self.transfer(data)

    def path_of(self, name):
        path = os.path.join(self.server.root, name.lstrip("/"))
        return path if "/" not in name.strip("/") and os.path.isfile(path) else None

    def connect(self):
        if "intruder" in self.flags:
            # A stranger with a good certificate, whom the client must turn away unheard.
            stranger = socket.create_connection(self.port, TIMEOUT, ("127.0.0.3", 0))
            try:
                stranger = self.server.tls.wrap_socket(stranger, server_side=True)
                stranger.sendall(b"not the file")
                stranger.unwrap()
            except (OSError, ValueError):
                pass
            stranger.close()
        return socket.create_connection(self.port, TIMEOUT)

    def tls12_then_record(self, sock, data):
        """TLS 1.2 with AES-GCM, so that a record of our own can follow the data under the
        session's keys: a sealed alert, or a HelloRequest as a real renegotiation sends."""
        sock.settimeout(None)  # pyOpenSSL wants a blocking socket
        tls = SSL.Connection(self.server.tls12, sock)
        tls.set_accept_state()
        tls.do_handshake()
        tls.sendall(data)
        if "reneg" in self.flags:
            tls.renegotiate()
            tls.do_handshake()  # sends the HelloRequest; the client's answer is not awaited
            return
        # The key block of TLS 1.2 (RFC 5246 6.3), the server's write key and salt.
        secret, seed = tls.master_key(), tls.server_random() + tls.client_random()
        block, a = b"", b"key expansion" + seed
        while len(block) < 40:
            a = hmac.new(secret, a, hashlib.sha256).digest()
            block += hmac.new(secret, a + b"key expansion" + seed, hashlib.sha256).digest()
        key, salt = block[16:32], block[36:40]
        # Records so far under these keys: Finished, then the data in 16 KiB pieces.
        sequence = 1 + (len(data) + 16383) // 16384
        nonce = struct.pack(">Q", sequence)
        alert = b"\x02\x50"
        sealed = AESGCM(key).encrypt(salt + nonce, alert, struct.pack(">QBHH", sequence, 21, 0x0303, len(alert)))
        sock.sendall(struct.pack(">BHH", 21, 0x0303, len(nonce) + len(sealed)) + nonce + sealed)

    def transfer(self, data):
        opening = "150 Opening data connection%s." % (" (%d bytes)" % len(data) if "sized" in self.flags else "")
        if "half" in self.flags:
            data = data[:len(data) // 2]
        try:
            if self.port and "late" in self.flags:
                self.reply(opening)
                time.sleep(0.3)  # the client has read the 150 and waits with nothing to accept
                sock = self.connect()
            else:
                sock = self.connect() if self.port else self.listener.accept()[0]
                self.reply(opening)
            sock.settimeout(TIMEOUT)
            if self.flags & {"sealed", "reneg"}:
                self.tls12_then_record(sock, data)
                sock.close()
                self.reply("226 Transfer complete.")
                return
            if "clear" not in self.flags:
                sock = self.server.tls.wrap_socket(sock, server_side=True)
            sock.sendall(data)
            if "alert" in self.flags:
                # Outside the record protection, as a peer whose TLS broke down may send it.
                os.write(sock.fileno(), b"\x15\x03\x03\x00\x02\x02\x50")
            if not self.flags & {"clear", "cut", "alert"}:
                try:
                    sock.unwrap()  # close_notify out; the client need not answer it
                except (OSError, ValueError):
                    pass
            sock.close()
        except (OSError, ValueError) as e:
            self.reply("426 Transfer aborted: %s" % e)
            return
        self.reply("226 Transfer complete.")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--certfile", required=True)
    parser.add_argument("--keyfile", required=True)
    args = parser.parse_args()
    socketserver.ThreadingTCPServer.allow_reuse_address = True
    socketserver.ThreadingTCPServer.daemon_threads = True
    server = socketserver.ThreadingTCPServer(("127.0.0.1", args.port), Session)
    server.root = args.root
    server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.tls.minimum_version = ssl.TLSVersion.TLSv1_2
    server.tls.load_cert_chain(args.certfile, args.keyfile)
    server.tls12 = SSL.Context(SSL.TLS_SERVER_METHOD)
    server.tls12.set_min_proto_version(SSL.TLS1_2_VERSION)
    server.tls12.set_max_proto_version(SSL.TLS1_2_VERSION)
    server.tls12.set_cipher_list(b"ECDHE-RSA-AES128-GCM-SHA256")
    server.tls12.use_certificate_chain_file(args.certfile)
    server.tls12.use_privatekey_file(args.keyfile)
    server.serve_forever()


if __name__ == "__main__":
    main()
