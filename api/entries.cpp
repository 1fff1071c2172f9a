// Enumeration and entry information: the remote directory's listing seen as the members
// of an archive. Every per-entry query reads the entry under the session's cursor and
// answers its no-entry value when there is none; directory queries read the whole
// listing or the session. Nothing here talks to the server except the listing itself
// and the reverse lookup of KestrelGetArcFileName. A null handle answers each export's
// failure value.
#include <cstdint>
#include <cstring>
#include <ctime>

#include "api/handle.h"
#include "api/kestrel.h"
#include "api/open_and_stamps.h"
#include "listing/enumeration.h"
#include "platform/time.h"
#include "session/session.h"
#include "util/datetime.h"
#include "util/text.h"
#include "util/url.h"

namespace {

enum {
    WILDCARD_SIZE = 1000,
    ARC_URL_SIZE = 1000,
    ENTRY_NAME_FIELD = 513,
    ENTRY_METHOD_FIELD = 8,
    NO_STAMP = 0xFFFF,
    RATIO_PER_MILLE = 1000,
};

const char METHOD[] = "-ftp-";

FtpSession *session_of(HARC archive)
{
    return handle_session(archive);
}

const StoredEntry *entry_of(HARC archive)
{
    return current_entry(handle_listing(archive));
}

// The MS-DOS date and time of a moment, in local time. The moment 0 is the format's own
// epoch, and so is a moment the runtime cannot convert. The stamp reaches past 2038, so
// it takes the whole time, not the 32-bit field's.
void dos_stamp(int64_t seconds, uint16_t *date, uint16_t *time_of_day)
{
    struct tm local;
    int known = seconds != 0 && platform_local_time(seconds, &local) == 0;
    dos_stamp_from_fields(known ? &local : nullptr, date, time_of_day);
}

// The 32-bit size field: the size, or past 2 GiB - 1 the largest value the field holds
// rather than a wrapped one. Sizes are never negative.
int32_t size_field_of(const StoredEntry *entry)
{
    return entry->size > INT32_MAX ? INT32_MAX : (int32_t)entry->size;
}

int attribute_of(const StoredEntry *entry)
{
    int mode = entry->mode;
    int value = 0;
    if (mode & LISTING_TYPE_DIR)
        value |= 0x10;
    if (!(mode & 0x080))
        value |= 0x01;
    if (!(mode & 0x100))
        value |= 0x02;
    return value;
}

int os_type_of(const FtpSession *session)
{
    const char *name = session->system_type;
    if (strcmp(name, "MS-DOS") == 0)
        return 0;
    if (strcmp(name, "OS/2") == 0)
        return 5;
    if (strcmp(name, "UNIX") == 0)
        return 2;
    return 10;
}

// Copies as the C library's bounded copy does: at most size bytes, the rest of the
// buffer NUL-filled, no terminator when the text fills the buffer.
int copy_padded(char *buffer, int size, const char *text, size_t text_length)
{
    if (!buffer || size < 1)
        return -1;
    size_t length = (size_t)size < text_length ? (size_t)size : text_length;
    memcpy(buffer, text, length);
    memset(buffer + length, 0, (size_t)size - length);
    return 0;
}

int file_name_of(const StoredEntry *entry, char *buffer, int size)
{
    // A directory's '/' must fit behind the name: the name takes at most size - 2.
    if (!buffer || size < 2)
        return -1;
    text_copy(buffer, (size_t)size - 1, entry_name(entry));
    size_t length = strlen(buffer);
    if ((attribute_of(entry) & 0x10) && (length == 0 || buffer[length - 1] != '/')) {
        buffer[length] = '/';
        buffer[length + 1] = '\0';
    }
    return 0;
}

int method_of(char *buffer, int size)
{
    if (!buffer || size < 1)
        return -1;
    text_copy(buffer, (size_t)size, METHOD);
    return 0;
}

// A FILETIME counts 100-ns intervals from 1601-01-01 00:00 UTC, 11,644,473,600 s before
// 1970. A time before 1601 has no FILETIME and gives the first one; a time past the
// last one (in the year 30828) gives the last.
void filetime_from_unix(int64_t seconds, uint32_t *low, uint32_t *high)
{
    const int64_t EPOCH_DISTANCE = 11644473600LL;
    const int64_t TICKS_PER_SECOND = 10000000;
    int64_t since_1601 = seconds + EPOCH_DISTANCE;
    uint64_t ticks;
    if (since_1601 < 0)
        ticks = 0;
    else if (since_1601 > INT64_MAX / TICKS_PER_SECOND)
        ticks = (uint64_t)INT64_MAX;
    else
        ticks = (uint64_t)(since_1601 * TICKS_PER_SECOND);
    *low = (uint32_t)ticks;
    *high = (uint32_t)(ticks >> 32);
}

// The directory's own time: that of its "." entry, the last one if the server listed
// several; 0 without one.
int64_t directory_time(const ListingStore *listing)
{
    int64_t seconds = 0;
    for (const StoredEntry *entry = list_first(listing); entry; entry = list_after(listing, entry))
        if (entry->name_length == 1 && entry_name(entry)[0] == '.')
            seconds = entry->mtime;
    return seconds;
}

// Writes the record field by field, in its layout's order. The pad bytes and whatever
// follows a terminator stay as the caller left them.
void fill_entry_info(const FtpSession *session, const StoredEntry *entry, EntryInfo *info)
{
    uint16_t date, time_of_day;
    dos_stamp(entry->mtime, &date, &time_of_day);
    info->original_size = (uint32_t)size_field_of(entry);
    info->compressed_size = (uint32_t)size_field_of(entry);
    info->crc = 0;
    info->flag = 0;
    info->os_type = (uint32_t)os_type_of(session);
    info->ratio = RATIO_PER_MILLE;
    info->date = date;
    info->time = time_of_day;
    file_name_of(entry, info->file_name, ENTRY_NAME_FIELD);
    int attribute = attribute_of(entry);
    info->attribute[0] = (attribute & 0x20) ? 'A' : '-';
    info->attribute[1] = (attribute & 0x04) ? 'S' : '-';
    info->attribute[2] = (attribute & 0x02) ? 'H' : '-';
    info->attribute[3] = (attribute & 0x01) ? 'R' : '-';
    info->attribute[4] = '\0';
    method_of(info->method, ENTRY_METHOD_FIELD);
}

}  // namespace

extern "C" int KESTREL_API KestrelFindNext(HARC archive, EntryInfo *info)
{
    FtpSession *session = session_of(archive);
    if (!session)
        return -1;
    const StoredEntry *entry = next_entry(handle_listing(archive));
    if (!entry)
        return -1;
    if (info)
        fill_entry_info(session, entry, info);
    return 0;
}

extern "C" int KESTREL_API KestrelFindFirst(HARC archive, const char *wildcard, EntryInfo *info)
{
    FtpSession *session = session_of(archive);
    if (!session)
        return -1;
    failure_clear(&session->failure);
    if (!wildcard)
        wildcard = "";
    char buffer[WILDCARD_SIZE];
    // An overlong pattern goes to the listing whole, which refuses it and marks the
    // listing failed: a cut pattern would list something else.
    if (text_copy(buffer, sizeof buffer, wildcard) != 0)
        return list_directory(session, handle_listing(archive), wildcard) == 0 ? KestrelFindNext(archive, info) : -1;
    char *name = strrchr(buffer, '/');
    if (!name)
        name = strrchr(buffer, '\\');
    name = name ? name + 1 : buffer;
    // "All files" is the server's default: those patterns list the folder itself.
    if (strcmp(name, "*.*") == 0 || strcmp(name, "*") == 0)
        *name = '\0';
    if (list_directory(session, handle_listing(archive), buffer) != 0)
        return -1;
    return KestrelFindNext(archive, info);
}

extern "C" int KESTREL_API KestrelGetFileCount(const char *url)
{
    HARC archive = KestrelOpenArchive(nullptr, url, 0);
    if (!archive)
        return -1;
    int count = 0;
    for (int found = KestrelFindFirst(archive, "", nullptr); found == 0; found = KestrelFindNext(archive, nullptr))
        count++;
    KestrelCloseArchive(archive);
    return count;
}

extern "C" int KESTREL_API KestrelGetFileName(HARC archive, char *buffer, int size)
{
    const StoredEntry *entry = entry_of(archive);
    return entry ? file_name_of(entry, buffer, size) : -1;
}

extern "C" int KESTREL_API KestrelGetOriginalSize(HARC archive)
{
    const StoredEntry *entry = entry_of(archive);
    return entry ? size_field_of(entry) : -1;
}

extern "C" int KESTREL_API KestrelGetCompressedSize(HARC archive)
{
    return KestrelGetOriginalSize(archive);
}

extern "C" uint16_t KESTREL_API KestrelGetRatio(HARC archive)
{
    (void)archive;
    return RATIO_PER_MILLE;
}

extern "C" uint16_t KESTREL_API KestrelGetDate(HARC archive)
{
    const StoredEntry *entry = entry_of(archive);
    if (!entry)
        return NO_STAMP;
    uint16_t date, time_of_day;
    dos_stamp(entry->mtime, &date, &time_of_day);
    return date;
}

extern "C" uint16_t KESTREL_API KestrelGetTime(HARC archive)
{
    const StoredEntry *entry = entry_of(archive);
    if (!entry)
        return NO_STAMP;
    uint16_t date, time_of_day;
    dos_stamp(entry->mtime, &date, &time_of_day);
    return time_of_day;
}

extern "C" int KESTREL_API KestrelGetWriteTime(HARC archive)
{
    const StoredEntry *entry = entry_of(archive);
    return entry ? time_field_of(entry->mtime) : -1;
}

extern "C" int KESTREL_API KestrelGetCreateTime(HARC archive)
{
    return KestrelGetWriteTime(archive);
}

extern "C" int KESTREL_API KestrelGetAttribute(HARC archive)
{
    const StoredEntry *entry = entry_of(archive);
    return entry ? attribute_of(entry) : -1;
}

extern "C" int KESTREL_API KestrelGetFileMode(HARC archive)
{
    const StoredEntry *entry = entry_of(archive);
    return entry ? (int)entry->mode : -1;
}

extern "C" int KESTREL_API KestrelGetArcOSType(HARC archive)
{
    FtpSession *session = session_of(archive);
    return session ? os_type_of(session) : -1;
}

extern "C" int KESTREL_API KestrelGetOSType(HARC archive)
{
    return KestrelGetArcOSType(archive);
}

extern "C" int KESTREL_API KestrelGetMethod(HARC archive, char *buffer, int size)
{
    return entry_of(archive) ? method_of(buffer, size) : -1;
}

extern "C" int KESTREL_API KestrelGetLinkName(HARC archive, char *buffer, int size)
{
    const StoredEntry *entry = entry_of(archive);
    return entry ? copy_padded(buffer, size, entry_link_target(entry), entry_link_length(entry)) : -1;
}

extern "C" int KESTREL_API KestrelGetUserName(HARC archive, char *buffer, int size)
{
    const StoredEntry *entry = entry_of(archive);
    return entry ? copy_padded(buffer, size, entry_owner(entry), entry->owner_length) : -1;
}

extern "C" int KESTREL_API KestrelGetGroupName(HARC archive, char *buffer, int size)
{
    const StoredEntry *entry = entry_of(archive);
    return entry ? copy_padded(buffer, size, entry_group(entry), entry->group_length) : -1;
}

extern "C" int KESTREL_API KestrelGetArcFileName(HARC archive, char *buffer, int size)
{
    FtpSession *session = session_of(archive);
    if (!session || !buffer || size < 1)
        return -1;
    char host[ARC_URL_SIZE];
    if (lookup_host_name(session->server_address, host, sizeof host) != 0)
        format_address(session->server_address, host, sizeof host);
    char url[ARC_URL_SIZE];
    // A URL that does not fit is refused rather than cut: it carries the password, and a
    // cut one would name another place.
    const char *scheme = session->tls_mode == SESSION_TLS_EXPLICIT   ? "ftpes"
                         : session->tls_mode == SESSION_TLS_IMPLICIT ? "ftps"
                                                                     : "ftp";
    if (compose_url(url, sizeof url, scheme, session->user, session->password, host, (int)session->server_port,
                    session->current_dir) != 0)
        return -1;
    text_copy(buffer, (size_t)size, url);
    return 0;
}

extern "C" int KESTREL_API KestrelGetArcOriginalSize(HARC archive)
{
    FtpSession *session = session_of(archive);
    if (!session)
        return -1;
    uint32_t total = 0;
    const ListingStore *listing = handle_listing(archive);
    for (const StoredEntry *entry = list_first(listing); entry; entry = list_after(listing, entry))
        total += (uint32_t)size_field_of(entry);
    return (int)total;
}

extern "C" int KESTREL_API KestrelGetArcFileSize(HARC archive)
{
    return KestrelGetArcOriginalSize(archive);
}

extern "C" uint16_t KESTREL_API KestrelGetArcDate(HARC archive)
{
    FtpSession *session = session_of(archive);
    if (!session)
        return NO_STAMP;
    uint16_t date, time_of_day;
    dos_stamp(directory_time(handle_listing(archive)), &date, &time_of_day);
    return date;
}

extern "C" uint16_t KESTREL_API KestrelGetArcTime(HARC archive)
{
    FtpSession *session = session_of(archive);
    if (!session)
        return NO_STAMP;
    uint16_t date, time_of_day;
    dos_stamp(directory_time(handle_listing(archive)), &date, &time_of_day);
    return time_of_day;
}

// The 64-bit queries: the same values as their 32-bit counterparts, but the size as the
// server gave it and the time as a FILETIME. 1 with the value written, 0 (nothing
// written) without a current entry, for a null handle or a null pointer.
extern "C" int KESTREL_API KestrelGetOriginalSizeEx(HARC archive, KESTREL_LONGLONG *size)
{
    const StoredEntry *entry = entry_of(archive);
    if (!entry || !size)
        return 0;
    *size = entry->size;
    return 1;
}

extern "C" int KESTREL_API KestrelGetCompressedSizeEx(HARC archive, KESTREL_LONGLONG *size)
{
    return KestrelGetOriginalSizeEx(archive, size);
}

// The totals count every entry of the listing, as KestrelGetArcOriginalSize does, but
// without wrapping.
extern "C" int KESTREL_API KestrelGetArcOriginalSizeEx(HARC archive, KESTREL_LONGLONG *size)
{
    FtpSession *session = session_of(archive);
    if (!session || !size)
        return 0;
    int64_t total = 0;
    const ListingStore *listing = handle_listing(archive);
    for (const StoredEntry *entry = list_first(listing); entry; entry = list_after(listing, entry))
        total += entry->size;
    *size = total;
    return 1;
}

extern "C" int KESTREL_API KestrelGetArcCompressedSizeEx(HARC archive, KESTREL_LONGLONG *size)
{
    return KestrelGetArcOriginalSizeEx(archive, size);
}

extern "C" int KESTREL_API KestrelGetWriteTimeEx(HARC archive, KESTREL_FILETIME *write_time)
{
    const StoredEntry *entry = entry_of(archive);
    if (!entry || !write_time)
        return 0;
    uint32_t halves[2];
    filetime_from_unix(entry->mtime, &halves[0], &halves[1]);
    // The caller's record is two 32-bit halves, low first, on every target; on Windows
    // its type is the system's, which this file does not see.
    memcpy(write_time, halves, sizeof halves);
    return 1;
}

// Names that share one implementation. The Windows export table maps each of them to
// its implementation's export; these forwarders give the library's own callers (the
// command entry, programs linked against the static library) the same names on both
// targets, which an export-table alias cannot.
extern "C" int KESTREL_API KestrelGetAccessTime(HARC archive)
{
    return KestrelGetCreateTime(archive);
}

extern "C" int KESTREL_API KestrelGetArcCompressedSize(HARC archive)
{
    return KestrelGetArcFileSize(archive);
}

extern "C" uint16_t KESTREL_API KestrelGetArcRatio(HARC archive)
{
    return KestrelGetRatio(archive);
}

int kestrel_listing_failed(HARC archive)
{
    return listing_failed(handle_listing(archive));
}

int32_t dos_stamp_to_time(uint16_t date, uint16_t time_of_day)
{
    struct tm fields;
    dos_stamp_to_fields(date, time_of_day, &fields);
    // The words were made by the runtime's local time, daylight saving included; read
    // them back the same way, or a summer stamp would come back an hour late.
    return local_fields_to_time_zoned(&fields, platform_zone_offset(), platform_zone_offset_at);
}

int dos_stamp_local_fields(uint16_t date, uint16_t time_of_day, struct tm *out)
{
    if (platform_local_time(dos_stamp_to_time(date, time_of_day), out) == 0)
        return 0;
    memset(out, 0, sizeof *out);
    return -1;
}
