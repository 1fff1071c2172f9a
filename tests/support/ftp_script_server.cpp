#include "tests/support/ftp_script_server.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif
#include "tests/support/test_waits.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const int SLICE_MS = 50;                // how often every wait looks at the stop flag
const int DATA_ACCEPT_LIMIT_MS = 10000; // a passive client that never connects
const size_t COMMAND_LIMIT = 65536;     // a line longer than this is cut and reported

uint32_t address_of(unsigned a, unsigned b, unsigned c, unsigned d)
{
    unsigned char bytes[4] = {(unsigned char)a, (unsigned char)b, (unsigned char)c, (unsigned char)d};
    uint32_t address;
    memcpy(&address, bytes, 4);
    return address;
}

std::string argument_of(const std::string &command)
{
    size_t space = command.find(' ');
    return space == std::string::npos ? std::string() : command.substr(space + 1);
}

std::string verb_of(const std::string &command)
{
    std::string verb = command.substr(0, command.find(' '));
    for (char &c : verb) {
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    }
    return verb;
}

bool starts_with(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

FtpScriptServer::FtpScriptServer()
{
    greeting_.reply = {"220 Kestrel test server ready"};
}

FtpScriptServer::~FtpScriptServer()
{
    stop();
}

FtpScriptStep &FtpScriptServer::greeting()
{
    return greeting_;
}

FtpScriptStep &FtpScriptServer::expect(const std::string &prefix, std::vector<std::string> reply)
{
    steps_.emplace_back();
    steps_.back().expect = prefix;
    steps_.back().reply = std::move(reply);
    return steps_.back();
}

FtpScriptStep &FtpScriptServer::expect_pasv()
{
    return expect("PASV", {"227 Entering Passive Mode ({pasv})"});
}

FtpScriptStep &FtpScriptServer::expect_port()
{
    return expect("PORT", {"200 PORT command successful"});
}

FtpScriptStep &FtpScriptServer::expect_epsv()
{
    return expect("EPSV", {"229 Entering Extended Passive Mode (|||{epsv}|)"});
}

FtpScriptStep &FtpScriptServer::expect_eprt()
{
    return expect("EPRT", {"200 EPRT command successful"});
}

NetAddress FtpScriptServer::loopback() const
{
    NetAddress address = net_address_ipv4(address_of(127, 0, 0, 1));
    if (ipv6_)
        net_parse_address("::1", &address);
    return address;
}

void FtpScriptServer::set_auto_answer(bool on)
{
    auto_answer_ = on;
}

void FtpScriptServer::add_file(const std::string &name, const std::string &bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    files_[name] = bytes;
}

void FtpScriptServer::set_listing_of(const std::string &argument, const std::string &text)
{
    listings_[argument] = text;
}

void FtpScriptServer::set_listing(const std::string &text)
{
    listing_ = text;
}

void FtpScriptServer::set_passive_announce(const std::string &numbers, uint16_t port)
{
    passive_announce_ = numbers;
    passive_port_ = port;
}

void FtpScriptServer::set_connections(int count)
{
    max_connections_ = count;
}

bool FtpScriptServer::start()
{
    if (thread_.joinable())
        return false;
    net_startup();
    listener_ = net_socket_tcp(ipv6_ ? NET_IPV6 : NET_IPV4);
    if (listener_ == NET_NO_SOCKET)
        return false;
    NetAddress address;
    if (net_bind(listener_, loopback(), 0) != 0 || net_listen(listener_, 5) != 0 ||
        net_local_name(listener_, &address, &port_) != 0) {
        net_close(listener_);
        listener_ = NET_NO_SOCKET;
        return false;
    }
    net_set_nonblocking(listener_, 1);
    stopping_ = false;
    finished_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void FtpScriptServer::stop()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listener_ != NET_NO_SOCKET) {
        net_close(listener_);
        listener_ = NET_NO_SOCKET;
    }
    close_data_sockets();
}

std::vector<std::string> FtpScriptServer::commands() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<std::string> FtpScriptServer::errors() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
}

std::vector<FtpScriptUpload> FtpScriptServer::uploads() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return uploads_;
}

size_t FtpScriptServer::pending_steps() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return steps_.size() - next_step_;
}

bool FtpScriptServer::wait_for_commands(size_t count, int timeout_ms) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return commands_.size() >= count; });
}

bool FtpScriptServer::wait_for_connection(int timeout_ms) const
{
    for (int waited = 0; connections_.load() == 0; waited += 10) {
        if (waited >= timeout_ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool FtpScriptServer::wait_finished(int timeout_ms) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return finished_.load(); });
}

void FtpScriptServer::add_error(const std::string &text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back(text);
}

bool FtpScriptServer::pause(int ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(left.count() < SLICE_MS ? left.count() : SLICE_MS));
    }
    return false;
}

void FtpScriptServer::run()
{
    while (!stopping_ && connections_ < max_connections_) {
        if (net_wait(listener_, 0, SLICE_MS) != 1)
            continue;
        net_socket_t control = net_accept(listener_);
        if (control == NET_NO_SOCKET)
            continue;
        connections_++;
        net_set_nonblocking(control, 1);
        serve_connection(control);
        net_close(control);
        close_data_sockets();
    }
    // A client beyond the allowed connections is refused instead of left waiting.
    net_close(listener_);
    listener_ = NET_NO_SOCKET;
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    changed_.notify_all();
}

void FtpScriptServer::close_data_sockets()
{
    if (passive_listener_ != NET_NO_SOCKET) {
        net_close(passive_listener_);
        passive_listener_ = NET_NO_SOCKET;
    }
    data_mode_ = DATA_NONE;
}

void FtpScriptServer::serve_connection(net_socket_t control)
{
    silent_ = false;
    if (!run_step(control, greeting_, std::string()))
        return;
    std::string pending;
    for (;;) {
        std::string line;
        if (!read_command(control, pending, line))
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.push_back(line);
            changed_.notify_all();
        }
        if (verb_of(line) == "PORT")
            note_port(line);
        if (verb_of(line) == "EPRT")
            note_eprt(line);
        if (silent_)
            continue;

        const FtpScriptStep *step = nullptr;
        FtpScriptStep made;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (next_step_ < steps_.size() && starts_with(line, steps_[next_step_].expect))
                step = &steps_[next_step_++];
        }
        if (step == nullptr && auto_answer_) {
            made = default_step(line);
            step = &made;
        } else if (step == nullptr) {
            std::string wanted;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                wanted = next_step_ < steps_.size() ? "\"" + steps_[next_step_].expect + "\"" : "the end of the script";
            }
            add_error("unexpected command \"" + line + "\", expected " + wanted);
            made.reply = {"500 Unexpected command"};
            step = &made;
        }
        if (!run_step(control, *step, line))
            return;
    }
}

// Reads the next command line into `line`; false when the connection ended or the server
// is stopping.
bool FtpScriptServer::read_command(net_socket_t control, std::string &pending, std::string &line)
{
    for (;;) {
        size_t end = pending.find('\n');
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            else
                add_error("command line without CR: \"" + line + "\"");
            return true;
        }
        if (pending.size() > COMMAND_LIMIT) {
            add_error("command line longer than " + std::to_string(COMMAND_LIMIT) + " bytes");
            line = pending;
            pending.clear();
            return true;
        }
        if (stopping_)
            return false;
        if (net_wait(control, 0, SLICE_MS) != 1)
            continue;
        char buffer[4096];
        int got = net_recv(control, buffer, sizeof buffer);
        if (got <= 0) {
            if (got < 0 && net_last_error_kind() == NET_ERROR_WOULD_BLOCK)
                continue;
            if (!pending.empty())
                add_error("connection closed after an unterminated command \"" + pending + "\"");
            return false;
        }
        pending.append(buffer, (size_t)got);
    }
}

bool FtpScriptServer::send_all(net_socket_t socket, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        if (stopping_)
            return false;
        int waited = net_wait(socket, 1, SLICE_MS);
        if (waited == 0)
            continue;
        if (waited < 0)
            return false;
        int sent = net_send(socket, bytes.data() + done, (int)(bytes.size() - done));
        if (sent < 0) {
            if (net_last_error_kind() == NET_ERROR_WOULD_BLOCK)
                continue;
            return false;
        }
        done += (size_t)sent;
    }
    return true;
}

std::string FtpScriptServer::open_passive_listener()
{
    close_data_sockets();
    net_socket_t s = net_socket_tcp(ipv6_ ? NET_IPV6 : NET_IPV4);
    NetAddress address;
    uint16_t port = 0;
    // A fixed port is taken again by every transfer: the last one's connection may
    // still hold it.
    if (s != NET_NO_SOCKET && passive_port_ != 0)
        net_set_reuse_address(s);
    if (s == NET_NO_SOCKET || net_bind(s, loopback(), passive_port_) != 0 || net_listen(s, 1) != 0 ||
        net_local_name(s, &address, &port) != 0) {
        net_close(s);
        add_error("cannot open a passive listener");
        return "127,0,0,1,0,0";
    }
    net_set_nonblocking(s, 1);
    passive_listener_ = s;
    data_mode_ = DATA_PASSIVE;
    return passive_announce_ + "," + std::to_string(port >> 8) + "," + std::to_string(port & 0xff);
}

void FtpScriptServer::note_port(const std::string &command)
{
    close_data_sockets();
    unsigned n[6];
    char tail;
    std::string argument = argument_of(command);
    if (sscanf(argument.c_str(), "%u,%u,%u,%u,%u,%u%c", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5], &tail) != 6) {
        add_error("malformed PORT argument \"" + argument + "\"");
        return;
    }
    for (unsigned v : n) {
        if (v > 255) {
            add_error("malformed PORT argument \"" + argument + "\"");
            return;
        }
    }
    data_mode_ = DATA_ACTIVE;
    active_address_ = net_address_ipv4(address_of(n[0], n[1], n[2], n[3]));
    active_port_ = (uint16_t)(n[4] * 256 + n[5]);
    // Tests reach nothing outside this machine's loopback range, whatever a client says.
    active_allowed_ = n[0] == 127;
    if (!active_allowed_) {
        refused_ports_++;
        add_error("refused PORT to " + argument);
    }
}

void FtpScriptServer::note_eprt(const std::string &command)
{
    close_data_sockets();
    // |proto|address|port| with any one delimiter (RFC 2428).
    std::string argument = argument_of(command);
    std::vector<std::string> fields;
    if (argument.size() >= 2) {
        char d = argument[0];
        size_t at = 1;
        for (size_t next; (next = argument.find(d, at)) != std::string::npos; at = next + 1)
            fields.push_back(argument.substr(at, next - at));
        if (at != argument.size())
            fields.clear();
    }
    NetAddress address;
    int port = fields.size() == 3 ? atoi(fields[2].c_str()) : 0;
    if (fields.size() != 3 || (fields[0] != "1" && fields[0] != "2") || net_parse_address(fields[1].c_str(), &address) != 0 ||
        address.family != (fields[0] == "2" ? NET_IPV6 : NET_IPV4) || port < 1 || port > 65535 ||
        fields[2].find_first_not_of("0123456789") != std::string::npos) {
        add_error("malformed EPRT argument \"" + argument + "\"");
        return;
    }
    data_mode_ = DATA_ACTIVE;
    active_address_ = address;
    active_port_ = (uint16_t)port;
    // Tests reach nothing outside this machine's loopback addresses, whatever a client says.
    NetAddress v6_loopback;
    net_parse_address("::1", &v6_loopback);
    active_allowed_ = address.family == NET_IPV4 ? address.bytes[0] == 127 : net_address_equal(address, v6_loopback);
    if (!active_allowed_) {
        refused_ports_++;
        add_error("refused EPRT to " + argument);
    }
}

net_socket_t FtpScriptServer::open_data_connection()
{
    if (data_mode_ == DATA_PASSIVE) {
        int waited = 0;
        while (!stopping_ && waited < DATA_ACCEPT_LIMIT_MS) {
            if (net_wait(passive_listener_, 0, SLICE_MS) == 1) {
                net_socket_t data = net_accept(passive_listener_);
                if (data != NET_NO_SOCKET) {
                    net_close(passive_listener_);
                    passive_listener_ = NET_NO_SOCKET;
                    data_mode_ = DATA_NONE;
                    net_set_nonblocking(data, 1);
                    return data;
                }
            }
            waited += SLICE_MS;
        }
        add_error("the client never opened the passive data connection");
        return NET_NO_SOCKET;
    }
    if (data_mode_ == DATA_ACTIVE && active_allowed_) {
        data_mode_ = DATA_NONE;
        net_socket_t data = net_socket_tcp(active_address_.family);
        if (data != NET_NO_SOCKET) {
            // Connect without blocking, so that stop() is never held up by a full backlog.
            net_set_nonblocking(data, 1);
            if (net_connect(data, active_address_, active_port_) == 0)
                return data;
            for (int waited = 0; !stopping_ && waited < DATA_ACCEPT_LIMIT_MS; waited += SLICE_MS) {
                if (net_wait(data, 1, SLICE_MS) == 1) {
                    NetAddress address;
                    uint16_t port;
                    if (net_peer_name(data, &address, &port) == 0)
                        return data;
                    break;
                }
            }
        }
        net_close(data);
        add_error("cannot connect to the PORT address");
        return NET_NO_SOCKET;
    }
    add_error("data transfer without a usable PASV or PORT");
    return NET_NO_SOCKET;
}

// A close that the peer sees as a reset (RST), as a crashed or killed server leaves it.
static void close_with_reset(net_socket_t socket)
{
    struct linger hard = {1, 0};
#ifdef _WIN32
    setsockopt((SOCKET)socket, SOL_SOCKET, SO_LINGER, (const char *)&hard, sizeof hard);
#else
    setsockopt((int)socket, SOL_SOCKET, SO_LINGER, (const char *)&hard, sizeof hard);
#endif
    net_close(socket);
}

net_socket_t FtpScriptServer::connect_intruder(const std::string &bytes)
{
    if (data_mode_ != DATA_ACTIVE || !active_allowed_ || active_address_.family != NET_IPV4)
        return NET_NO_SOCKET;
    net_socket_t intruder = net_socket_tcp(NET_IPV4);
    if (intruder == NET_NO_SOCKET)
        return NET_NO_SOCKET;
    bool made = net_bind(intruder, net_address_ipv4(address_of(127, 0, 0, 3)), 0) == 0;
    net_set_nonblocking(intruder, 1);
    if (made && net_connect(intruder, active_address_, active_port_) != 0)
        made = net_wait(intruder, 1, 2000) == 1;
    if (made)
        made = send_all(intruder, bytes);
    if (!made) {
        net_close(intruder);
        add_error("the intruder could not reach the PORT address");
        return NET_NO_SOCKET;
    }
    return intruder;
}

void FtpScriptServer::send_data(net_socket_t data, const FtpScriptData &action)
{
    size_t total = action.bytes.size();
    if (action.stop_after >= 0 && (size_t)action.stop_after < total)
        total = (size_t)action.stop_after;
    size_t chunk = action.chunk_size > 0 ? (size_t)action.chunk_size : total;
    for (size_t done = 0; done < total;) {
        if (action.chunk_delay_ms > 0 && !pause(action.chunk_delay_ms))
            return;
        size_t take = total - done < chunk ? total - done : chunk;
        if (!send_all(data, action.bytes.substr(done, take)))
            return;
        done += take;
    }
    if (action.stop_after < 0 || action.close_early)
        return;
    // Stalled: hold the connection open until the client gives up on it.
    char buffer[512];
    while (!stopping_) {
        if (net_wait(data, 0, SLICE_MS) != 1)
            continue;
        int got = net_recv(data, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && net_last_error_kind() != NET_ERROR_WOULD_BLOCK))
            return;
    }
}

std::string FtpScriptServer::receive_data(net_socket_t data)
{
    std::string bytes;
    char buffer[8192];
    while (!stopping_) {
        if (net_wait(data, 0, SLICE_MS) != 1)
            continue;
        int got = net_recv(data, buffer, sizeof buffer);
        if (got > 0) {
            bytes.append(buffer, (size_t)got);
            continue;
        }
        if (got < 0 && net_last_error_kind() == NET_ERROR_WOULD_BLOCK)
            continue;
        break;
    }
    return bytes;
}

// Runs one step; false when the control connection is to end.
bool FtpScriptServer::run_step(net_socket_t control, const FtpScriptStep &step, const std::string &command)
{
    if (step.delay_ms > 0 && !pause(step.delay_ms))
        return false;
    if (step.silent) {
        silent_ = true;
        return true;
    }
    // Like a real server, the data connection is made before the preliminary reply, and
    // a connection that cannot be made is answered 425 instead.
    net_socket_t data = NET_NO_SOCKET, intruder = NET_NO_SOCKET;
    if (step.data.kind != FtpScriptData::NONE && !step.data.intruder.empty())
        intruder = connect_intruder(step.data.intruder);
    if (step.data.kind != FtpScriptData::NONE && !step.data.after_reply) {
        data = open_data_connection();
        if (data == NET_NO_SOCKET) {
            net_close(intruder);
            return send_all(control, "425 Cannot open data connection\r\n") && !step.close;
        }
    }
    std::string text;
    for (size_t i = 0; i < step.reply.size(); i++) {
        // A dripping reply sends each line on its own, the pause before every one but the first.
        if (step.drip_ms > 0 && i > 0 && (!send_all(control, text) || !pause(step.drip_ms))) {
            net_close(data);
            return false;
        }
        if (step.drip_ms > 0 && i > 0)
            text.clear();
        std::string out = step.reply[i];
        size_t mark = out.find("{pasv}");
        if (mark != std::string::npos)
            out.replace(mark, 6, open_passive_listener());
        mark = out.find("{epsv}");
        if (mark != std::string::npos) {
            // The port alone: the last two of the six numbers a 227 would carry.
            std::string six = open_passive_listener();
            unsigned n[6] = {0, 0, 0, 0, 0, 0};
            sscanf(six.c_str(), "%u,%u,%u,%u,%u,%u", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]);
            out.replace(mark, 6, std::to_string(n[4] * 256 + n[5]));
        }
        text += out + "\r\n";
    }
    text += step.raw;
    if (!send_all(control, text)) {
        net_close(data);
        net_close(intruder);
        return false;
    }
    if (step.data.kind != FtpScriptData::NONE && step.data.after_reply)
        data = open_data_connection();
    if (data != NET_NO_SOCKET) {
        if (step.data.kind == FtpScriptData::SEND) {
            send_data(data, step.data);
        } else {
            FtpScriptUpload upload{argument_of(command), receive_data(data)};
            std::lock_guard<std::mutex> lock(mutex_);
            uploads_.push_back(upload);
            if (verb_of(command) == "STOR")
                files_[upload.name] = upload.bytes;
        }
        if (step.data.reset) {
            pause(200);
            close_with_reset(data);
        } else {
            net_close(data);
        }
    }
    net_close(intruder);
    std::string final_text;
    for (const std::string &line : step.final_lines)
        final_text += line + "\r\n";
    if (!send_all(control, final_text))
        return false;
    return !step.close;
}

FtpScriptStep FtpScriptServer::default_step(const std::string &command)
{
    FtpScriptStep step;
    std::string verb = verb_of(command);
    std::string argument = argument_of(command);
    // A restart offset holds for the one command that follows REST.
    long offset = rest_offset_;
    rest_offset_ = 0;

    if (verb == "USER") {
        step.reply = {"331 Password required"};
    } else if (verb == "PASS") {
        step.reply = {"230 Logged in"};
    } else if (verb == "SYST") {
        step.reply = {"215 UNIX Type: L8"};
    } else if (verb == "TYPE") {
        step.reply = {"200 Type set to " + argument};
    } else if (verb == "PWD") {
        step.reply = {"257 \"" + cwd_ + "\" is the current directory"};
    } else if (verb == "CWD") {
        if (!argument.empty() && argument[0] == '/')
            cwd_ = argument;
        else if (!argument.empty())
            cwd_ += (cwd_.back() == '/' ? "" : "/") + argument;
        step.reply = {"250 Directory changed"};
    } else if (verb == "CDUP") {
        step.reply = {"250 Directory changed"};
    } else if (verb == "PASV") {
        step.reply = {"227 Entering Passive Mode ({pasv})"};
    } else if (verb == "EPSV") {
        step.reply = {"229 Entering Extended Passive Mode (|||{epsv}|)"};
    } else if (verb == "EPRT") {
        step.reply = {data_mode_ == DATA_ACTIVE && active_allowed_ ? "200 EPRT command successful"
                                                                    : "500 Illegal EPRT command"};
    } else if (verb == "PORT") {
        step.reply = {data_mode_ == DATA_ACTIVE && active_allowed_ ? "200 PORT command successful"
                                                                    : "500 Illegal PORT command"};
    } else if (verb == "LIST" || verb == "NLST" || verb == "MLSD") {
        step.reply = {"150 Here comes the directory listing"};
        auto own = listings_.find(argument);
        step.send_data(own != listings_.end() ? own->second : listing_);
        step.final_lines = {"226 Directory send OK"};
    } else if (verb == "RETR") {
        std::lock_guard<std::mutex> lock(mutex_);
        auto file = files_.find(argument);
        if (file == files_.end()) {
            step.reply = {"550 Failed to open file"};
        } else {
            std::string bytes = offset > 0 && (size_t)offset <= file->second.size() ? file->second.substr((size_t)offset)
                                                                                      : file->second;
            step.reply = {"150 Opening BINARY mode data connection for " + argument + " (" +
                          std::to_string(file->second.size()) + " bytes)"};
            step.send_data(bytes);
            step.final_lines = {"226 Transfer complete"};
        }
    } else if (verb == "STOR") {
        step.reply = {"150 Ok to send data"};
        step.receive_data();
        step.final_lines = {"226 Transfer complete"};
    } else if (verb == "REST") {
        rest_offset_ = atol(argument.c_str());
        step.reply = {"350 Restart position accepted (" + std::to_string(rest_offset_) + ")"};
    } else if (verb == "MKD") {
        step.reply = {"257 \"" + argument + "\" created"};
    } else if (verb == "RMD" || verb == "DELE") {
        if (verb == "DELE") {
            std::lock_guard<std::mutex> lock(mutex_);
            files_.erase(argument);
        }
        step.reply = {"250 Requested file action okay"};
    } else if (verb == "RNFR") {
        step.reply = {"350 Ready for RNTO"};
    } else if (verb == "RNTO") {
        step.reply = {"250 Rename successful"};
    } else if (verb == "SIZE") {
        std::lock_guard<std::mutex> lock(mutex_);
        auto file = files_.find(argument);
        step.reply = {file == files_.end() ? "550 Could not get file size" : "213 " + std::to_string(file->second.size())};
    } else if (verb == "NOOP") {
        step.reply = {"200 NOOP ok"};
    } else if (verb == "QUIT") {
        step.reply = {"221 Goodbye"};
        step.close = true;
    } else {
        step.reply = {"502 Command not implemented"};
    }
    return step;
}

uint16_t quiet_port(const std::vector<NetAddress> &addresses)
{
    net_startup();
    unsigned draw = (unsigned)std::chrono::steady_clock::now().time_since_epoch().count();
    for (unsigned attempt = 0; attempt < 200; attempt++) {
        uint16_t candidate = (uint16_t)(12000 + (draw + attempt * 7919u) % 9000);
        bool free = true;
        for (const NetAddress &address : addresses) {
            net_socket_t probe = net_socket_tcp(address.family);
            free = free && net_bind(probe, address, candidate) == 0;
            net_close(probe);
        }
        if (free)
            return candidate;
    }
    return 0;
}
