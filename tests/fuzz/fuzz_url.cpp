// URL parsing and the display form, with output buffers of exactly the stated size so
// that a write one byte too far is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/url.h"

namespace {

char *exact(size_t size)
{
    return (char *)malloc(size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the display buffer's size; the rest is the URL.
    size_t display_size = 1 + data[0] % 48;
    std::string url((const char *)data + 1, size - 1);

    char *scheme = exact(URL_TEXT_SIZE), *user = exact(URL_TEXT_SIZE);
    char *password = exact(URL_TEXT_SIZE), *host = exact(URL_TEXT_SIZE);
    char *path = exact(URL_TEXT_SIZE);
    int port = -1;
    int parsed = parse_url(url.c_str(), scheme, user, password, host, &port, path);
    if (parsed != is_valid_url(url.c_str()) - 1)
        abort();
    if (parsed == 0) {
        for (const char *text : {scheme, user, password, host, path})
            if (strnlen(text, URL_TEXT_SIZE) >= URL_TEXT_SIZE)
                abort();
        if (strcmp(scheme, "ftp") != 0 && strcmp(scheme, "ftpes") != 0 && strcmp(scheme, "ftps") != 0 &&
            strcmp(scheme, "http") != 0)
            abort();
        if (path[0] != '/')
            abort();
        // Every part fits its buffer, so the composed URL fits five of them and the punctuation.
        size_t whole_size = 5 * URL_TEXT_SIZE + 32;
        char *whole = exact(whole_size);
        if (compose_url(whole, whole_size, scheme, user, password, host, port, path) != 0)
            abort();
        // Composing into a buffer too small empties it rather than cutting the URL.
        size_t length = strlen(whole);
        size_t small_size = 1 + length % display_size;
        if (small_size <= length) {
            char *small = exact(small_size);
            if (compose_url(small, small_size, scheme, user, password, host, port, path) != -1 ||
                small[0] != '\0')
                abort();
            free(small);
        }
        free(whole);
    }

    char *display = exact(display_size);
    compose_display_url(display, display_size, url.c_str());
    if (strnlen(display, display_size) >= display_size)
        abort();
    free(display);

    for (char *text : {scheme, user, password, host, path})
        free(text);
    return 0;
}
