"""pyftpdlib peer for tests/servers/with-servers.

Run with /usr/bin/python3 (Debian's python3-pyftpdlib lives there only).
with-servers starts this already switched to the test user, so files the test
user uploads end up owned by that user as they would on the real daemons.
"""
import argparse
import logging
import os

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import ActiveDTP, FTPHandler
from pyftpdlib.servers import FTPServer


class HandedOverActiveDTP(ActiveDTP):
    """An active-mode connector that forgets its socket once the data channel owns it.

    pyftpdlib 1.5.7 keeps the connector after handing its socket over and closes it again
    at the session's next PORT or PASV. That close takes the connector's old descriptor
    number out of the shared IO loop, and by then the number may belong to another
    session's passive listener: the listener never accepts, the client's data connection
    waits in its backlog until "421 Passive data channel timed out.", and the transfer
    queued for it is kept and sent ahead of the next one on that control connection.
    Seen with two test programs at once, one in active mode and one passive.
    """

    def handle_connect(self):
        ActiveDTP.handle_connect(self)
        self._fileno = None


# The login of the TLS server whose PROT P is refused, for the client's refusal case.
NO_PROT_USER = "noprot"


def tls_handler(implicit):
    """FTP over TLS only: from the first byte (ftps://, the handshake before the
    greeting) or after AUTH TLS (ftpes://)."""
    from pyftpdlib.handlers import TLS_FTPHandler

    class Tls(TLS_FTPHandler):
        tls_control_required = True
        tls_data_required = True

        def handle(self):
            if implicit:
                self.secure_connection(self.ssl_context)
            TLS_FTPHandler.handle(self)

        def ftp_AUTH(self, line):
            if implicit:
                self.respond("503 Already using TLS.")
            else:
                TLS_FTPHandler.ftp_AUTH(self, line)

        def ftp_PROT(self, line):
            if self.username == NO_PROT_USER:
                self.respond("536 Protection level refused for this login.")
            else:
                TLS_FTPHandler.ftp_PROT(self, line)

    return Tls


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", default="127.0.0.1")  # 127.0.0.1 or ::1, nothing else
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--pasv-low", type=int, required=True)
    ap.add_argument("--pasv-high", type=int, required=True)
    ap.add_argument("--anon-root", required=True)
    ap.add_argument("--user", required=True)
    ap.add_argument("--password", required=True)
    ap.add_argument("--home", required=True)
    ap.add_argument("--implicit-tls", action="store_true")
    ap.add_argument("--explicit-tls", action="store_true")
    ap.add_argument("--certfile")
    ap.add_argument("--keyfile")
    args = ap.parse_args()

    # KESTREL_FTP_DEBUG=1 logs every command and reply of every control connection.
    debug = os.environ.get("KESTREL_FTP_DEBUG") == "1"
    logging.basicConfig(level=logging.DEBUG if debug else logging.INFO,
                        format="%(asctime)s %(message)s")

    auth = DummyAuthorizer()
    # e=CWD l=LIST r=RETR a=APPE d=DELE f=RNFR/RNTO m=MKD w=STOR M=SITE CHMOD T=MFMT
    auth.add_user(args.user, args.password, args.home, perm="elradfmwMT")
    auth.add_anonymous(args.anon_root, perm="elr")

    handler = FTPHandler
    if args.implicit_tls or args.explicit_tls:
        auth.add_user(NO_PROT_USER, args.password, args.home, perm="elr")
        handler = tls_handler(args.implicit_tls)
        handler.certfile = args.certfile
        handler.keyfile = args.keyfile
    handler.active_dtp = HandedOverActiveDTP
    handler.authorizer = auth
    handler.banner = "pyftpdlib ready."
    handler.passive_ports = range(args.pasv_low, args.pasv_high + 1)
    if ":" not in args.host:
        handler.masquerade_address = args.host

    server = FTPServer((args.host, args.port), handler)
    server.serve_forever()


if __name__ == "__main__":
    main()
