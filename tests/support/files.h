// Whole-file reads and writes for tests and fuzz targets (no GoogleTest here, so the fuzz
// programs can use it too).
#pragma once

#include <cstdio>
#include <string>

// The file's bytes into *bytes; false when it cannot be opened or read.
inline bool files_read(const std::string &path, std::string *bytes)
{
    bytes->clear();
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char block[65536];
    size_t got;
    while ((got = fread(block, 1, sizeof block, f)) > 0)
        bytes->append(block, got);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

// Replaces the file with the bytes; false when it cannot be written whole.
inline bool files_write(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}
