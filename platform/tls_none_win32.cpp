// The Windows build has no TLS backend yet: every ftpes:// and ftps:// open fails before
// anything is sent, with a report line that says so, rather than talking in clear.
#include "platform/tls.h"

#include "util/text.h"

TlsClient *tls_client_create(const TlsClientSettings *, char *reason)
{
    text_copy(reason, TLS_REASON_SIZE, "TLS is not available in this build of Kestrel");
    return nullptr;
}

void tls_client_free(TlsClient *)
{
}

TlsConnection *tls_connection_new(TlsClient *, net_socket_t, TlsConnection *)
{
    return nullptr;
}

void tls_connection_set_socket(TlsConnection *, net_socket_t)
{
}

int tls_close_begin(TlsConnection *)
{
    return 0;
}

void tls_connection_free(TlsConnection *, int)
{
}

int tls_handshake(TlsConnection *)
{
    return -1;
}

int tls_handshake_done(TlsConnection *)
{
    return 0;
}

int tls_read(TlsConnection *, void *, int)
{
    return -1;
}

int tls_write(TlsConnection *, const void *, int)
{
    return -1;
}

int tls_pending(TlsConnection *)
{
    return 0;
}

const char *tls_reason(TlsConnection *)
{
    return "TLS is not available in this build of Kestrel";
}
