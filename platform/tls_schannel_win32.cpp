// TLS through SChannel (SSPI in secur32, certificates in crypt32): system DLLs, so the
// DLL still imports nothing else. SChannel only turns tokens and records into other
// tokens and records; the socket work is ours and never blocks: what cannot go out yet
// waits in `out`, what came in but makes no whole record yet waits in `in`.
#define SECURITY_WIN32
// SCH_CREDENTIALS, the credentials that can offer TLS 1.3.
#define SCHANNEL_USE_BLACKLISTS
#include "platform/tls.h"

#include <windows.h>
#include <subauth.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "util/text.h"

enum {
    TLS_BUFFER_SIZE = 16384 + 2048,  // one whole record with its header and trailer
    PLAIN_SIZE = 16384 + 512,
};

struct TlsClient {
    CredHandle credentials;
    int32_t verify;
    char host[1024];
    HCERTSTORE extra_roots;  // the CA file's certificates; null without one
};

struct TlsConnection {
    TlsClient *client;
    net_socket_t socket;
    CtxtHandle context;
    int32_t has_context;
    int32_t handshake_done;
    int32_t peer_closed;
    int32_t ended_unclean;  // the socket ended without the peer's closing alert
    int32_t failed;         // reads fail once the plaintext before the failure is handed out
    int32_t tls13;          // the handshake settled on TLS 1.3
    int32_t data_connection;
    int32_t wrote;
    SecPkgContext_StreamSizes sizes;
    unsigned char in[TLS_BUFFER_SIZE];
    int in_used;
    unsigned char out[TLS_BUFFER_SIZE];
    int out_start, out_used;
    int out_plain;  // the plaintext count the ciphertext in `out` stands for (tls_write)
    unsigned char plain[PLAIN_SIZE];
    int plain_start, plain_used;
    char reason[TLS_REASON_SIZE];
};

static void set_reason(TlsConnection *connection, const char *text)
{
    if (connection->reason[0] == '\0')
        text_copy(connection->reason, sizeof connection->reason, text);
}

// Reads every certificate of a PEM file into a memory store: null when it has none or
// cannot be read.
static HCERTSTORE load_pem_roots(const char *path)
{
    FILE *file = fopen(path, "rb");
    if (!file)
        return nullptr;
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    fclose(file);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!store)
        return nullptr;
    int added = 0;
    const char *begin_mark = "-----BEGIN CERTIFICATE-----", *end_mark = "-----END CERTIFICATE-----";
    size_t at = 0;
    while ((at = text.find(begin_mark, at)) != std::string::npos) {
        size_t end = text.find(end_mark, at);
        if (end == std::string::npos)
            break;
        end += strlen(end_mark);
        std::string block = text.substr(at, end - at);
        at = end;
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.c_str(), (DWORD)block.size(), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                                  nullptr, nullptr))
            continue;
        std::string der(size, '\0');
        if (!CryptStringToBinaryA(block.c_str(), (DWORD)block.size(), CRYPT_STRING_BASE64HEADER,
                                  (BYTE *)&der[0], &size, nullptr, nullptr))
            continue;
        if (CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, (const BYTE *)der.data(), size,
                                             CERT_STORE_ADD_ALWAYS, nullptr))
            added++;
    }
    if (added == 0) {
        CertCloseStore(store, 0);
        return nullptr;
    }
    return store;
}

// Protocols older than TLS 1.2, whoever offers them.
static const DWORD OLD_PROTOCOLS = SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT |
                                   SP_PROT_TLS1_1_CLIENT;

// TLS 1.2 and 1.3 where the system knows SCH_CREDENTIALS and TLS 1.3; elsewhere the older
// credentials, which offer TLS 1.2 alone. Never anything older: Wine takes SCH_CREDENTIALS
// but not its list of refused protocols (its credentials then offer SSL 3 to TLS 1.2), so
// those credentials are kept only when the system says they offer nothing older. The
// certificate is checked by check_certificate, after the handshake, with the CA file's
// roots too.
static SECURITY_STATUS acquire_credentials(TlsClient *client)
{
    const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TLS_PARAMETERS parameters;
    memset(&parameters, 0, sizeof parameters);
    parameters.grbitDisabledProtocols = (DWORD) ~(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS modern;
    memset(&modern, 0, sizeof modern);
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = flags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    TimeStamp expiry;
    SECURITY_STATUS status = AcquireCredentialsHandleA(nullptr, (SEC_CHAR *)UNISP_NAME_A, SECPKG_CRED_OUTBOUND,
                                                       nullptr, &modern, nullptr, nullptr, &client->credentials,
                                                       &expiry);
    if (status == SEC_E_OK) {
        SecPkgCred_SupportedProtocols offered;
        memset(&offered, 0, sizeof offered);
        if (QueryCredentialsAttributesA(&client->credentials, SECPKG_ATTR_SUPPORTED_PROTOCOLS, &offered) == SEC_E_OK &&
            (offered.grbitProtocol & SP_PROT_TLS1_3_CLIENT) && !(offered.grbitProtocol & OLD_PROTOCOLS))
            return status;
        FreeCredentialsHandle(&client->credentials);
    }
    SCHANNEL_CRED cred;
    memset(&cred, 0, sizeof cred);
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    cred.dwFlags = flags;
    return AcquireCredentialsHandleA(nullptr, (SEC_CHAR *)UNISP_NAME_A, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr,
                                     nullptr, &client->credentials, &expiry);
}

TlsClient *tls_client_create(const TlsClientSettings *settings, char *reason)
{
    text_copy(reason, TLS_REASON_SIZE, "");
    TlsClient *client = new (std::nothrow) TlsClient();
    if (!client) {
        text_copy(reason, TLS_REASON_SIZE, "out of memory");
        return nullptr;
    }
    client->verify = settings->verify;
    if (text_copy(client->host, sizeof client->host, settings->host ? settings->host : "") != 0) {
        delete client;
        text_copy(reason, TLS_REASON_SIZE, "host name too long");
        return nullptr;
    }
    if (client->verify && settings->ca_file && settings->ca_file[0] != '\0') {
        client->extra_roots = load_pem_roots(settings->ca_file);
        if (!client->extra_roots) {
            delete client;
            text_copy(reason, TLS_REASON_SIZE, "the CA file cannot be read");
            return nullptr;
        }
    }
    SECURITY_STATUS status = acquire_credentials(client);
    if (status != SEC_E_OK) {
        if (client->extra_roots)
            CertCloseStore(client->extra_roots, 0);
        delete client;
        text_copy(reason, TLS_REASON_SIZE, "TLS library could not start");
        return nullptr;
    }
    return client;
}

void tls_client_free(TlsClient *client)
{
    if (!client)
        return;
    FreeCredentialsHandle(&client->credentials);
    if (client->extra_roots)
        CertCloseStore(client->extra_roots, 0);
    delete client;
}

TlsConnection *tls_connection_new(TlsClient *client, net_socket_t socket, TlsConnection *resume)
{
    if (!client)
        return nullptr;
    TlsConnection *connection = new (std::nothrow) TlsConnection();
    if (!connection)
        return nullptr;
    connection->client = client;
    connection->socket = socket;
    // SChannel resumes by itself: the same credentials and target name find the session.
    connection->data_connection = resume != nullptr;
    return connection;
}

void tls_connection_set_socket(TlsConnection *connection, net_socket_t socket)
{
    if (connection)
        connection->socket = socket;
}

// Sends what waits in `out`: 0 all gone, TLS_WANT_WRITE, or -1.
static int flush(TlsConnection *connection)
{
    while (connection->out_used > 0) {
        int sent = net_send(connection->socket, connection->out + connection->out_start, connection->out_used);
        if (sent < 0)
            return net_last_error_kind() == NET_ERROR_WOULD_BLOCK ? TLS_WANT_WRITE : -1;
        connection->out_start += sent;
        connection->out_used -= sent;
    }
    connection->out_start = 0;
    return 0;
}

static int queue_out(TlsConnection *connection, const void *bytes, unsigned long length)
{
    if (length > sizeof connection->out - (size_t)(connection->out_start + connection->out_used))
        return -1;
    memcpy(connection->out + connection->out_start + connection->out_used, bytes, length);
    connection->out_used += (int)length;
    return 0;
}

// Takes in what the socket has: 1 some came, 0 the peer closed, TLS_WANT_READ, or -1.
static int fill(TlsConnection *connection)
{
    if (connection->in_used >= (int)sizeof connection->in)
        return -1;
    int got = net_recv(connection->socket, connection->in + connection->in_used,
                       (int)sizeof connection->in - connection->in_used);
    if (got < 0)
        return net_last_error_kind() == NET_ERROR_WOULD_BLOCK ? TLS_WANT_READ : -1;
    if (got == 0)
        return 0;
    connection->in_used += got;
    return 1;
}

// fill during a handshake: 0 when bytes came, else what the handshake step answers (the
// peer's close is a failure with its reason).
static int fill_handshake(TlsConnection *connection)
{
    int got = fill(connection);
    if (got == 0) {
        set_reason(connection, "server closed the connection during the handshake");
        return -1;
    }
    return got < 0 ? got : 0;
}

// Keeps the bytes that the last call did not use (an SECBUFFER_EXTRA) at the front.
static void keep_extra(TlsConnection *connection, const SecBuffer *buffers, int count)
{
    for (int i = 0; i < count; i++) {
        if (buffers[i].BufferType == SECBUFFER_EXTRA && buffers[i].cbBuffer > 0) {
            memmove(connection->in, connection->in + connection->in_used - buffers[i].cbBuffer, buffers[i].cbBuffer);
            connection->in_used = (int)buffers[i].cbBuffer;
            return;
        }
    }
    connection->in_used = 0;
}

static const DWORD REQUEST_FLAGS = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                   ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                   ISC_REQ_MANUAL_CRED_VALIDATION;

// One InitializeSecurityContext over what `in` holds (nothing the first time): the token
// it makes goes to `out`. SEC status as SChannel said.
static SECURITY_STATUS next_token(TlsConnection *connection)
{
    SecBuffer input[2], output[1];
    input[0].BufferType = SECBUFFER_TOKEN;
    input[0].pvBuffer = connection->in;
    input[0].cbBuffer = (unsigned long)connection->in_used;
    input[1].BufferType = SECBUFFER_EMPTY;
    input[1].pvBuffer = nullptr;
    input[1].cbBuffer = 0;
    output[0].BufferType = SECBUFFER_TOKEN;
    output[0].pvBuffer = nullptr;
    output[0].cbBuffer = 0;
    SecBufferDesc input_desc = {SECBUFFER_VERSION, 2, input};
    SecBufferDesc output_desc = {SECBUFFER_VERSION, 1, output};
    DWORD flags = 0;
    TimeStamp expiry;
    SECURITY_STATUS status;
    if (!connection->has_context) {
        status = InitializeSecurityContextA(&connection->client->credentials, nullptr, connection->client->host,
                                            REQUEST_FLAGS, 0, 0, nullptr, 0, &connection->context, &output_desc,
                                            &flags, &expiry);
        if (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)
            connection->has_context = 1;
    } else {
        status = InitializeSecurityContextA(&connection->client->credentials, &connection->context,
                                            connection->client->host, REQUEST_FLAGS, 0, 0, &input_desc, 0, nullptr,
                                            &output_desc, &flags, &expiry);
    }
    if (output[0].pvBuffer && output[0].cbBuffer > 0) {
        if (queue_out(connection, output[0].pvBuffer, output[0].cbBuffer) != 0)
            status = SEC_E_INSUFFICIENT_MEMORY;
    }
    if (output[0].pvBuffer)
        FreeContextBuffer(output[0].pvBuffer);
    if (connection->has_context && status != SEC_E_INCOMPLETE_MESSAGE) {
        if (input[1].BufferType == SECBUFFER_EXTRA)
            keep_extra(connection, input, 2);
        else
            connection->in_used = 0;
    }
    return status;
}

// The certificate's subjectAltName entries, decoded (free with LocalFree), or null when it
// has none or they cannot be read.
static CERT_ALT_NAME_INFO *alt_names(PCCERT_CONTEXT certificate)
{
    PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                                                  certificate->pCertInfo->rgExtension);
    if (!extension)
        return nullptr;
    CERT_ALT_NAME_INFO *names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return nullptr;
    return names;
}

// Whether the host names an IP address that the certificate lists.
static int ip_listed(PCCERT_CONTEXT certificate, const unsigned char *address, int address_size)
{
    CERT_ALT_NAME_INFO *names = alt_names(certificate);
    if (!names)
        return 0;
    int found = 0;
    for (DWORD i = 0; i < names->cAltEntry && !found; i++) {
        const CERT_ALT_NAME_ENTRY &entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == (DWORD)address_size &&
                memcmp(entry.IPAddress.pbData, address, (size_t)address_size) == 0;
    }
    LocalFree(names);
    return found;
}

// Whether the chain reaches one of the CA file's certificates: its root, an intermediate,
// or the server's own certificate pinned there.
static int reaches_ca_file(TlsClient *client, PCCERT_CHAIN_CONTEXT chain)
{
    if (!client->extra_roots || chain->cChain == 0)
        return 0;
    const CERT_SIMPLE_CHAIN *simple = chain->rgpChain[0];
    for (DWORD i = 0; i < simple->cElement; i++) {
        PCCERT_CONTEXT found = CertFindCertificateInStore(client->extra_roots, X509_ASN_ENCODING, 0,
                                                          CERT_FIND_EXISTING, simple->rgpElement[i]->pCertContext,
                                                          nullptr);
        if (found) {
            CertFreeCertificateContext(found);
            return 1;
        }
    }
    return 0;
}

// RFC 6125 rule, which the system's SSL policy follows as well: the CN counts only when
// the certificate has no subjectAltName at all. Checked here too, so the rule holds
// whatever the system's policy does with a certificate that lists only addresses.
static int has_alt_names(PCCERT_CONTEXT certificate)
{
    return CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                             certificate->pCertInfo->rgExtension) != nullptr;
}

// Whether a subjectAltName DNS entry names the host (ASCII, case-blind; a wildcard only as
// the whole leftmost label, never matching a dot).
static int dns_listed(PCCERT_CONTEXT certificate, const char *host)
{
    CERT_ALT_NAME_INFO *names = alt_names(certificate);
    if (!names)
        return 0;
    int found = 0;
    for (DWORD i = 0; i < names->cAltEntry && !found; i++) {
        const CERT_ALT_NAME_ENTRY &entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice != CERT_ALT_NAME_DNS_NAME || !entry.pwszDNSName)
            continue;
        char pattern[256];
        int length = WideCharToMultiByte(CP_ACP, 0, entry.pwszDNSName, -1, pattern, (int)sizeof pattern, nullptr,
                                         nullptr);
        if (length <= 0)
            continue;
        const char *rest = host;
        const char *want = pattern;
        if (want[0] == '*' && want[1] == '.') {
            rest = strchr(host, '.');
            if (!rest || rest == host)
                continue;
            want++;
        }
        found = _stricmp(rest, want) == 0;
    }
    LocalFree(names);
    return found;
}

// The check of the server's certificate: 0, or -1 with the reason set.
static int check_certificate(TlsConnection *connection)
{
    TlsClient *client = connection->client;
    if (!client->verify)
        return 0;
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesA(&connection->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
        !certificate) {
        set_reason(connection, "the server showed no certificate");
        return -1;
    }
    CERT_CHAIN_PARA chain_para;
    memset(&chain_para, 0, sizeof chain_para);
    chain_para.cbSize = sizeof chain_para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, client->extra_roots, &chain_para, 0, nullptr,
                                 &chain)) {
        CertFreeCertificateContext(certificate);
        set_reason(connection, "certificate chain cannot be built");
        return -1;
    }
    unsigned char address[16];
    int address_size = tls_host_address(client->host, address);
    bool literal = address_size > 0;
    wchar_t wide_host[1024];
    MultiByteToWideChar(CP_ACP, 0, client->host, -1, wide_host, 1024);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl_para;
    memset(&ssl_para, 0, sizeof ssl_para);
    ssl_para.cbSize = sizeof ssl_para;
    ssl_para.dwAuthType = AUTHTYPE_SERVER;
    // An address is matched against the certificate's IP addresses below.
    ssl_para.pwszServerName = literal ? nullptr : wide_host;
    CERT_CHAIN_POLICY_PARA policy_para;
    memset(&policy_para, 0, sizeof policy_para);
    policy_para.cbSize = sizeof policy_para;
    policy_para.pvExtraPolicyPara = &ssl_para;
    // A chain that ends at no trusted root is refused here whatever the policy says:
    // Wine's policy check lets a partial or untrusted chain pass.
    const DWORD untrusted = CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_UNTRUSTED_ROOT;
    bool extra_root = reaches_ca_file(client, chain) != 0;
    // A CA file is the whole trust store: a chain that only the system trusts is refused.
    if (((chain->TrustStatus.dwErrorStatus & untrusted) && !extra_root) || (client->extra_roots && !extra_root)) {
        CertFreeCertificateChain(chain);
        CertFreeCertificateContext(certificate);
        set_reason(connection, "certificate issuer is unknown (not trusted)");
        return -1;
    }
    if (extra_root) {
        policy_para.dwFlags = CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG;
        ssl_para.fdwChecks = 0x00000100;  // SECURITY_FLAG_IGNORE_UNKNOWN_CA
    }
    CERT_CHAIN_POLICY_STATUS policy_status;
    memset(&policy_status, 0, sizeof policy_status);
    policy_status.cbSize = sizeof policy_status;
    int result = 0;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy_para, &policy_status)) {
        set_reason(connection, "certificate cannot be checked");
        result = -1;
    } else if (policy_status.dwError != 0 &&
               !(extra_root && ((unsigned long)policy_status.dwError == (unsigned long)CERT_E_UNTRUSTEDROOT ||
                                (unsigned long)policy_status.dwError == (unsigned long)CERT_E_CHAINING))) {
        // (A chain that reaches the CA file counts as trusted even when it stops short of a
        // root: a pinned server certificate.)
        switch ((unsigned long)policy_status.dwError) {
        case (unsigned long)CERT_E_EXPIRED:
            set_reason(connection, "certificate has expired");
            break;
        case (unsigned long)CERT_E_CN_NO_MATCH:
            set_reason(connection, "certificate name does not match the host");
            break;
        case (unsigned long)CERT_E_UNTRUSTEDROOT:
        case (unsigned long)CERT_E_CHAINING:
            set_reason(connection, "certificate issuer is unknown (not trusted)");
            break;
        case (unsigned long)CERT_E_REVOKED:
            set_reason(connection, "certificate was revoked");
            break;
        default:
            text_format(connection->reason, sizeof connection->reason, "certificate refused (0x%08lx)",
                        (unsigned long)policy_status.dwError);
        }
        result = -1;
    } else if (literal ? !ip_listed(certificate, address, address_size)
                       : has_alt_names(certificate) && !dns_listed(certificate, client->host)) {
        set_reason(connection, "certificate name does not match the host");
        result = -1;
    }
    CertFreeCertificateChain(chain);
    CertFreeCertificateContext(certificate);
    return result;
}

int tls_handshake(TlsConnection *connection)
{
    if (!connection)
        return -1;
    if (connection->handshake_done)
        return 0;
    for (;;) {
        int flushed = flush(connection);
        if (flushed != 0)
            return flushed;
        if (!connection->has_context) {
            SECURITY_STATUS status = next_token(connection);
            if (status != SEC_I_CONTINUE_NEEDED) {
                set_reason(connection, "handshake failed: TLS could not start");
                return -1;
            }
            continue;
        }
        if (connection->in_used == 0) {
            int got = fill_handshake(connection);
            if (got != 0)
                return got;
        }
        // A TLS record begins with its content type (20 to 24). Anything else (a plain
        // FTP greeting) is no handshake, however long one waits for the rest of it.
        if (connection->in[0] < 20 || connection->in[0] > 24) {
            set_reason(connection, "handshake failed: the server does not speak TLS");
            return -1;
        }
        SECURITY_STATUS status = next_token(connection);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            int got = fill_handshake(connection);
            if (got != 0)
                return got;
            continue;
        }
        if (status == SEC_I_CONTINUE_NEEDED)
            continue;
        if (status != SEC_E_OK) {
            text_format(connection->reason, sizeof connection->reason, "handshake failed (0x%08lx)",
                        (unsigned long)status);
            return -1;
        }
        flushed = flush(connection);
        if (flushed == -1)
            return -1;
        if (QueryContextAttributesA(&connection->context, SECPKG_ATTR_STREAM_SIZES, &connection->sizes) != SEC_E_OK ||
            check_certificate(connection) != 0) {
            set_reason(connection, "handshake failed");
            return -1;
        }
        // The credentials offer nothing older than TLS 1.2; should a system settle on
        // something older all the same, the connection ends here, before anything is sent.
        SecPkgContext_ConnectionInfo info;
        memset(&info, 0, sizeof info);
        if (QueryContextAttributesA(&connection->context, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK ||
            (info.dwProtocol & OLD_PROTOCOLS)) {
            set_reason(connection, "handshake failed: the server offers only TLS 1.1 or older");
            return -1;
        }
        connection->tls13 = (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0;
        connection->handshake_done = 1;
        // The last token may still wait in `out`: the next write or read sends it first.
        return 0;
    }
}

int tls_handshake_done(TlsConnection *connection)
{
    return connection && connection->handshake_done ? 1 : 0;
}

enum { TLS_ALERT_RECORD = 21 };

static int closed_by_peer(TlsConnection *connection)
{
    connection->peer_closed = 1;
    connection->in_used = 0;
    return 0;
}

// The read fails now, or after the plaintext that came with the failure (produced 1).
static int fail_read(TlsConnection *connection, int produced)
{
    connection->failed = 1;
    connection->in_used = 0;
    return produced ? 1 : -1;
}

static const char *alert_name(unsigned description)
{
    static const struct {
        unsigned code;
        const char *name;
    } names[] = {
        {0, "close_notify"}, {10, "unexpected_message"}, {20, "bad_record_mac"}, {21, "decryption_failed"},
        {22, "record_overflow"}, {30, "decompression_failure"}, {40, "handshake_failure"}, {42, "bad_certificate"},
        {43, "unsupported_certificate"}, {44, "certificate_revoked"}, {45, "certificate_expired"},
        {46, "certificate_unknown"}, {47, "illegal_parameter"}, {48, "unknown_ca"}, {49, "access_denied"},
        {50, "decode_error"}, {51, "decrypt_error"}, {70, "protocol_version"}, {71, "insufficient_security"},
        {80, "internal_error"}, {86, "inappropriate_fallback"}, {90, "user_canceled"}, {100, "no_renegotiation"},
        {109, "missing_extension"}, {110, "unsupported_extension"}, {112, "unrecognized_name"},
        {116, "certificate_required"}, {120, "no_application_protocol"},
    };
    for (const auto &n : names) {
        if (n.code == description)
            return n.name;
    }
    return "unknown alert";
}

// What SChannel makes of a protected alert it refuses: it keeps the alert's own code to
// itself and answers with one of its own.
static const char *refusal_words(SECURITY_STATUS status)
{
    switch ((unsigned long)status) {
    case (unsigned long)SEC_E_INTERNAL_ERROR:
        return "internal error";
    case (unsigned long)SEC_E_ILLEGAL_MESSAGE:
        return "illegal message";
    case (unsigned long)SEC_E_DECRYPT_FAILURE:
        return "decrypt failure";
    case (unsigned long)SEC_E_MESSAGE_ALTERED:
        return "bad record MAC";
    case (unsigned long)SEC_E_UNSUPPORTED_FUNCTION:
        return "unsupported";
    case (unsigned long)SEC_E_CERT_UNKNOWN:
    case (unsigned long)SEC_E_CERT_EXPIRED:
    case (unsigned long)SEC_E_UNTRUSTED_ROOT:
        return "certificate refused";
    default:
        return nullptr;
    }
}

// Wine's SChannel (GnuTLS underneath) reports the server's close_notify as an alert record
// that decrypts to nothing with SEC_E_OK, and every other alert as a failure. Windows
// reports close_notify as SEC_I_CONTEXT_EXPIRED: there, such a record is some other alert.
static bool empty_alert_is_close_notify()
{
    static int wine = -1;
    if (wine < 0) {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        wine = ntdll && GetProcAddress(ntdll, "wine_get_version") ? 1 : 0;
    }
    return wine == 1;
}

// A TLS 1.3 server's messages after the handshake (session tickets, key updates) come out of
// DecryptMessage as SEC_I_RENEGOTIATE and go back in through InitializeSecurityContext,
// whose answer (a key update's) goes out. 0, or -1 with the reason set.
static int take_post_handshake(TlsConnection *connection)
{
    SECURITY_STATUS status = next_token(connection);
    if (status != SEC_E_OK) {
        text_format(connection->reason, sizeof connection->reason,
                    "TLS message after the handshake refused (0x%08lx)", (unsigned long)status);
        return -1;
    }
    return flush(connection) == -1 ? -1 : 0;
}

// Decrypts the records `in` holds into `plain`: 1 some plaintext, 0 the peer closed with
// close_notify, TLS_WANT_READ (a record is still incomplete), -1 (a failure, any other
// alert and a TLS 1.2 renegotiation request included, with its reason).
static int decrypt(TlsConnection *connection)
{
    while (connection->in_used > 0) {
        // An alert whose body is its two bytes alone came unprotected: nobody vouches for
        // it, not even for a close_notify, but its name says why the peer stopped.
        const bool alert = connection->in[0] == TLS_ALERT_RECORD;
        if (alert && connection->in_used >= 7 && connection->in[3] == 0 && connection->in[4] == 2) {
            text_format(connection->reason, sizeof connection->reason, "the server sent a TLS alert in clear: %s",
                        alert_name(connection->in[6]));
            return fail_read(connection, 0);
        }
        SecBuffer buffers[4];
        buffers[0].BufferType = SECBUFFER_DATA;
        buffers[0].pvBuffer = connection->in;
        buffers[0].cbBuffer = (unsigned long)connection->in_used;
        for (int i = 1; i < 4; i++) {
            buffers[i].BufferType = SECBUFFER_EMPTY;
            buffers[i].pvBuffer = nullptr;
            buffers[i].cbBuffer = 0;
        }
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = DecryptMessage(&connection->context, &desc, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            return TLS_WANT_READ;
        if (status == SEC_I_CONTEXT_EXPIRED)
            return closed_by_peer(connection);
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
            const char *words = refusal_words(status);
            if (alert && words)
                text_format(connection->reason, sizeof connection->reason, "the server sent a TLS alert (%s)", words);
            else if (alert)
                text_format(connection->reason, sizeof connection->reason, "the server sent a TLS alert (0x%08lx)",
                            (unsigned long)status);
            else
                set_reason(connection, "connection broken");
            return fail_read(connection, 0);
        }
        int produced = 0;
        for (int i = 0; i < 4; i++) {
            if (buffers[i].BufferType == SECBUFFER_DATA && buffers[i].cbBuffer > 0) {
                if (buffers[i].cbBuffer > sizeof connection->plain)
                    return fail_read(connection, 0);
                memmove(connection->plain, buffers[i].pvBuffer, buffers[i].cbBuffer);
                connection->plain_start = 0;
                connection->plain_used = (int)buffers[i].cbBuffer;
                produced = 1;
            }
        }
        if (status == SEC_I_RENEGOTIATE) {
            // Before TLS 1.3 this is the server asking for a new handshake in mid-stream,
            // which a client need not grant; it is refused, and the transfer fails.
            if (!connection->tls13) {
                set_reason(connection, "the server asked to renegotiate TLS (refused)");
                return fail_read(connection, produced);
            }
            keep_extra(connection, buffers, 4);
            if (take_post_handshake(connection) != 0)
                return fail_read(connection, produced);
            if (produced)
                return 1;
            continue;
        }
        if (!produced && alert) {
            if (empty_alert_is_close_notify())
                return closed_by_peer(connection);
            set_reason(connection, "the server sent a TLS alert other than close_notify");
            return fail_read(connection, 0);
        }
        keep_extra(connection, buffers, 4);
        if (produced)
            return 1;
    }
    return TLS_WANT_READ;
}

int tls_read(TlsConnection *connection, void *buffer, int size)
{
    if (!connection || size <= 0)
        return -1;
    int flushed = flush(connection);
    if (flushed == -1)
        return -1;
    for (;;) {
        if (connection->plain_used > 0) {
            int count = size < connection->plain_used ? size : connection->plain_used;
            memcpy(buffer, connection->plain + connection->plain_start, (size_t)count);
            connection->plain_start += count;
            connection->plain_used -= count;
            return count;
        }
        if (connection->failed)
            return -1;
        if (connection->peer_closed)
            return 0;
        if (connection->ended_unclean)
            return TLS_ENDED_UNCLEAN;
        int decrypted = connection->in_used > 0 ? decrypt(connection) : TLS_WANT_READ;
        if (decrypted == 1)
            continue;
        if (decrypted == 0 || decrypted == -1)
            return decrypted;
        int got = fill(connection);
        if (got == 0) {
            // The server closed without the closing alert: an end that only a size known
            // from elsewhere can tell from a cut.
            connection->ended_unclean = 1;
            set_reason(connection, "the connection ended without TLS's closing alert");
            return TLS_ENDED_UNCLEAN;
        }
        if (got < 0)
            return got;
    }
}

int tls_write(TlsConnection *connection, const void *bytes, int length)
{
    if (!connection || length <= 0)
        return -1;
    // A record made for an earlier call that could not go out yet goes first; the caller
    // repeats that call with the same bytes, so its count is the answer.
    if (connection->out_used > 0) {
        int flushed = flush(connection);
        if (flushed != 0)
            return flushed;
        if (connection->out_plain > 0) {
            int done = connection->out_plain;
            connection->out_plain = 0;
            return done;
        }
    }
    unsigned long chunk = (unsigned long)length;
    if (chunk > connection->sizes.cbMaximumMessage)
        chunk = connection->sizes.cbMaximumMessage;
    unsigned char *header = connection->out;
    unsigned char *data = header + connection->sizes.cbHeader;
    unsigned char *trailer = data + chunk;
    if (connection->sizes.cbHeader + chunk + connection->sizes.cbTrailer > sizeof connection->out)
        return -1;
    memcpy(data, bytes, chunk);
    SecBuffer buffers[4];
    buffers[0] = {connection->sizes.cbHeader, SECBUFFER_STREAM_HEADER, header};
    buffers[1] = {chunk, SECBUFFER_DATA, data};
    buffers[2] = {connection->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, trailer};
    buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&connection->context, 0, &desc, 0) != SEC_E_OK) {
        set_reason(connection, "connection broken");
        return -1;
    }
    connection->out_start = 0;
    connection->out_used = (int)(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    connection->wrote = 1;
    int flushed = flush(connection);
    if (flushed == -1)
        return -1;
    if (flushed == TLS_WANT_WRITE) {
        connection->out_plain = (int)chunk;
        return TLS_WANT_WRITE;
    }
    return (int)chunk;
}

int tls_pending(TlsConnection *connection)
{
    // Records received but not yet decrypted count too: the socket no longer shows them.
    return connection ? connection->plain_used + connection->in_used : 0;
}

const char *tls_reason(TlsConnection *connection)
{
    return connection ? connection->reason : "";
}

int tls_close_begin(TlsConnection *connection)
{
    if (!connection || !connection->handshake_done)
        return 0;
    // Take what already came (without waiting), so the close is no reset.
    char scratch[4096];
    for (int round = 0; round < 64 && !connection->peer_closed && !connection->ended_unclean; round++) {
        if (tls_read(connection, scratch, (int)sizeof scratch) <= 0)
            break;
    }
    flush(connection);
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer token = {sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc token_desc = {SECBUFFER_VERSION, 1, &token};
    if (ApplyControlToken(&connection->context, &token_desc) == SEC_E_OK) {
        connection->in_used = 0;
        next_token(connection);
        flush(connection);
    }
    return connection->data_connection && connection->wrote && !connection->peer_closed && !connection->ended_unclean;
}

void tls_connection_free(TlsConnection *connection, int graceful)
{
    if (!connection)
        return;
    if (graceful)
        tls_close_begin(connection);
    if (connection->has_context)
        DeleteSecurityContext(&connection->context);
    delete connection;
}
