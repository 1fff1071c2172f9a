// What the command layer's folder transfers need from a handle besides the exports: a
// listing of any folder below the handle's, a download whose size the caller already
// knows, a remote folder made whether or not it was there, one TYPE for a run of files,
// and whether the handle was cancelled. Like api/open_and_stamps.h, meant for command/
// only; every call takes a handle that one thread works with at a time.
#pragma once

#include <cstdint>

#include "api/kestrel.h"

// One entry of a folder's listing as the walk sees it. is_link: the server listed a
// symbolic link (target in link_target), whatever the parser guessed it points to.
struct TreeListed {
    const char *name;
    const char *link_target;
    int is_folder;
    int is_link;
    int64_t size;
};

typedef void (*TreeTake)(void *user, const TreeListed *entry);

// Lists the folder at path ("" for the handle's own; relative to it otherwise) and hands
// each entry to take, in the server's order. 0 after a complete listing, -1 when it
// failed (the handle's failure says why). The handle's own listing is replaced.
int kestrel_list_folder(HARC archive, const char *path, TreeTake take, void *user);

// KestrelExtract of remote_name into the local file path (not a folder), with the
// progress total known from a listing (-1: none). 1 or 0 as KestrelExtract.
int kestrel_extract_sized(HARC archive, const char *remote_name, const char *local_path, int64_t size);

// MKD of path; a folder that is there already (the server refuses the MKD, but it can
// change into it) counts as made. 1 or 0.
int kestrel_make_remote_folder(HARC archive, const char *path);

// From now on the handle sends TYPE only when the type changes (on = 1), or before every
// transfer as usual (0).
void kestrel_keep_type(HARC archive, int on);

// 1 once the handle was cancelled (by KestrelCancel from any thread), else 0. Safe from
// any thread while the handle is open.
int kestrel_cancelled(HARC archive);
