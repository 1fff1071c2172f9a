#include "config/registry_file.h"

#include <cctype>

#include "platform/registry.h"
#include "util/text.h"

namespace {

// 1..max_digits hex digits at s[*pos]; advances *pos. 0, or -1 for none or too many.
int parse_hex_number(const std::string &s, size_t *pos, size_t max_digits, uint32_t *out)
{
    uint32_t v = 0;
    size_t n = 0;
    int d;
    while (*pos < s.size() && (d = text_hex_value(s[*pos])) >= 0) {
        if (++n > max_digits)
            return -1;
        v = v << 4 | (uint32_t)d;
        (*pos)++;
    }
    *out = v;
    return n > 0 ? 0 : -1;
}

void skip_blanks(const std::string &s, size_t *pos)
{
    while (*pos < s.size() && (s[*pos] == ' ' || s[*pos] == '\t'))
        (*pos)++;
}

int only_blanks_from(const std::string &s, size_t pos)
{
    skip_blanks(s, &pos);
    return pos == s.size();
}

// A quoted text with \\ and \" escapes starting at s[*pos] == '"'. 0 or -1.
int parse_quoted(const std::string &s, size_t *pos, std::string *out)
{
    if (*pos >= s.size() || s[*pos] != '"')
        return -1;
    out->clear();
    for (size_t i = *pos + 1; i < s.size(); i++) {
        char c = s[i];
        if (c == '"') {
            *pos = i + 1;
            return 0;
        }
        if (c == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"'))
                return -1;
            c = s[++i];
        }
        out->push_back(c);
    }
    return -1;
}

// "01,02,ff" (possibly empty) into bytes. 0 or -1.
int parse_hex_bytes(const std::string &s, std::string *out)
{
    out->clear();
    size_t pos = 0;
    skip_blanks(s, &pos);
    if (pos == s.size())
        return 0;
    for (;;) {
        skip_blanks(s, &pos);
        uint32_t v;
        if (parse_hex_number(s, &pos, 2, &v) != 0)
            return -1;
        out->push_back((char)v);
        skip_blanks(s, &pos);
        if (pos == s.size())
            return 0;
        if (s[pos] != ',')
            return -1;
        pos++;
    }
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

// Parses one value line, and the continuation lines of a hex list after it. 0 or -1.
int parse_value(const std::vector<std::string> &lines, size_t *index, RegistryFileValue *out)
{
    const std::string &line = lines[*index];
    size_t pos = 0;
    out->comment = 0;
    if (line[0] == '@') {
        out->name.clear();
        pos = 1;
    } else if (parse_quoted(line, &pos, &out->name) != 0 || out->name.empty()) {
        return -1;
    }
    skip_blanks(line, &pos);
    if (pos >= line.size() || line[pos] != '=')
        return -1;
    pos++;
    skip_blanks(line, &pos);
    std::string rest = line.substr(pos);
    if (rest.compare(0, 1, "\"") == 0) {
        size_t p = 0;
        std::string text;
        if (parse_quoted(rest, &p, &text) != 0 || !only_blanks_from(rest, p))
            return -1;
        out->type = REGISTRY_TYPE_SZ;
        out->data = text;
        out->data.push_back('\0');
        return 0;
    }
    if (rest.compare(0, 6, "dword:") == 0) {
        size_t p = 6;
        uint32_t v;
        if (parse_hex_number(rest, &p, 8, &v) != 0 || !only_blanks_from(rest, p))
            return -1;
        out->type = REGISTRY_TYPE_DWORD;
        out->data.assign({(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)});
        return 0;
    }
    size_t p;
    if (rest.compare(0, 4, "hex:") == 0) {
        out->type = REGISTRY_TYPE_BINARY;
        p = 4;
    } else if (rest.compare(0, 4, "hex(") == 0) {
        p = 4;
        if (parse_hex_number(rest, &p, 8, &out->type) != 0 || rest.compare(p, 2, "):") != 0)
            return -1;
        p += 2;
    } else {
        return -1;  // also "=-", the import files' deletion, which a store never holds
    }
    std::string list = rest.substr(p);
    for (;;) {
        std::string t = trim_line(list);
        if (t.empty() || t.back() != '\\')
            break;
        t.pop_back();
        if (*index + 1 >= lines.size())
            return -1;
        list = t + trim_line(lines[++*index]);
    }
    return parse_hex_bytes(list, &out->data);
}

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
int plain_text(const std::string &data)
{
    if (data.empty() || data.back() != '\0')
        return 0;
    for (size_t i = 0; i + 1 < data.size(); i++) {
        char c = data[i];
        if (c == '\0' || c == '\n' || c == '\r')
            return 0;
    }
    return 1;
}

void append_value(std::string *out, const RegistryFileValue &v)
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

}  // namespace

int registry_file_parse(const std::string &text, RegistryFile *file)
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
        return -1;
    file->preamble.clear();
    file->sections.clear();
    RegistryFileSection *current = nullptr;
    for (size_t i = 1; i < lines.size(); i++) {
        std::string line = trim_line(lines[i]);
        if (line.empty())
            continue;
        if (line[0] == ';') {
            if (current == nullptr)
                file->preamble.push_back(line);
            else
                current->values.push_back(RegistryFileValue{1, line, 0, std::string()});
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 3 || line[1] == '-')
                return -1;
            std::string name = line.substr(1, line.size() - 2);
            current = registry_file_section(file, name);
            if (current == nullptr) {
                file->sections.push_back(RegistryFileSection{name, {}});
                current = &file->sections.back();
            }
            continue;
        }
        if ((line[0] != '"' && line[0] != '@') || current == nullptr)
            return -1;
        lines[i] = line;
        RegistryFileValue v;
        if (parse_value(lines, &i, &v) != 0)  // may take continuation lines
            return -1;
        RegistryFileValue *old = registry_file_value(current, v.name);
        if (old != nullptr)
            *old = v;  // as an import would: the later line wins
        else
            current->values.push_back(v);
    }
    return 0;
}

std::string registry_file_format(const RegistryFile &file)
{
    std::string out = "REGEDIT4\n";
    for (const std::string &c : file.preamble)
        out += c + "\n";
    out += "\n";
    for (const RegistryFileSection &sec : file.sections) {
        out += "[" + sec.name + "]\n";
        for (const RegistryFileValue &v : sec.values)
            append_value(&out, v);
        out += "\n";
    }
    return out;
}

// The first n bytes of a and b are the same letters, whatever their case.
static int same_letters(const char *a, const char *b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i]))
            return 0;
    }
    return 1;
}

int registry_file_same_name(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && same_letters(a.data(), b.data(), a.size());
}

RegistryFileSection *registry_file_section(RegistryFile *file, const std::string &path)
{
    for (RegistryFileSection &section : file->sections) {
        if (registry_file_same_name(section.name, path))
            return &section;
    }
    return nullptr;
}

RegistryFileValue *registry_file_value(RegistryFileSection *section, const std::string &name)
{
    for (RegistryFileValue &value : section->values) {
        if (!value.comment && registry_file_same_name(value.name, name))
            return &value;
    }
    return nullptr;
}

int registry_file_key_exists(const RegistryFile &file, const std::string &path)
{
    if (path.find('\\') == std::string::npos)
        return 1;
    for (const RegistryFileSection &section : file.sections) {
        if (section.name.size() >= path.size() &&
            same_letters(section.name.data(), path.data(), path.size()) &&
            (section.name.size() == path.size() || section.name[path.size()] == '\\'))
            return 1;
    }
    return 0;
}

int registry_file_add_key(RegistryFile *file, const std::string &path)
{
    int added = 0;
    size_t cut = path.find('\\');  // the end of the root's name
    if (cut == std::string::npos)
        return 0;
    for (;;) {
        cut = path.find('\\', cut + 1);
        std::string prefix = cut == std::string::npos ? path : path.substr(0, cut);
        if (registry_file_section(file, prefix) == nullptr) {
            file->sections.push_back(RegistryFileSection{prefix, {}});
            added = 1;
        }
        if (cut == std::string::npos)
            return added;
    }
}

int registry_file_set_value(RegistryFile *file, const std::string &path, const std::string &name,
                            uint32_t type, const std::string &data)
{
    RegistryFileSection *section = registry_file_section(file, path);
    if (section == nullptr && path.find('\\') == std::string::npos) {
        file->sections.push_back(RegistryFileSection{path, {}});
        section = &file->sections.back();
    }
    if (section == nullptr)
        return -1;
    RegistryFileValue *old = registry_file_value(section, name);
    if (old == nullptr) {
        section->values.push_back(RegistryFileValue{0, name, type, data});
        return 1;
    }
    if (old->type == type && old->data == data)
        return 0;
    old->type = type;
    old->data = data;
    return 1;
}
