// The data connection of a transfer or listing: prepared before the command, completed
// after it in active mode, closed by the operation that needed it.
#include <cctype>
#include <cstring>

#include "session/session.h"
#include "util/text.h"

// Reads the six numbers h1,h2,h3,h4,p1,p2 that follow the first '(' of a 227 reply line.
// Each must be there and lie between 0 and 255: a connection is never built from numbers
// the server did not send, nor from ones that name no address or port.
static int parse_host_port(const char *line, unsigned char address[4], int *port)
{
    const char *p = strchr(line, '(');
    if (!p)
        return -1;
    p++;
    int numbers[6];
    for (int i = 0; i < 6; i++) {
        if (i > 0) {
            if (*p != ',')
                return -1;
            p++;
        }
        while (*p == ' ' || *p == '\t')
            p++;
        if (*p == '+')
            p++;
        if (!isdigit((unsigned char)*p))
            return -1;
        int value = 0;
        while (isdigit((unsigned char)*p)) {
            value = value * 10 + (*p - '0');
            if (value > 255)
                return -1;
            p++;
        }
        numbers[i] = value;
    }
    for (int i = 0; i < 4; i++)
        address[i] = (unsigned char)numbers[i];
    *port = numbers[4] * 256 + numbers[5];
    return 0;
}

// On a TLS session the data connection is protected as well, resuming the control
// connection's TLS session (servers refuse data connections that do not). The handshake
// itself waits for the first read or send: the server starts it after the command.
static int protect_data(FtpSession *session)
{
    if (session->tls_mode == SESSION_TLS_NONE)
        return 0;
    if (stream_start_tls(session->data, session->tls_client, session->control) == 0)
        return 0;
    session_close_data(session);
    return -1;
}

static int open_fail(FtpSession *session)
{
    session_close_data(session);
    return -1;
}

// PASV: 0 with `data` connected, -1 on failure; *refused is set for a 5xx reply.
static int open_passive(FtpSession *session, int *refused)
{
    int reply = session_command(session, "PASV\r\n");
    if (reply != 227) {
        *refused = reply / 100 == 5;
        return -1;
    }
    unsigned char announced[4];
    int port = 0;
    if (parse_host_port(session->reply, announced, &port) != 0)
        return -1;
    // Only the port is taken: the data connection goes where the control connection
    // goes. A 227 naming another address would let the server aim our connections at
    // any host, and a server behind NAT announces an address we cannot reach.
    uint32_t address = session->server_address;
    session->passive_port = port;
    char dotted[16];
    format_ipv4(address, dotted);
    session->data = stream_connect(address, port, &session->limits);
    char event[48];
    text_format(event, sizeof event, "connect %s:%d %s", dotted, port, session->data ? "made" : "failed");
    session_trace(session, '=', event);
    if (!session->data)
        return -1;
    stream_set_nonblocking(session->data);
    return 0;
}

// PORT: listens where the control connection ends on this side, which is the address the
// server reaches us at and the one PORT announces (the machine's own name may resolve
// to an address the server cannot reach).
static int open_active(FtpSession *session)
{
    session->port_listen_port = SESSION_ACTIVE_PORT;
    session->port_address = session->local_address;
    session->data = stream_listen(session->port_address, (int)session->port_listen_port);
    if (!session->data) {
        // Another program (or another handle still waiting for its server) holds the
        // usual port: any free one does, as PORT announces whichever it is.
        session->data = stream_listen(session->port_address, 0);
        session->port_listen_port = session->data ? stream_local_port(session->data) : 0;
        if (session->data && session->port_listen_port == 0) {
            stream_close(session->data);
            session->data = nullptr;
        }
    }
    if (!session->data) {
        failure_note(&session->failure, FAILURE_UNREACHABLE, "no port to listen on for the data connection");
        return -1;
    }
    stream_set_limits(session->data, &session->limits);
    unsigned char b[4];
    memcpy(b, &session->port_address, 4);
    int reply = session_command(session, "PORT %u,%u,%u,%u,%u,%u\r\n", b[0], b[1], b[2],
                                b[3], (unsigned)(session->port_listen_port >> 8),
                                (unsigned)(session->port_listen_port & 0xff));
    return reply == 200 ? 0 : -1;
}

int session_open_data(FtpSession *session)
{
    if (!session)
        return -1;
    session_close_data(session);
    if (!session->control)
        return -1;
    if (session->data_mode != DATA_MODE_ACTIVE) {
        int refused = 0;
        if (open_passive(session, &refused) == 0)
            return protect_data(session);
        session_close_data(session);
        if (!(refused && session->data_mode == DATA_MODE_AUTO))
            return -1;
        session->data_mode = DATA_MODE_ACTIVE;
    }
    if (open_active(session) != 0)
        return open_fail(session);
    return protect_data(session);
}

int session_accept_data(FtpSession *session)
{
    if (!session || !session->data)
        return -1;
    SocketStream *data = session->data;
    if (data->listen_socket == NET_NO_SOCKET || data->connected_socket != NET_NO_SOCKET)
        return 0;
    int ready = stream_wait_accept(data, session->control);
    if (ready < 0)
        return -1;
    if (ready == 2)
        return 0;
    if (stream_accept(data) == NET_NO_SOCKET)
        return -1;
    stream_set_nonblocking(data);
    return 0;
}

int session_close_data(FtpSession *session)
{
    if (!session)
        return -1;
    if (session->data) {
        stream_close(session->data);
        session->data = nullptr;
    }
    return 0;
}
