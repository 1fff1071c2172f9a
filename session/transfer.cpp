// Transfers over the data connection: the block level (open, read or write, close) and
// the whole-file download with resume and upload on top of it. Counts, offsets and sizes
// are 64-bit throughout, so files of 2 GiB and more move, resume and report correctly.
#include <cassert>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/file.h"
#include "platform/time.h"
#include "session/session.h"
#include "util/text.h"

// The size in a preliminary reply: the digits after its first '(', in full; 0 when no
// digits follow or they overflow, -1 when the line has no '(' (the size stays unknown).
static int64_t announced_size(const char *line)
{
    const char *p = strchr(line, '(');
    if (!p)
        return -1;
    p++;
    while (*p == ' ')
        p++;
    int64_t value;
    return text_to_int64(p, &value, nullptr) < 0 ? 0 : value;
}

// The byte count of a preliminary reply when it announces one as "(N bytes"; -1 when it
// does not say, so that no other parenthesis is ever taken for a size.
static int64_t announced_byte_count(const char *line)
{
    const char *p = strchr(line, '(');
    if (!p)
        return -1;
    int64_t value;
    if (text_to_int64(p + 1, &value, &p) <= 0)
        return -1;
    return strncmp(p, " bytes", 6) == 0 ? value : -1;
}

// At most one message a second, and the clock is read only when someone listens.
static void report_progress(FtpSession *session, const char *label, int64_t total)
{
    if (!session->callback)
        return;
    int64_t now = platform_now();
    if (now <= session->last_progress_time)
        return;
    session->last_progress_time = now;
    char text[80];
    text_format(text, sizeof text, "%s: %lld/%lld\n", label, (long long)session->transferred, (long long)total);
    session_notify(session, text);
}

int session_set_resume_offset(FtpSession *session, int64_t offset)
{
    assert(session != nullptr);
    if (offset < 0)
        return -1;
    session->resume_offset = offset;
    return 0;
}

// The size of a remote file from its 213 reply to SIZE; -1 when SIZE was refused or
// the reply carries no whole number.
static int64_t remote_size(FtpSession *session, const char *remote_name)
{
    if (session_command(session, "SIZE %s\r\n", remote_name) != 213)
        return -1;
    const char *p = session->reply + 3;
    while (*p == ' ')
        p++;
    int64_t value;
    return text_to_int64(p, &value, nullptr) > 0 ? value : -1;
}

// The transfer's opening. local_size > 0 marks a resume of a local file of that size:
// a server answers REST past the end of its file with 350, sends nothing and reports
// success, which would leave a longer local file looking complete. Its SIZE tells that
// case apart before any data connection is made; a server that refuses SIZE resumes
// as before.
static int open_transfer(FtpSession *session, const char *remote_name, const char *mode, int64_t local_size)
{
    assert(session != nullptr);
    if (!session->control || !remote_name || !mode) {
        session_close_data(session);
        return -1;
    }
    session->uploading = strchr(mode, 'w') ? 1 : 0;
    // A refused TYPE does not stop the transfer: the server keeps its current type.
    const char *type = strchr(mode, 'b') ? "I" : "A";
    if (!session->keep_type || !session->type_confirmed || strcmp(session->transfer_type, type) != 0)
        session_set_type(session, type);
    session->transferred = 0;
    session->announced_bytes = -1;
    session->data_ended = 0;
    session->data_unclean = 0;
    int64_t asked_size = -1;
    if (local_size > 0) {
        asked_size = remote_size(session, remote_name);
        if (asked_size >= 0 && asked_size < local_size)
            return -1;
    }
    // A meter without a total shows no bar and no time left: ask when nothing else will
    // tell the size.
    int64_t meter_size = session->listed_size;
    if (!session->uploading && meter_size < 0 && asked_size < 0 && session->ask_size)
        meter_size = remote_size(session, remote_name);
    if (session_open_data(session) != 0)
        return -1;

    if (session->resume_offset != 0) {
        if (session_command(session, "REST %lld\r\n", (long long)session->resume_offset) == 350)
            session->transferred = session->resume_offset;
        else
            session->resume_offset = 0;  // the transfer starts at the beginning of the file
    }
    // Active mode takes the server's connection between the command and its reply; a
    // command that did not go out is never answered, so nothing is awaited for it.
    if (session_send(session, session->uploading ? "STOR %s\r\n" : "RETR %s\r\n", remote_name) != 0 ||
        session_accept_data(session) != 0) {
        session_close_data(session);
        return -1;
    }
    int reply = session_reply(session);
    if (reply != 150 && reply != 125) {
        session_refused(session, FAILURE_SERVER);
        session_close_data(session);
        return -1;
    }
    if (!session->uploading) {
        int64_t size = announced_size(session->reply);
        if (size < 0)
            size = asked_size >= 0 ? asked_size : meter_size;
        if (size >= 0)
            session->transfer_total = size;
        session->announced_bytes = announced_byte_count(session->reply);
        // The size SIZE gave stands in for a 150 that names none.
        if (session->announced_bytes < 0)
            session->announced_bytes = asked_size;
    }
    return 0;
}

int session_open_transfer(FtpSession *session, const char *remote_name, const char *mode)
{
    return open_transfer(session, remote_name, mode, 0);
}

int session_read_data(FtpSession *session, void *buffer, int size)
{
    assert(session != nullptr);
    if (!session->data)
        return -1;
    int got = stream_receive(session->data, buffer, size);
    if (got < 0)
        return got;
    if (got == 0) {
        session->data_ended = 1;
        session->data_unclean = session->data->ended_unclean;
    }
    session->transferred += got;
    report_progress(session, "READ", session->transfer_total);
    return got;
}

int session_write_data(FtpSession *session, const void *bytes, int length)
{
    assert(session != nullptr);
    if (!session->data)
        return -1;
    int sent = stream_send_buffered(session->data, bytes, length);
    if (sent <= 0)
        return sent;
    session->transferred += sent;
    report_progress(session, "WRITE", session->local_size);
    return sent;
}

// Whether a binary download that reached its end brought another count of bytes than
// its 150 reply announced. Servers announce either the whole file or what is left after
// the restart offset; both are accepted. Text downloads may change their line ends.
static int short_or_long_of_announced(const FtpSession *session)
{
    if (session->uploading || !session->data_ended || session->announced_bytes < 0 ||
        strcmp(session->transfer_type, "I") != 0)
        return 0;
    int64_t received = session->transferred - session->resume_offset;
    return received != session->announced_bytes && session->transferred != session->announced_bytes;
}

int session_close_transfer(FtpSession *session)
{
    assert(session != nullptr);
    int mismatch = short_or_long_of_announced(session);
    int cut_short = !session->uploading && !session->data_ended;
    // An end without TLS's closing alert is a cut unless a known size says all came.
    int unconfirmed = !session->uploading && session->data_ended && session->data_unclean &&
                      (session->announced_bytes < 0 || mismatch ||
                       (session->transferred - session->resume_offset != session->announced_bytes &&
                        session->transferred != session->announced_bytes));
    session->data_unclean = 0;
    session->transfer_total = 0;
    session->listed_size = -1;
    session->resume_offset = 0;
    session->announced_bytes = -1;
    session->data_ended = 0;
    if (!session->data)
        return 0;
    // The writes were told their bytes were taken: bytes that cannot be sent now leave
    // the server's file short, whatever its reply says.
    int flushed = stream_flush(session->data);
    // Closing the data connection is what tells the server that an upload has ended.
    session_close_data(session);
    // A download ended by us before its data ended: the server answers the cut with one
    // reply of a code of its own choosing (pure-ftpd, racing its own 226, can send it with
    // its 150's code), so that one reply ends the transfer; waiting on past a 1xx there
    // would wait for a reply that never comes.
    int reply = cut_short ? session_reply(session) : session_final_reply(session);
    if (reply != 226 && reply != 250)
        return session_refused(session, FAILURE_SERVER);
    if (mismatch)
        failure_note(&session->failure, FAILURE_PROTOCOL, "the data connection ended at another size than announced");
    else if (unconfirmed)
        failure_note(&session->failure, FAILURE_PROTOCOL,
                     "the data connection ended without TLS's closing alert and no known size confirms it");
    return !mismatch && !unconfirmed && flushed == 0 ? 0 : -1;
}

static int ends_with_separator(const char *path)
{
    size_t length = strlen(path);
    return length > 0 && (path[length - 1] == '/' || path[length - 1] == '\\');
}

// The text after the last '/' of a remote name (after the last '/' or '\' of a local
// one), or all of it. A remote name that becomes a local one is split at every local
// separator too: on Windows "..\x" is a step out of the folder.
static const char *last_component(const char *name, int local)
{
    const char *last = name;
    for (const char *p = name; *p; p++) {
        if (*p == '/' || (local && *p == '\\') || platform_is_path_separator(*p))
            last = p + 1;
    }
    return last;
}

// A ".." step, also as Windows reads it with trailing dots and blanks dropped.
static int is_parent_step(const char *start, const char *end)
{
    if (end - start < 2 || start[0] != '.' || start[1] != '.')
        return 0;
    for (const char *p = start + 2; p < end; p++) {
        if (*p != '.' && *p != ' ')
            return 0;
    }
    return 1;
}

// Whether a remote name, taken as a local path as it stands, stays inside the current
// folder: not absolute, no drive letter, no ".." step, with '/' and '\' both counted as
// separators on either target (the name comes from a server or a caller who did not
// choose a local place).
static int stays_inside(const char *name)
{
    if (name[0] == '/' || name[0] == '\\' || (isalpha((unsigned char)name[0]) && name[1] == ':'))
        return 0;
    const char *start = name;
    for (const char *p = name;; p++) {
        if (*p != '/' && *p != '\\' && *p != '\0')
            continue;
        if (is_parent_step(start, p))
            return 0;
        if (*p == '\0')
            return 1;
        start = p + 1;
    }
}

// The local path of a download: the local name as the caller gave it, or the remote name
// when it stays inside the current folder (its folders are made there); a folder gets the
// remote name's last component, which must name a file. -1 when the path is refused or
// would not fit: a cut path would write somewhere else.
static int download_path(char *path, const char *remote_name, const char *local_name)
{
    int given = local_name && *local_name;
    if (!given && !stays_inside(remote_name))
        return -1;
    if (text_copy(path, SESSION_PATH_SIZE, given ? local_name : remote_name) != 0)
        return -1;
    LocalFileInfo info;
    int is_folder = ends_with_separator(path) || (platform_file_info(path, &info) == 0 && info.is_directory);
    if (!is_folder)
        return 0;
    const char *leaf = last_component(remote_name, 0);
    if (!*leaf || strcmp(leaf, ".") == 0 || is_parent_step(leaf, leaf + strlen(leaf)))
        return -1;
    // A folder named with a trailing '\' on Linux still takes its files inside it.
    if (!platform_is_path_separator(path[strlen(path) - 1]) && text_append(path, SESSION_PATH_SIZE, "/") != 0)
        return -1;
    return text_append(path, SESSION_PATH_SIZE, leaf);
}

// Makes the folders a download's local path needs: everything before its last separator
// ('/' as a remote name has it, or the target's own).
static int make_download_folders(FtpSession *session, const char *path)
{
    char folder[SESSION_PATH_SIZE];
    text_copy(folder, sizeof folder, path);
    size_t cut = 0;
    for (size_t i = 0; folder[i]; i++)
        if (folder[i] == '/' || platform_is_path_separator(folder[i]))
            cut = i;
    if (cut == 0)
        return 0;
    folder[cut] = '\0';
    if (platform_make_folders(folder) == 0)
        return 0;
    failure_note(&session->failure, FAILURE_LOCAL_FILE, "%s: %s", folder, strerror(errno));
    return -1;
}

// The data of an open download into its local file, a block at a time: the reads fill
// one block (each asking for all the room left, which the stream receives straight into
// it) and the block goes to the file in one write once too little room is left for
// another such read, and at the end. 0 at the end of the data; -1 when a read fails or
// is cancelled or the file cannot take the data (a full disk). Whatever arrived is
// written first, so a partial file keeps every byte received.
//
// Over TLS a read brings one record (16 KiB), just decrypted and still in the
// processor's cache, and it goes to the file at once: a megabyte gathered first has left
// the cache by the time it is written, and the connection goes unread while it is. On the
// transfer bench that pause cost about a tenth of a TLS download's time, more than the
// extra writes.
static int receive_into_file(FtpSession *session, FILE *file)
{
    unsigned char *block = new (std::nothrow) unsigned char[SESSION_FILE_BLOCK_SIZE];
    if (!block)
        return -1;
    setvbuf(file, nullptr, _IONBF, 0);
    const int each_read = session->data->tls != nullptr;
    int filled = 0, ended = 0, failed = 0;
    while (!ended && !failed) {
        int got = session_read_data(session, block + filled, SESSION_FILE_BLOCK_SIZE - filled);
        if (got > 0)
            filled += got;
        else if (got == 0)
            ended = 1;
        else
            failed = 1;
        if (filled > 0 && (ended || failed || each_read || SESSION_FILE_BLOCK_SIZE - filled < STREAM_DIRECT_RECEIVE)) {
            if (fwrite(block, 1, (size_t)filled, file) != (size_t)filled)
                failed = 1;
            filled = 0;
        }
    }
    delete[] block;
    return failed ? -1 : 0;
}

int session_get_file(FtpSession *session, const char *remote_name, const char *local_name, const char *mode)
{
    assert(session != nullptr);
    if (!remote_name || !*remote_name || !mode)
        return -1;
    int binary = strchr(mode, 'b') != nullptr;
    char path[SESSION_PATH_SIZE];
    if (download_path(path, remote_name, local_name) != 0)
        return -1;
    LocalFileInfo info;
    int64_t resumed_size = 0;  // the local file a resume continues
    int existed = platform_file_info(path, &info) == 0;
    if (existed) {
        if (info.is_directory) {
            failure_note(&session->failure, FAILURE_LOCAL_FILE, "%s: %s", path, strerror(EISDIR));
            return -1;
        }
        if (session->resume_mode) {
            session->resume_offset = info.size;
            resumed_size = info.size;
        }
    }
    // The local file is there and writable before RETR goes out, so a local failure costs
    // no transfer. Appending keeps what is there until the server has accepted the RETR.
    if (make_download_folders(session, path) != 0)
        return -1;
    FILE *file = platform_file_open(path, binary ? "ab" : "a");
    if (!file) {
        failure_note(&session->failure, FAILURE_LOCAL_FILE, "%s: %s", path, strerror(errno));
        return -1;
    }

    int result = -1;
    int started = open_transfer(session, remote_name, binary ? "rb" : "r", resumed_size) == 0;
    if (started) {
        // Only an offset the server accepted is still set here: go on at the end of the
        // partial file; otherwise the file starts anew.
        if (session->resume_offset == 0 && existed && info.size > 0) {
            fclose(file);
            file = platform_file_open(path, binary ? "wb" : "w");
            if (!file)
                failure_note(&session->failure, FAILURE_LOCAL_FILE, "%s: %s", path, strerror(errno));
        }
        if (file)
            result = receive_into_file(session, file);
    }
    if (file && fclose(file) != 0)
        result = -1;
    // A refused RETR leaves no empty file of its own behind; once the server has started,
    // the file is the partial download the rules keep.
    if (!started && !existed && platform_file_info(path, &info) == 0 && info.size == 0)
        platform_remove_file(path);
    if (session_close_transfer(session) != 0)
        result = -1;
    return result;
}

int session_put_file(FtpSession *session, const char *remote_name, const char *local_name, const char *mode)
{
    assert(session != nullptr);
    if (!mode)
        return -1;
    if (remote_name && !*remote_name)
        remote_name = nullptr;
    if (local_name && !*local_name)
        local_name = nullptr;
    if (!remote_name && !local_name)
        return -1;
    if (!local_name)
        local_name = remote_name;
    if (!remote_name)
        remote_name = last_component(local_name, 1);
    if (!*remote_name)
        return -1;
    int binary = strchr(mode, 'b') != nullptr;

    // The local file is opened before STOR: one that cannot be read must never leave the
    // remote file truncated.
    LocalFileInfo info = {};
    if (platform_file_info(local_name, &info) != 0 || info.is_directory) {
        failure_note(&session->failure, FAILURE_LOCAL_FILE, "%s: %s", local_name,
                     strerror(info.is_directory ? EISDIR : ENOENT));
        return -1;
    }
    FILE *file = platform_file_open(local_name, binary ? "rb" : "r");
    if (!file) {
        failure_note(&session->failure, FAILURE_LOCAL_FILE, "%s: %s", local_name, strerror(errno));
        return -1;
    }
    session->local_size = info.size;

    int result = -1;
    unsigned char *block = new (std::nothrow) unsigned char[SESSION_FILE_BLOCK_SIZE];
    if (block && session_open_transfer(session, remote_name, binary ? "wb" : "w") == 0) {
        // One file read per block, straight into it.
        setvbuf(file, nullptr, _IONBF, 0);
        for (;;) {
            size_t got = fread(block, 1, SESSION_FILE_BLOCK_SIZE, file);
            if (got > 0 && session_write_data(session, block, (int)got) != (int)got)
                break;
            if (got < (size_t)SESSION_FILE_BLOCK_SIZE) {
                if (!ferror(file))
                    result = 0;
                break;
            }
        }
    }
    delete[] block;
    fclose(file);
    if (session_close_transfer(session) != 0)
        result = -1;
    session->local_size = 0;
    return result;
}
