// TLS on top of a connected socket: OpenSSL on Linux, SChannel on Windows. The layer above
// drives every call on a non-blocking socket and does the waiting itself (so a cancel or
// the time limit ends a handshake as it ends any other wait): a call that cannot go on
// without the network answers TLS_WANT_READ or TLS_WANT_WRITE and is repeated once the
// socket is ready.
#pragma once

#include <cstdint>

#include "platform/net.h"

enum {
    TLS_WANT_READ = -2,
    TLS_WANT_WRITE = -3,
    // tls_read: the peer's connection ended without TLS's closing alert. The bytes so far
    // may be all there was, or a cut: only a size known from elsewhere can tell.
    TLS_ENDED_UNCLEAN = -4,
    TLS_REASON_SIZE = 160,
};

// What a client checks about its servers. The CA file (PEM, extra trusted roots) and the
// host name are copied; verify 0 accepts any certificate.
struct TlsClientSettings {
    int32_t verify;
    const char *ca_file;   // "" or null: the system's trust store only
    const char *host;      // a name or a dotted address, matched against the certificate
};

// The address a host stands for when it is written as one (a.b.c.d in plain decimal, or
// an IPv6 address, bracketed or not): 4 or 16 with the bytes in network order in `bytes`
// (at least 16). 0 for a name, which is then checked as a name, whatever the resolver
// makes of it.
int tls_host_address(const char *host, unsigned char *bytes);

struct TlsClient;      // the settings and trust store of one session
struct TlsConnection;  // one protected connection

// Null when TLS cannot be set up (no library, an unreadable CA file); reason (at least
// TLS_REASON_SIZE bytes) says why in plain words.
TlsClient *tls_client_create(const TlsClientSettings *settings, char *reason);
void tls_client_free(TlsClient *client);

// A connection over the socket, which the caller keeps owning (NET_NO_SOCKET: given later
// with tls_connection_set_socket, before the handshake). When `resume` is given (the
// control connection of the same server), its TLS session is taken now and offered again
// in the handshake, as servers demand of FTP data connections. Null on no memory.
TlsConnection *tls_connection_new(TlsClient *client, net_socket_t socket, TlsConnection *resume);
void tls_connection_set_socket(TlsConnection *connection, net_socket_t socket);
// Starts an orderly end: reads what already came (without waiting) and sends the closing
// alert. 1 when the caller should then read until the peer's end before it closes the
// socket: a data connection that sent data (an upload), whose server would otherwise
// meet a reset and may drop the upload's last bytes. 0 otherwise.
int tls_close_begin(TlsConnection *connection);
// Releases the connection; when `graceful`, tls_close_begin first (nothing awaited).
void tls_connection_free(TlsConnection *connection, int graceful);

// One step of the handshake: 0 done, TLS_WANT_READ / TLS_WANT_WRITE, or -1 failed (the
// certificate check included: tls_reason then says why).
int tls_handshake(TlsConnection *connection);
// 1 once the handshake has ended well.
int tls_handshake_done(TlsConnection *connection);
// Count read (0: the peer closed with TLS's closing alert; TLS_ENDED_UNCLEAN: the
// connection ended without it), count written, TLS_WANT_*, or -1.
int tls_read(TlsConnection *connection, void *buffer, int size);
int tls_write(TlsConnection *connection, const void *bytes, int length);
// More than 0 when bytes came off the socket that a read has still to hand out (decrypted,
// or records still to be decrypted): a socket wait would not see them.
int tls_pending(TlsConnection *connection);
// Why the last call failed, in plain words ("certificate has expired", ...); "" when
// nothing failed.
const char *tls_reason(TlsConnection *connection);
