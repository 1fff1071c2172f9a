// The exported handle: a record of its own that owns the parts of one open remote
// directory, each made, used and freed in its own folder: the session (session/: the
// connection, login, modes and the reason of the last failure), the entries of the last
// listing (listing/) and the options the caller set on this handle (here). Callers see only its address. A cancel
// from another thread reaches the session's limits, which live as long as the handle.
#pragma once

#include <cstdint>

#include "api/kestrel.h"
#include "config/settings.h"
#include "listing/enumeration.h"
#include "session/session.h"

// What a handle's options override; -1 (an empty CA file name with has_ca_file 0) keeps
// the stored setting.
struct HandleOptions {
    int32_t timeout;
    int32_t data_mode;
    int32_t tls_verify;
    int32_t has_ca_file;
    char ca_file[SETTINGS_TEXT_SIZE];
    int32_t use_mlsd;
    int32_t has_charset;
    char charset[CHARSET_NAME_SIZE];
    int32_t open_tried;  // a handle connects once
};

struct KestrelHandle {
    FtpSession *session;
    ListingStore listing;
    HandleOptions options;
};

// A new handle with its session and no option set; null without memory.
KestrelHandle *handle_create(void);
void handle_destroy(KestrelHandle *handle);
// The record behind an exported handle, and its session; null for a null handle.
KestrelHandle *handle_of(HARC archive);
FtpSession *handle_session(HARC archive);
ListingStore *handle_listing(HARC archive);
