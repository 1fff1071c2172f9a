// Walks one remote directory through the exported enumeration, the way an archiver's
// caller does: KestrelFindFirst, then KestrelFindNext until the end, one EntryInfo per
// entry. Prints the entry count, the byte total and the walk's own time.
//
//     listing_client ftp://127.0.0.1:PORT/dir/
#include <chrono>
#include <cstdio>

#include "api/kestrel.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: listing_client URL\n");
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    HARC archive = KestrelOpenArchive(nullptr, argv[1], 0);
    if (!archive) {
        fprintf(stderr, "listing_client: cannot open %s\n", argv[1]);
        return 1;
    }
    auto opened = std::chrono::steady_clock::now();
    EntryInfo info;
    long count = 0;
    unsigned long long bytes = 0;
    for (int found = KestrelFindFirst(archive, "*.*", &info); found == 0; found = KestrelFindNext(archive, &info)) {
        count++;
        bytes += info.original_size;
    }
    auto walked = std::chrono::steady_clock::now();
    KestrelCloseArchive(archive);
    double open_ms = std::chrono::duration<double, std::milli>(opened - start).count();
    double walk_ms = std::chrono::duration<double, std::milli>(walked - opened).count();
    printf("entries=%ld bytes=%llu open_ms=%.1f walk_ms=%.1f\n", count, bytes, open_ms, walk_ms);
    return 0;
}
