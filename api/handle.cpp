#include "api/handle.h"

#include <cassert>
#include <new>

KestrelHandle *handle_create(void)
{
    KestrelHandle *handle = new (std::nothrow) KestrelHandle();
    if (!handle)
        return nullptr;
    handle->session = session_create();
    if (!handle->session) {
        delete handle;
        return nullptr;
    }
    handle->options.timeout = -1;
    handle->options.data_mode = -1;
    handle->options.tls_verify = -1;
    handle->options.use_mlsd = -1;
    // Commands find a name that the caller's set cannot show in this handle's listing.
    handle->session->server_name_of = list_server_name;
    handle->session->server_name_context = &handle->listing;
    return handle;
}

void handle_destroy(KestrelHandle *handle)
{
    if (!handle)
        return;
    listing_store_clear(&handle->listing);
    session_destroy(handle->session);
    delete handle;
}

KestrelHandle *handle_of(HARC archive)
{
    return (KestrelHandle *)archive;
}

FtpSession *handle_session(HARC archive)
{
    KestrelHandle *handle = handle_of(archive);
    if (!handle)
        return nullptr;
    assert(handle->session != nullptr);
    return handle->session;
}

ListingStore *handle_listing(HARC archive)
{
    KestrelHandle *handle = handle_of(archive);
    return handle ? &handle->listing : nullptr;
}
