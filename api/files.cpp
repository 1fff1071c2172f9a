// The file operations of the archiver interface: whole-file and streamed transfers, the
// remote file commands and the two resume controls. Each is a thin turn from the handle
// to one session operation; a null handle answers the export's failure value.
#include <cstring>

#include "api/handle.h"
#include "api/kestrel.h"
#include "config/settings.h"
#include "listing/enumeration.h"
#include "listing/listing_entry.h"
#include "session/session.h"

// The session of a handle whose operation starts: the reason of the last failure is
// kept until the next call on the handle.
static FtpSession *session_of(HARC archive)
{
    FtpSession *session = handle_session(archive);
    if (session)
        failure_clear(&session->failure);
    return session;
}

// The size the handle's listing shows for a file of that name, for the progress total of
// its download; -1 when the listing has no such file.
static int64_t listed_size_of(const ListingStore *listing, const char *remote_name)
{
    if (!remote_name)
        return -1;
    for (const StoredEntry *entry = list_first(listing); entry; entry = list_after(listing, entry))
        if ((entry->mode & LISTING_TYPE_MASK) != LISTING_TYPE_DIR && strcmp(entry_name(entry), remote_name) == 0)
            return entry->size;
    return -1;
}

extern "C" int KESTREL_API KestrelOpenFile(HARC archive, const char *remote_name, const char *mode, int ignored)
{
    (void)ignored;
    if (!archive)
        return -1;
    FtpSession *session = session_of(archive);
    session->listed_size = listed_size_of(handle_listing(archive), remote_name);
    return session_open_transfer(session, remote_name, mode) == 0 ? 0 : -1;
}

extern "C" int KESTREL_API KestrelRead(HARC archive, void *buffer, int length)
{
    if (!archive || !buffer)
        return -1;
    return session_read_data(session_of(archive), buffer, length);
}

extern "C" int KESTREL_API KestrelWrite(HARC archive, const void *buffer, int length)
{
    if (!archive || !buffer)
        return -1;
    return session_write_data(session_of(archive), buffer, length);
}

extern "C" int KESTREL_API KestrelCloseFile(HARC archive)
{
    if (!archive)
        return -1;
    return session_close_transfer(session_of(archive)) == 0 ? 0 : -1;
}

extern "C" int KESTREL_API KestrelExtract(HARC archive, const char *remote_name, const char *destination, int ignored)
{
    (void)ignored;
    if (!archive)
        return 0;
    if ((!destination || !*destination) && g_settings.DefaultDir[0] != '\0')
        destination = g_settings.DefaultDir;
    FtpSession *session = session_of(archive);
    session->listed_size = listed_size_of(handle_listing(archive), remote_name);
    return session_get_file(session, remote_name, destination, "b") == 0 ? 1 : 0;
}

extern "C" int KESTREL_API KestrelAdd(HARC archive, const char *remote_name, const char *local_file, int ignored)
{
    (void)ignored;
    if (!archive)
        return 0;
    return session_put_file(session_of(archive), remote_name, local_file, "b") == 0 ? 1 : 0;
}

extern "C" int KESTREL_API KestrelMove(HARC archive, const char *old_name, const char *new_name, int ignored)
{
    (void)ignored;
    if (!archive)
        return 0;
    return session_rename(session_of(archive), old_name, new_name) == 0 ? 1 : 0;
}

extern "C" int KESTREL_API KestrelDelete(HARC archive, const char *remote_name, int ignored)
{
    (void)ignored;
    if (!archive)
        return 0;
    return session_delete(session_of(archive), remote_name) == 0 ? 1 : 0;
}

extern "C" int KESTREL_API KestrelMkDir(HARC archive, const char *directory, int ignored)
{
    (void)ignored;
    if (!archive)
        return 0;
    return session_make_dir(session_of(archive), directory) == 0 ? 1 : 0;
}

extern "C" int KESTREL_API KestrelRmDir(HARC archive, const char *directory, int ignored)
{
    (void)ignored;
    if (!archive)
        return 0;
    return session_remove_dir(session_of(archive), directory) == 0 ? 1 : 0;
}

extern "C" int KESTREL_API KestrelRestart(HARC archive, int offset)
{
    if (!archive)
        return 0;
    return session_set_resume_offset(session_of(archive), offset) == 0 ? 1 : 0;
}

extern "C" int KESTREL_API KestrelSetResumeGetMode(HARC archive, int mode)
{
    if (!archive)
        return 0;
    return session_set_resume_mode(session_of(archive), mode) == 0 ? 1 : 0;
}
