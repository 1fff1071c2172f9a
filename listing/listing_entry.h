// One parsed line of a directory listing. The record has a fixed size so that the
// session can keep a listing as one plain array; the parser zero-fills it first, and
// afterwards only the index step may change an entry (its file type).
#pragma once

#include <cstdint>
// The C library's stat header comes first on purpose: glibc spells the three time
// fields as macros (st_mtime -> st_mtim.tv_sec), and they must already be in force
// when the record below is declared, or the record and its readers would disagree.
#include <sys/stat.h>

enum {
    LISTING_OWNER_SIZE = 256,
    LISTING_GROUP_SIZE = 256,
    LISTING_NAME_SIZE = 1024,
    LISTING_LINK_SIZE = 1024,
};

// File types in the top four bits of st_mode.
enum {
    LISTING_TYPE_MASK = 0xF000,
    LISTING_TYPE_CHAR = 0x2000,
    LISTING_TYPE_DIR = 0x4000,
    LISTING_TYPE_FILE = 0x8000,
    LISTING_TYPE_LINK = 0xA000,   // only while a line is being parsed
};

// The fields of the Windows _stat record, in its order and widths: sizes and times are
// signed 32-bit on every target.
struct ListingStatus {
    uint32_t st_dev;
    uint16_t st_ino;
    uint16_t st_mode;
    int16_t st_nlink;
    int16_t st_uid;
    int16_t st_gid;
    uint32_t st_rdev;
    int32_t st_size;
#ifdef st_mtime
    // Under glibc's macros a reader's `status.st_mtime` becomes `status.st_mtim.tv_sec`;
    // this spelling gives it the same 32-bit field at the same place.
    struct { int32_t tv_sec; } st_atim, st_mtim, st_ctim;
#else
    int32_t st_atime;
    int32_t st_mtime;
    int32_t st_ctime;
#endif
};

struct ListingEntry {
    ListingStatus status;
    // The size as the server gave it; status.st_size holds it only up to 2 GiB - 1.
    int64_t size;
    // The time as the server gave it, seconds since 1970 (negative before); status.st_mtime
    // holds it only from 1901-12-13 to 2038-01-19 and the nearest end of that outside.
    int64_t mtime;
    char owner[LISTING_OWNER_SIZE];
    char group[LISTING_GROUP_SIZE];
    char name[LISTING_NAME_SIZE];
    char link_target[LISTING_LINK_SIZE];
};
