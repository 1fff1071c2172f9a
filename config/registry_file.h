// The registry's export format (REGEDIT4) as text, read and written without touching any
// file: the settings store of a system without a registry keeps its keys in this form.
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
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RegistryFileValue {
    int comment;       // a ';' line kept where it stood; its text is in name
    std::string name;  // empty for the default value
    uint32_t type;
    std::string data;  // the stored bytes
};

struct RegistryFileSection {
    std::string name;  // full key path, root included
    std::vector<RegistryFileValue> values;
};

struct RegistryFile {
    std::vector<std::string> preamble;  // comments before the first key
    std::vector<RegistryFileSection> sections;
};

// Parses the whole text into *file (emptied first). 0, or -1 when the text is not in the
// format; *file is then unspecified. A key or value named twice keeps its later line.
int registry_file_parse(const std::string &text, RegistryFile *file);

// The text of *file, in the form registry_file_parse reads back to the same keys and bytes.
std::string registry_file_format(const RegistryFile &file);

// Names compare as the registry compares them: without regard to case.
int registry_file_same_name(const std::string &a, const std::string &b);

// The section of the key path, or null.
RegistryFileSection *registry_file_section(RegistryFile *file, const std::string &path);

// The value of that name in the section (comments never match), or null.
RegistryFileValue *registry_file_value(RegistryFileSection *section, const std::string &name);

// 1 when the key exists: a root always does, any other key when it has a section or a
// section lies below it (a file written by hand may leave parents out); else 0.
int registry_file_key_exists(const RegistryFile &file, const std::string &path);

// Gives the key and each missing ancestor below its root a section of its own, as the
// registry would hold them. 1 when a section was added, 0 when all were there.
int registry_file_add_key(RegistryFile *file, const std::string &path);

// Stores the bytes with the type as the value of that name in the key's section (a
// root's section is made when missing). 1 when the file changed, 0 when the value held
// these bytes and type already, -1 when the key has no section.
int registry_file_set_value(RegistryFile *file, const std::string &path, const std::string &name,
                            uint32_t type, const std::string &data);
