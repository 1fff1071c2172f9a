// The handle's side of the command layer's folder transfers (api/tree.h): thin turns
// from the handle to the session and its listing store.
#include "api/tree.h"

#include <cstring>

#include "api/handle.h"
#include "listing/enumeration.h"
#include "listing/listing_entry.h"
#include "session/session.h"

// The session of a handle whose operation starts: as for every export, the reason of
// the last failure is kept only until the next call.
static FtpSession *tree_session(HARC archive)
{
    FtpSession *session = handle_session(archive);
    if (session)
        failure_clear(&session->failure);
    return session;
}

int kestrel_list_folder(HARC archive, const char *path, TreeTake take, void *user)
{
    FtpSession *session = tree_session(archive);
    if (!session || !path || !take)
        return -1;
    ListingStore *store = handle_listing(archive);
    if (list_directory(session, store, path) != 0)
        return -1;
    for (const StoredEntry *entry = list_first(store); entry; entry = list_after(store, entry)) {
        TreeListed listed;
        listed.name = entry_name(entry);
        listed.link_target = entry_link_target(entry);
        listed.is_link = listed.link_target[0] != '\0';
        listed.is_folder = (entry->mode & LISTING_TYPE_MASK) == LISTING_TYPE_DIR;
        listed.size = entry->size;
        take(user, &listed);
    }
    return 0;
}

int kestrel_extract_sized(HARC archive, const char *remote_name, const char *local_path, int64_t size)
{
    FtpSession *session = tree_session(archive);
    if (!session || !local_path || !*local_path)
        return 0;
    session->listed_size = size;
    return session_get_file(session, remote_name, local_path, "b") == 0 ? 1 : 0;
}

int kestrel_make_remote_folder(HARC archive, const char *path)
{
    FtpSession *session = tree_session(archive);
    if (!session || !path || !*path)
        return 0;
    if (session_make_dir(session, path) == 0)
        return 1;
    // The refusal may only say the folder is there: a CWD into it tells, and the CWD
    // back keeps every later relative name where it was.
    if (session_command(session, "CWD %s\r\n", path) != 250)
        return 0;
    const char *back = session->current_dir[0] != '\0' ? session->current_dir : "/";
    if (session_command(session, "CWD %s\r\n", back) != 250) {
        session_refused(session, FAILURE_SERVER);
        return 0;
    }
    failure_clear(&session->failure);
    return 1;
}

void kestrel_keep_type(HARC archive, int on)
{
    FtpSession *session = handle_session(archive);
    if (session)
        session->keep_type = on ? 1 : 0;
}

int kestrel_cancelled(HARC archive)
{
    FtpSession *session = handle_session(archive);
    return session && session->limits.cancelled.load() != 0 ? 1 : 0;
}
