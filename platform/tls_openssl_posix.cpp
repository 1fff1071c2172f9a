// TLS through OpenSSL. The record layer reaches the socket through a BIO of our own that
// calls net_send and net_recv, so a closed peer never raises SIGPIPE and the send-fault
// seam of the tests sees TLS traffic as it sees plain traffic.
#include "platform/tls.h"

#include <cstring>
#include <new>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "util/text.h"

struct TlsClient {
    SSL_CTX *context;
    int32_t verify;
    char host[1024];
    // The newest TLS session the server handed out on any connection of this client. A
    // data connection resumes it: with TLS 1.3 a server may take each ticket only once,
    // and sends a fresh one on every connection that resumed.
    SSL_SESSION *latest;
};

struct TlsConnection {
    SSL *ssl;
    int32_t handshake_done;
    int32_t data_connection;  // made to resume another: an FTP data connection
    int32_t wrote;            // application bytes went out
    int32_t peer_closed;      // the peer's end was read
    net_socket_t socket;
    int32_t socket_ended;     // the socket under TLS met its end (with or without an alert)
    char reason[TLS_REASON_SIZE];
};

static int bio_write(BIO *bio, const char *bytes, int length)
{
    TlsConnection *connection = (TlsConnection *)BIO_get_data(bio);
    BIO_clear_retry_flags(bio);
    int sent = net_send(connection->socket, bytes, length);
    if (sent < 0 && net_last_error_kind() == NET_ERROR_WOULD_BLOCK)
        BIO_set_retry_write(bio);
    return sent;
}

static int bio_read(BIO *bio, char *buffer, int size)
{
    TlsConnection *connection = (TlsConnection *)BIO_get_data(bio);
    BIO_clear_retry_flags(bio);
    int got = net_recv(connection->socket, buffer, size);
    if (got < 0 && net_last_error_kind() == NET_ERROR_WOULD_BLOCK)
        BIO_set_retry_read(bio);
    if (got == 0)
        connection->socket_ended = 1;
    return got;
}

static long bio_control(BIO *, int command, long, void *)
{
    // The record layer asks to flush after every write: nothing is buffered here.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

static int bio_create(BIO *bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

// Made once; OpenSSL keeps its own lock around the first use of a method.
static BIO_METHOD *socket_method(void)
{
    static BIO_METHOD *method = [] {
        BIO_METHOD *made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kestrel socket");
        if (made) {
            BIO_meth_set_write(made, bio_write);
            BIO_meth_set_read(made, bio_read);
            BIO_meth_set_ctrl(made, bio_control);
            BIO_meth_set_create(made, bio_create);
        }
        return made;
    }();
    return method;
}

static int keep_session(SSL *ssl, SSL_SESSION *session)
{
    TlsClient *client = (TlsClient *)SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl));
    if (!client)
        return 0;
    SSL_SESSION_free(client->latest);
    client->latest = session;
    return 1;  // the reference is ours now
}

// RFC 6125: the subject's CN names the server only when the certificate has no
// subjectAltName at all. OpenSSL on its own falls back to the CN whenever no DNS name is
// listed, so a certificate for an address alone would match any name in its CN.
static int verify_chain(X509_STORE_CTX *store, void *)
{
    X509 *leaf = X509_STORE_CTX_get0_cert(store);
    if (leaf && X509_get_ext_by_NID(leaf, NID_subject_alt_name, -1) >= 0) {
        X509_VERIFY_PARAM *param = X509_STORE_CTX_get0_param(store);
        X509_VERIFY_PARAM_set_hostflags(param, X509_VERIFY_PARAM_get_hostflags(param) |
                                                   X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    }
    return X509_verify_cert(store);
}

TlsClient *tls_client_create(const TlsClientSettings *settings, char *reason)
{
    text_copy(reason, TLS_REASON_SIZE, "");
    TlsClient *client = new (std::nothrow) TlsClient();
    if (!client || !socket_method()) {
        delete client;
        text_copy(reason, TLS_REASON_SIZE, "out of memory");
        return nullptr;
    }
    client->verify = settings->verify;
    if (text_copy(client->host, sizeof client->host, settings->host ? settings->host : "") != 0) {
        delete client;
        text_copy(reason, TLS_REASON_SIZE, "host name too long");
        return nullptr;
    }
    ERR_clear_error();
    client->context = SSL_CTX_new(TLS_client_method());
    if (!client->context) {
        delete client;
        text_copy(reason, TLS_REASON_SIZE, "TLS library could not start");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(client->context, TLS1_2_VERSION);
    // Records are read as many as the socket holds at once, not header and body apart:
    // half the receives, and a bulk download is one receive per 256 KiB.
    SSL_CTX_set_read_ahead(client->context, 1);
    SSL_CTX_set_default_read_buffer_len(client->context, 256 * 1024);
    // An end without the closing alert is told apart from one with it (tls_read), not
    // taken for either: whether all bytes came is for the transfer's known size to say.
    // Keep the sessions the server hands out, so data connections can resume them.
    SSL_CTX_set_app_data(client->context, client);
    SSL_CTX_set_session_cache_mode(client->context, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(client->context, keep_session);
    if (client->verify) {
        SSL_CTX_set_verify(client->context, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_cert_verify_callback(client->context, verify_chain, nullptr);
        if (settings->ca_file && settings->ca_file[0] != '\0') {
            // The CA file is the whole trust store: the user means to trust only it (one
            // CA, or the server's own certificate pinned, which partial chains allow).
            if (SSL_CTX_load_verify_locations(client->context, settings->ca_file, nullptr) != 1) {
                tls_client_free(client);
                text_copy(reason, TLS_REASON_SIZE, "the CA file cannot be read");
                return nullptr;
            }
            X509_STORE_set_flags(SSL_CTX_get_cert_store(client->context), X509_V_FLAG_PARTIAL_CHAIN);
        } else {
            SSL_CTX_set_default_verify_paths(client->context);
        }
    } else {
        SSL_CTX_set_verify(client->context, SSL_VERIFY_NONE, nullptr);
    }
    return client;
}

void tls_client_free(TlsClient *client)
{
    if (!client)
        return;
    SSL_CTX_free(client->context);
    SSL_SESSION_free(client->latest);
    delete client;
}

TlsConnection *tls_connection_new(TlsClient *client, net_socket_t socket, TlsConnection *resume)
{
    if (!client)
        return nullptr;
    TlsConnection *connection = new (std::nothrow) TlsConnection();
    if (!connection)
        return nullptr;
    ERR_clear_error();
    connection->ssl = SSL_new(client->context);
    BIO *bio = BIO_new(socket_method());
    if (!connection->ssl || !bio) {
        BIO_free(bio);
        SSL_free(connection->ssl);
        delete connection;
        return nullptr;
    }
    connection->socket = socket;
    BIO_set_data(bio, connection);
    SSL_set_bio(connection->ssl, bio, bio);
    SSL_set_connect_state(connection->ssl);
    unsigned char address[16];
    int address_size = tls_host_address(client->host, address);
    int named = 1;
    if (address_size == 0 && client->host[0] != '\0')
        named = SSL_set_tlsext_host_name(connection->ssl, client->host) == 1;
    if (client->verify) {
        // A check that could not be set up would leave the certificate unchecked for its
        // name: the connection is refused instead.
        X509_VERIFY_PARAM *param = SSL_get0_param(connection->ssl);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (address_size > 0)
            named = X509_VERIFY_PARAM_set1_ip(param, address, (size_t)address_size) == 1;
        else
            named = named && client->host[0] != '\0' && X509_VERIFY_PARAM_set1_host(param, client->host, 0) == 1;
    }
    if (!named) {
        SSL_free(connection->ssl);
        delete connection;
        return nullptr;
    }
    connection->data_connection = resume != nullptr;
    if (resume && resume->ssl) {
        SSL_SESSION *session = client->latest ? client->latest : SSL_get_session(resume->ssl);
        if (session)
            SSL_set_session(connection->ssl, session);
    }
    return connection;
}

void tls_connection_set_socket(TlsConnection *connection, net_socket_t socket)
{
    if (connection)
        connection->socket = socket;
}

// What the server sent and nobody read (a session ticket during an upload) would make
// the close a reset, which can drop the end of an upload at the server: take it first (it
// may be the ticket the next connection needs), then send the closing alert.
int tls_close_begin(TlsConnection *connection)
{
    if (!connection || !connection->handshake_done)
        return 0;
    char scratch[4096];
    for (int round = 0; round < 64 && !connection->peer_closed; round++) {
        ERR_clear_error();
        int got = SSL_read(connection->ssl, scratch, (int)sizeof scratch);
        if (got == 0 || (got < 0 && SSL_get_error(connection->ssl, got) == SSL_ERROR_ZERO_RETURN))
            connection->peer_closed = 1;
        if (got <= 0)
            break;
    }
    ERR_clear_error();
    SSL_shutdown(connection->ssl);
    return connection->data_connection && connection->wrote && !connection->peer_closed && !connection->socket_ended;
}

void tls_connection_free(TlsConnection *connection, int graceful)
{
    if (!connection)
        return;
    if (graceful)
        tls_close_begin(connection);
    SSL_free(connection->ssl);
    delete connection;
}

// Plain words for a certificate the check refused.
static const char *verify_words(long result)
{
    switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "certificate is not valid yet";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "certificate name does not match the host";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return "certificate issuer is unknown (not trusted)";
    case X509_V_ERR_CERT_REVOKED:
        return "certificate was revoked";
    default:
        return nullptr;
    }
}

// What the last call's failure means: -1 with the reason set, or a TLS_WANT_*.
static int failure(TlsConnection *connection, int result)
{
    int error = SSL_get_error(connection->ssl, result);
    if (error == SSL_ERROR_WANT_READ)
        return TLS_WANT_READ;
    if (error == SSL_ERROR_WANT_WRITE)
        return TLS_WANT_WRITE;
    long verified = SSL_get_verify_result(connection->ssl);
    const char *words = !connection->handshake_done && verified != X509_V_OK ? verify_words(verified) : nullptr;
    if (words) {
        text_copy(connection->reason, sizeof connection->reason, words);
    } else if (!connection->handshake_done && verified != X509_V_OK) {
        text_format(connection->reason, sizeof connection->reason, "certificate refused: %s",
                    X509_verify_cert_error_string(verified));
    } else if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN || connection->socket_ended) {
        text_copy(connection->reason, sizeof connection->reason,
                  connection->handshake_done ? "connection broken" : "server closed the connection during the handshake");
    } else {
        unsigned long code = ERR_peek_last_error();
        const char *why = code ? ERR_reason_error_string(code) : nullptr;
        text_format(connection->reason, sizeof connection->reason, "%s: %s",
                    connection->handshake_done ? "broken off" : "handshake failed", why ? why : "protocol error");
    }
    return -1;
}

int tls_handshake(TlsConnection *connection)
{
    if (!connection)
        return -1;
    if (connection->handshake_done)
        return 0;
    ERR_clear_error();
    int result = SSL_do_handshake(connection->ssl);
    if (result == 1) {
        connection->handshake_done = 1;
        return 0;
    }
    return failure(connection, result);
}

int tls_handshake_done(TlsConnection *connection)
{
    return connection && connection->handshake_done ? 1 : 0;
}

int tls_read(TlsConnection *connection, void *buffer, int size)
{
    if (!connection || size <= 0)
        return -1;
    ERR_clear_error();
    int got = SSL_read(connection->ssl, buffer, size);
    if (got > 0)
        return got;
    int error = SSL_get_error(connection->ssl, got);
    if (error == SSL_ERROR_ZERO_RETURN) {
        connection->peer_closed = 1;
        return 0;
    }
    if (connection->socket_ended && connection->handshake_done && error != SSL_ERROR_WANT_READ &&
        error != SSL_ERROR_WANT_WRITE) {
        text_copy(connection->reason, sizeof connection->reason, "the connection ended without TLS's closing alert");
        return TLS_ENDED_UNCLEAN;
    }
    return failure(connection, got);
}

int tls_write(TlsConnection *connection, const void *bytes, int length)
{
    if (!connection || length <= 0)
        return -1;
    ERR_clear_error();
    int sent = SSL_write(connection->ssl, bytes, length);
    if (sent > 0)
        connection->wrote = 1;
    return sent > 0 ? sent : failure(connection, sent);
}

int tls_pending(TlsConnection *connection)
{
    if (!connection)
        return 0;
    // With read-ahead, records taken off the socket but not yet decrypted count too: the
    // socket no longer shows them.
    int decrypted = SSL_pending(connection->ssl);
    return decrypted > 0 ? decrypted : SSL_has_pending(connection->ssl);
}

const char *tls_reason(TlsConnection *connection)
{
    return connection ? connection->reason : "";
}
