/*
 * list-and-extract: a whole Kestrel caller in one page. It opens an FTP directory,
 * lists it, downloads one file of it and closes the handle again, printing each step
 * with its result. The exit status is 0 when every step succeeded.
 *
 *     list-and-extract ftp://127.0.0.1:2121/pub/ readme.txt [destination-folder/]
 *
 * Written in C89 so that any C compiler takes it; it needs the header, the library and
 * printf, nothing else.
 */
#include <stdio.h>

#include "kestrel.h"

int main(int argc, char **argv)
{
    HARC archive;
    EntryInfo entry;
    KESTREL_LONGLONG size, total = 0;
    const char *destination;
    int found, entries = 0, extracted, closed;

    if (argc < 3 || argc > 4) {
        printf("usage: list-and-extract ftp://host[:port]/folder/ file [destination-folder/]\n");
        return 2;
    }
    destination = argc == 4 ? argv[3] : "./";
    printf("Kestrel library version %u\n", (unsigned)KestrelGetVersion());

    archive = KestrelOpenArchive(NULL, argv[1], 0);
    printf("open %s: %s\n", argv[1], archive != NULL ? "ok" : "failed");
    if (archive == NULL)
        return 1;

    /* The listing comes over once; the entries are then read like an archive's members.
       The record's sizes stop at 2 GiB; the 64-bit queries give the true ones. C89's
       printf has no conversion for them; a double holds every size below 8 PiB exactly. */
    found = KestrelFindFirst(archive, "*", &entry);
    while (found == 0) {
        if (KestrelGetOriginalSizeEx(archive, &size) != 1)
            size = entry.original_size;
        printf("  %-24s %10.0f bytes%s\n", entry.file_name, (double)size,
               (KestrelGetAttribute(archive) & 0x10) ? "  (folder)" : "");
        entries++;
        found = KestrelFindNext(archive, &entry);
    }
    KestrelGetArcOriginalSizeEx(archive, &total);
    printf("list: %d entries, %.0f bytes\n", entries, (double)total);

    extracted = KestrelExtract(archive, argv[2], destination, 0);
    printf("extract %s into %s: %s\n", argv[2], destination, extracted == 1 ? "ok" : "failed");

    closed = KestrelCloseArchive(archive);
    printf("close: %s\n", closed == 1 ? "ok" : "failed");
    return entries > 0 && extracted == 1 && closed == 1 ? 0 : 1;
}
