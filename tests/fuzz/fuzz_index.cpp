// The Index step: the fuzzer's bytes are the Index file, read line by line from a
// temporary file exactly as apply_index_file reads its downloaded copy, and applied to a
// small fixed listing. The line rules live in the enumeration's private namespace, so the
// enumeration's source is compiled into this program (its archive member is then never
// linked).
#include "listing/enumeration.cpp"

#include <unistd.h>

namespace {

struct Fixed {
    const char *name;
    uint16_t mode;
};

const Fixed kListing[] = {
    {"readme.txt", LISTING_TYPE_FILE | 0644},
    {"pub", LISTING_TYPE_DIR | 0755},
    {"two words", LISTING_TYPE_FILE | 0600},
    {"link", LISTING_TYPE_DIR | 0777},
    {"", LISTING_TYPE_FILE | 0644},
    {"dev", LISTING_TYPE_CHAR | 0666},
};
const int32_t kCount = (int32_t)(sizeof kListing / sizeof kListing[0]);

char g_index[64];

void remove_index(void)
{
    remove(g_index);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    snprintf(g_index, sizeof g_index, "/tmp/kestrel-fuzz-index-%d", (int)getpid());
    atexit(remove_index);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *out = fopen(g_index, "wb");
    if (!out)
        abort();
    if (size > 0 && fwrite(data, 1, size, out) != size)
        abort();
    fclose(out);

    ListingStore store = {};
    ListingEntry scratch;
    for (int32_t i = 0; i < kCount; i++) {
        memset(&scratch, 0, sizeof scratch);
        text_copy(scratch.name, sizeof scratch.name, kListing[i].name);
        scratch.status.st_mode = kListing[i].mode;
        if (list_keep_entry(&store, &scratch) != 0)
            abort();
    }

    FILE *file = fopen(g_index, "r");
    if (!file)
        abort();
    char line[LISTING_INDEX_LINE_SIZE];
    while (fgets(line, sizeof line, file))
        apply_index_line(&store, line);
    fclose(file);

    // Only the type bits may change, and only to a file or a directory.
    const StoredEntry *entry = list_first(&store);
    for (int32_t i = 0; i < kCount; i++, entry = list_after(&store, entry)) {
        if (!entry)
            abort();
        uint16_t mode = entry->mode;
        if ((mode & 0x0FFF) != (kListing[i].mode & 0x0FFF) || strcmp(entry_name(entry), kListing[i].name) != 0)
            abort();
        uint16_t type = mode & LISTING_TYPE_MASK;
        if (type != (kListing[i].mode & LISTING_TYPE_MASK) && type != LISTING_TYPE_FILE &&
            type != LISTING_TYPE_DIR)
            abort();
    }
    listing_store_clear(&store);
    return 0;
}
