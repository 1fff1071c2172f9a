// The registry of a system that has none: one text file in the registry's export format
// (REGEDIT4) at $XDG_CONFIG_HOME/kestrel/registry.reg, or ~/.config/kestrel/registry.reg.
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\VizivazuVOD\KESTREL]
//   "EMailAddress"="me@example.org"        REG_SZ; the file shows the text without its
//   "FtpCtrlPort"=dword:00000015           terminator, \ and " escaped with a backslash
//   "Blob"=hex:01,02,ff                    REG_BINARY
//   "Path"=hex(2):25,00                    any other type N (N in hex), or a REG_SZ or
//   @="default value"                      REG_DWORD whose bytes the short forms cannot
//                                          carry (no terminator, a line break, not 4 bytes)
//
// Lines beginning with ';' are comments and are kept in place. Long hex lists continue on
// the next line after a trailing backslash. Key and value names compare without regard to
// case and keep the case they were created with. Keys and values the program does not
// know, under any root, are kept as they are.
//
// Every change re-reads the file and writes it whole under an exclusive flock on
// registry.reg.lock, through a temporary file that is flushed and renamed over the old
// one: readers see the old or the new file, never a torn one, and two processes saving
// at once lose nothing. A file that cannot be parsed is never rewritten: every change
// fails with REGISTRY_ERROR_BAD_STORE and every read finds nothing.
#include "platform/registry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/text.h"

namespace {

struct RegValue {
    bool comment;      // a ';' line kept where it stood; its text is in name
    std::string name;  // empty for the default value
    uint32_t type;
    std::string data;  // the stored bytes
};

struct RegSection {
    std::string name;  // full key path, root included
    std::vector<RegValue> values;
};

struct RegStore {
    std::vector<std::string> preamble;  // comments before the first key
    std::vector<RegSection> sections;
};

// An opened key: where its file was when it was opened, and its full path there.
struct PosixKey {
    uint32_t magic;
    std::string file;
    std::string dir;
    std::string path;
};

const uint32_t KEY_MAGIC = 0x4b455952;  // "RYEK"
const size_t MAX_FILE_SIZE = 64u << 20;
const size_t MAX_COMPONENT = 255;

const char *root_name(RegistryKey key)
{
    switch (key) {
    case REGISTRY_CLASSES_ROOT:
        return "HKEY_CLASSES_ROOT";
    case REGISTRY_CURRENT_USER:
        return "HKEY_CURRENT_USER";
    case REGISTRY_LOCAL_MACHINE:
        return "HKEY_LOCAL_MACHINE";
    case REGISTRY_USERS:
        return "HKEY_USERS";
    default:
        return nullptr;
    }
}

PosixKey *key_handle(RegistryKey key)
{
    if (root_name(key) != nullptr || key == 0)
        return nullptr;
    PosixKey *k = (PosixKey *)key;
    return k->magic == KEY_MAGIC ? k : nullptr;
}

bool same_name(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// --- Where the file lives.

int store_location(std::string *dir, std::string *file)
{
    std::string base;
    const char *xdg = getenv("XDG_CONFIG_HOME");
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the convention asks.
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char *home = getenv("HOME");
        if (home == nullptr || home[0] == '\0') {
            struct passwd pw, *found = nullptr;
            char buf[4096];
            if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) != 0 || found == nullptr ||
                found->pw_dir == nullptr || found->pw_dir[0] == '\0')
                return REGISTRY_ERROR_NOT_FOUND;
            base = found->pw_dir;
        } else {
            base = home;
        }
        base += "/.config";
    }
    *dir = base + "/kestrel";
    *file = *dir + "/registry.reg";
    return REGISTRY_OK;
}

// mkdir -p; folders it makes are private to the owner.
int make_folders(const std::string &dir)
{
    for (size_t i = 1; i <= dir.size(); i++) {
        if (i < dir.size() && dir[i] != '/')
            continue;
        std::string part = dir.substr(0, i);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return REGISTRY_ERROR_CANT_WRITE;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return REGISTRY_ERROR_CANT_WRITE;
    return REGISTRY_OK;
}

// --- Parsing.

bool hex_digit(char c, unsigned *v)
{
    if (c >= '0' && c <= '9')
        *v = (unsigned)(c - '0');
    else if (c >= 'a' && c <= 'f')
        *v = (unsigned)(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        *v = (unsigned)(c - 'A' + 10);
    else
        return false;
    return true;
}

// 1..max_digits hex digits at s[*pos]; advances *pos.
bool parse_hex_number(const std::string &s, size_t *pos, size_t max_digits, uint32_t *out)
{
    uint32_t v = 0;
    size_t n = 0;
    unsigned d;
    while (*pos < s.size() && hex_digit(s[*pos], &d)) {
        if (++n > max_digits)
            return false;
        v = v << 4 | d;
        (*pos)++;
    }
    *out = v;
    return n > 0;
}

void skip_blanks(const std::string &s, size_t *pos)
{
    while (*pos < s.size() && (s[*pos] == ' ' || s[*pos] == '\t'))
        (*pos)++;
}

bool only_blanks_from(const std::string &s, size_t pos)
{
    skip_blanks(s, &pos);
    return pos == s.size();
}

// A quoted text with \\ and \" escapes starting at s[*pos] == '"'.
bool parse_quoted(const std::string &s, size_t *pos, std::string *out)
{
    if (*pos >= s.size() || s[*pos] != '"')
        return false;
    out->clear();
    for (size_t i = *pos + 1; i < s.size(); i++) {
        char c = s[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"'))
                return false;
            c = s[++i];
        }
        out->push_back(c);
    }
    return false;
}

// "01,02,ff" (possibly empty) into bytes.
bool parse_hex_bytes(const std::string &s, std::string *out)
{
    out->clear();
    size_t pos = 0;
    skip_blanks(s, &pos);
    if (pos == s.size())
        return true;
    for (;;) {
        skip_blanks(s, &pos);
        uint32_t v;
        if (!parse_hex_number(s, &pos, 2, &v))
            return false;
        out->push_back((char)v);
        skip_blanks(s, &pos);
        if (pos == s.size())
            return true;
        if (s[pos] != ',')
            return false;
        pos++;
    }
}

RegSection *find_section(RegStore *store, const std::string &path)
{
    for (RegSection &sec : store->sections) {
        if (same_name(sec.name, path))
            return &sec;
    }
    return nullptr;
}

RegValue *find_value(RegSection *sec, const std::string &name)
{
    for (RegValue &v : sec->values) {
        if (!v.comment && same_name(v.name, name))
            return &v;
    }
    return nullptr;
}

std::string trim_line(const std::string &line)
{
    size_t b = 0, e = line.size();
    while (b < e && (line[b] == ' ' || line[b] == '\t'))
        b++;
    while (e > b && (line[e - 1] == ' ' || line[e - 1] == '\t'))
        e--;
    return line.substr(b, e - b);
}

// Parses one value line (continuations already joined by the caller for hex data).
bool parse_value(const std::vector<std::string> &lines, size_t *index, RegValue *out)
{
    const std::string &line = lines[*index];
    size_t pos = 0;
    out->comment = false;
    if (line[0] == '@') {
        out->name.clear();
        pos = 1;
    } else if (!parse_quoted(line, &pos, &out->name) || out->name.empty()) {
        return false;
    }
    skip_blanks(line, &pos);
    if (pos >= line.size() || line[pos] != '=')
        return false;
    pos++;
    skip_blanks(line, &pos);
    std::string rest = line.substr(pos);
    if (rest.compare(0, 1, "\"") == 0) {
        size_t p = 0;
        std::string text;
        if (!parse_quoted(rest, &p, &text) || !only_blanks_from(rest, p))
            return false;
        out->type = REGISTRY_TYPE_SZ;
        out->data = text;
        out->data.push_back('\0');
        return true;
    }
    if (rest.compare(0, 6, "dword:") == 0) {
        size_t p = 6;
        uint32_t v;
        if (!parse_hex_number(rest, &p, 8, &v) || !only_blanks_from(rest, p))
            return false;
        out->type = REGISTRY_TYPE_DWORD;
        out->data.assign({(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)});
        return true;
    }
    size_t p;
    if (rest.compare(0, 4, "hex:") == 0) {
        out->type = REGISTRY_TYPE_BINARY;
        p = 4;
    } else if (rest.compare(0, 4, "hex(") == 0) {
        p = 4;
        if (!parse_hex_number(rest, &p, 8, &out->type) || rest.compare(p, 2, "):") != 0)
            return false;
        p += 2;
    } else {
        return false;  // also "=-", the import files' deletion, which a store never holds
    }
    std::string list = rest.substr(p);
    for (;;) {
        std::string t = trim_line(list);
        if (t.empty() || t.back() != '\\')
            break;
        t.pop_back();
        if (*index + 1 >= lines.size())
            return false;
        list = t + trim_line(lines[++*index]);
    }
    return parse_hex_bytes(list, &out->data);
}

bool parse_store(const std::string &text, RegStore *store)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string::npos ? text.size() : nl;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    if (lines.empty() || lines[0] != "REGEDIT4")
        return false;
    store->preamble.clear();
    store->sections.clear();
    RegSection *current = nullptr;
    for (size_t i = 1; i < lines.size(); i++) {
        std::string line = trim_line(lines[i]);
        if (line.empty())
            continue;
        if (line[0] == ';') {
            if (current == nullptr)
                store->preamble.push_back(line);
            else
                current->values.push_back(RegValue{true, line, 0, std::string()});
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 3 || line[1] == '-')
                return false;
            std::string name = line.substr(1, line.size() - 2);
            current = find_section(store, name);
            if (current == nullptr) {
                store->sections.push_back(RegSection{name, {}});
                current = &store->sections.back();
            }
            continue;
        }
        if ((line[0] != '"' && line[0] != '@') || current == nullptr)
            return false;
        lines[i] = line;
        RegValue v;
        if (!parse_value(lines, &i, &v))  // may take continuation lines
            return false;
        RegValue *old = find_value(current, v.name);
        if (old != nullptr)
            *old = v;  // as an import would: the later line wins
        else
            current->values.push_back(v);
    }
    return true;
}

// --- Writing.

void append_quoted(std::string *out, const std::string &s)
{
    out->push_back('"');
    for (char c : s) {
        if (c == '\\' || c == '"')
            out->push_back('\\');
        out->push_back(c);
    }
    out->push_back('"');
}

// A REG_SZ takes the quoted form only when the quoted form gives back exactly its bytes.
bool plain_text(const std::string &data)
{
    if (data.empty() || data.back() != '\0')
        return false;
    for (size_t i = 0; i + 1 < data.size(); i++) {
        char c = data[i];
        if (c == '\0' || c == '\n' || c == '\r')
            return false;
    }
    return true;
}

void append_value(std::string *out, const RegValue &v)
{
    if (v.comment) {
        *out += v.name;
        out->push_back('\n');
        return;
    }
    size_t line_start = out->size();
    if (v.name.empty())
        out->push_back('@');
    else
        append_quoted(out, v.name);
    out->push_back('=');
    char buf[32];
    if (v.type == REGISTRY_TYPE_SZ && plain_text(v.data)) {
        append_quoted(out, v.data.substr(0, v.data.size() - 1));
    } else if (v.type == REGISTRY_TYPE_DWORD && v.data.size() == 4) {
        const unsigned char *b = (const unsigned char *)v.data.data();
        uint32_t n = (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 |
                     (uint32_t)b[3] << 24;
        text_format(buf, sizeof buf, "dword:%08x", n);
        *out += buf;
    } else {
        if (v.type == REGISTRY_TYPE_BINARY)
            *out += "hex:";
        else {
            text_format(buf, sizeof buf, "hex(%x):", v.type);
            *out += buf;
        }
        for (size_t i = 0; i < v.data.size(); i++) {
            text_format(buf, sizeof buf, "%02x", (unsigned char)v.data[i]);
            *out += buf;
            if (i + 1 < v.data.size()) {
                out->push_back(',');
                // Wrapped as the registry's own exports wrap, near 80 columns.
                if (out->size() - line_start > 76) {
                    *out += "\\\n  ";
                    line_start = out->size() - 2;
                }
            }
        }
    }
    out->push_back('\n');
}

std::string format_store(const RegStore &store)
{
    std::string out = "REGEDIT4\n";
    for (const std::string &c : store.preamble)
        out += c + "\n";
    out += "\n";
    for (const RegSection &sec : store.sections) {
        out += "[" + sec.name + "]\n";
        for (const RegValue &v : sec.values)
            append_value(&out, v);
        out += "\n";
    }
    return out;
}

// --- The file.

// Reads and parses the file; a missing file is an empty store (*exists false).
int load_store(const std::string &file, RegStore *store, bool *exists, mode_t *mode)
{
    store->preamble.clear();
    store->sections.clear();
    *exists = false;
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? REGISTRY_OK : REGISTRY_ERROR_CANT_READ;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (size_t)st.st_size > MAX_FILE_SIZE) {
        close(fd);
        return REGISTRY_ERROR_CANT_READ;
    }
    if (mode != nullptr)
        *mode = st.st_mode & 07777;
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return REGISTRY_ERROR_CANT_READ;
        }
        if (n == 0)
            break;
        text.append(buf, (size_t)n);
        if (text.size() > MAX_FILE_SIZE) {
            close(fd);
            return REGISTRY_ERROR_CANT_READ;
        }
    }
    close(fd);
    *exists = true;
    return parse_store(text, store) ? REGISTRY_OK : REGISTRY_ERROR_BAD_STORE;
}

bool write_all(int fd, const std::string &s)
{
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

int save_store(const std::string &dir, const std::string &file, const RegStore &store,
               mode_t mode)
{
    std::string text = format_store(store);
    std::string tmpl = dir + "/.registry.reg.XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);  // created 0600
    if (fd < 0)
        return REGISTRY_ERROR_CANT_WRITE;
    bool ok = fchmod(fd, mode) == 0 && write_all(fd, text) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok)
        ok = rename(name.data(), file.c_str()) == 0;
    if (!ok) {
        unlink(name.data());
        return REGISTRY_ERROR_CANT_WRITE;
    }
    // The rename itself must reach the disk before the change counts as made.
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return REGISTRY_OK;
}

// Each change holds this for its whole read-modify-write. A lock on the data file itself
// would be lost with the inode that every save replaces.
int lock_store(const std::string &dir)
{
    std::string path = dir + "/registry.reg.lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

void unlock_store(int fd)
{
    flock(fd, LOCK_UN);
    close(fd);
}

// --- Keys.

// parent + subkey into a full path with the file it lives in. Refuses empty components
// (a leading or doubled backslash) and names the file format cannot hold.
int resolve_key(RegistryKey parent, const char *subkey, PosixKey *out)
{
    if (subkey == nullptr)
        subkey = "";
    const char *root = root_name(parent);
    if (root != nullptr) {
        int status = store_location(&out->dir, &out->file);
        if (status != REGISTRY_OK)
            return status;
        out->path = root;
    } else {
        PosixKey *k = key_handle(parent);
        if (k == nullptr)
            return REGISTRY_ERROR_INVALID_HANDLE;
        out->dir = k->dir;
        out->file = k->file;
        out->path = k->path;
    }
    std::string rest = subkey;
    if (!rest.empty() && rest.back() == '\\')
        rest.pop_back();  // the registry tolerates one trailing backslash
    if (rest.empty())
        return REGISTRY_OK;
    size_t start = 0;
    for (;;) {
        size_t end = rest.find('\\', start);
        if (end == std::string::npos)
            end = rest.size();
        size_t len = end - start;
        if (len == 0)
            return REGISTRY_ERROR_BAD_PATHNAME;
        if (len > MAX_COMPONENT)
            return REGISTRY_ERROR_INVALID_PARAMETER;
        if (end == rest.size())
            break;
        start = end + 1;
    }
    if (rest.find_first_of("\r\n") != std::string::npos)
        return REGISTRY_ERROR_INVALID_PARAMETER;
    out->path += "\\" + rest;
    return REGISTRY_OK;
}

bool is_root_path(const std::string &path)
{
    return path.find('\\') == std::string::npos;
}

// A key exists when it has a section, or a section below it does (a file written by hand
// may leave parents out), and a root always exists.
bool key_exists(const RegStore &store, const std::string &path)
{
    if (is_root_path(path))
        return true;
    for (const RegSection &sec : store.sections) {
        if (sec.name.size() >= path.size() &&
            strncasecmp(sec.name.data(), path.data(), path.size()) == 0 &&
            (sec.name.size() == path.size() || sec.name[path.size()] == '\\'))
            return true;
    }
    return false;
}

int hand_out(const PosixKey &resolved, RegistryKey *out)
{
    PosixKey *k = new (std::nothrow) PosixKey(resolved);
    if (k == nullptr)
        return REGISTRY_ERROR_NO_MEMORY;
    k->magic = KEY_MAGIC;
    *out = (RegistryKey)k;
    return REGISTRY_OK;
}

// The key a query or a change works on, even when it is a root.
int key_target(RegistryKey key, PosixKey *out)
{
    PosixKey *k = key_handle(key);
    if (k != nullptr) {
        *out = *k;
        return REGISTRY_OK;
    }
    if (root_name(key) == nullptr)
        return REGISTRY_ERROR_INVALID_HANDLE;
    return resolve_key(key, "", out);
}

}  // namespace

int platform_registry_open(RegistryKey parent, const char *subkey, RegistryKey *out)
{
    PosixKey resolved;
    int status = resolve_key(parent, subkey, &resolved);
    if (status != REGISTRY_OK)
        return status;
    if (!is_root_path(resolved.path)) {
        RegStore store;
        bool exists;
        status = load_store(resolved.file, &store, &exists, nullptr);
        if (status != REGISTRY_OK)
            return status;
        if (!key_exists(store, resolved.path))
            return REGISTRY_ERROR_NOT_FOUND;
    }
    return hand_out(resolved, out);
}

int platform_registry_create(RegistryKey parent, const char *subkey, RegistryKey *out)
{
    PosixKey resolved;
    int status = resolve_key(parent, subkey, &resolved);
    if (status != REGISTRY_OK)
        return status;
    if (!is_root_path(resolved.path)) {
        status = make_folders(resolved.dir);
        if (status != REGISTRY_OK)
            return status;
        int lock = lock_store(resolved.dir);
        if (lock < 0)
            return REGISTRY_ERROR_CANT_WRITE;
        RegStore store;
        bool exists;
        mode_t mode = 0600;
        status = load_store(resolved.file, &store, &exists, &mode);
        if (status == REGISTRY_OK) {
            // Every missing ancestor gets its own section, as the registry would hold it.
            bool changed = false;
            const std::string &p = resolved.path;
            size_t cut = p.find('\\');  // the end of the root's name
            for (;;) {
                cut = p.find('\\', cut + 1);
                std::string prefix = cut == std::string::npos ? p : p.substr(0, cut);
                if (find_section(&store, prefix) == nullptr) {
                    store.sections.push_back(RegSection{prefix, {}});
                    changed = true;
                }
                if (cut == std::string::npos)
                    break;
            }
            if (changed || !exists)
                status = save_store(resolved.dir, resolved.file, store, mode);
        }
        unlock_store(lock);
        if (status != REGISTRY_OK)
            return status;
    }
    return hand_out(resolved, out);
}

int platform_registry_query(RegistryKey key, const char *name, void *data, uint32_t *size,
                            uint32_t *type)
{
    PosixKey target;
    int status = key_target(key, &target);
    if (status != REGISTRY_OK)
        return status;
    if (size == nullptr && data != nullptr)
        return REGISTRY_ERROR_INVALID_PARAMETER;
    RegStore store;
    bool exists;
    status = load_store(target.file, &store, &exists, nullptr);
    if (status != REGISTRY_OK)
        return status;
    RegSection *sec = find_section(&store, target.path);
    RegValue *v = sec != nullptr ? find_value(sec, name != nullptr ? name : "") : nullptr;
    if (v == nullptr)
        return REGISTRY_ERROR_NOT_FOUND;
    if (type != nullptr)
        *type = v->type;
    if (size == nullptr)
        return REGISTRY_OK;
    uint32_t have = *size;
    *size = (uint32_t)v->data.size();
    if (data == nullptr)
        return REGISTRY_OK;
    if (v->data.size() > have)
        return REGISTRY_ERROR_MORE_DATA;
    memcpy(data, v->data.data(), v->data.size());
    return REGISTRY_OK;
}

int platform_registry_set(RegistryKey key, const char *name, uint32_t type, const void *data,
                          uint32_t size)
{
    PosixKey target;
    int status = key_target(key, &target);
    if (status != REGISTRY_OK)
        return status;
    std::string value_name = name != nullptr ? name : "";
    if (value_name.find_first_of("\r\n") != std::string::npos || (data == nullptr && size > 0))
        return REGISTRY_ERROR_INVALID_PARAMETER;
    int lock = lock_store(target.dir);
    if (lock < 0)
        return REGISTRY_ERROR_CANT_WRITE;
    RegStore store;
    bool exists;
    mode_t mode = 0600;
    status = load_store(target.file, &store, &exists, &mode);
    if (status == REGISTRY_OK) {
        RegSection *sec = find_section(&store, target.path);
        if (sec == nullptr && is_root_path(target.path)) {
            store.sections.push_back(RegSection{target.path, {}});
            sec = &store.sections.back();
        }
        if (sec == nullptr) {
            status = REGISTRY_ERROR_NOT_FOUND;  // deleted since it was opened
        } else {
            RegValue v{false, value_name, type, std::string((const char *)data, size)};
            RegValue *old = find_value(sec, value_name);
            bool same = old != nullptr && old->type == v.type && old->data == v.data;
            if (old != nullptr) {
                old->type = v.type;
                old->data = v.data;
            } else {
                sec->values.push_back(v);
            }
            if (!same)
                status = save_store(target.dir, target.file, store, mode);
        }
    }
    unlock_store(lock);
    return status;
}

int platform_registry_close(RegistryKey key)
{
    if (root_name(key) != nullptr)
        return REGISTRY_OK;
    PosixKey *k = key_handle(key);
    if (k == nullptr)
        return REGISTRY_ERROR_INVALID_HANDLE;
    k->magic = 0;
    delete k;
    return REGISTRY_OK;
}
