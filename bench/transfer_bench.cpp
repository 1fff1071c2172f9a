// One transfer through the exported interface, for bench/transfer-bench:
//   transfer_bench stream  URL NAME BLOCK         KestrelOpenFile/KestrelRead, bytes dropped
//   transfer_bench tofile  URL NAME BLOCK LOCAL   the same, each block written to LOCAL
//   transfer_bench extract URL NAME LOCAL         KestrelExtract
//   transfer_bench add     URL NAME LOCAL         KestrelAdd
//   transfer_bench write   URL NAME BLOCK LOCAL   KestrelOpenFile "wb"/KestrelWrite in
//                                                 BLOCK-byte pieces of LOCAL
// Prints the bytes moved on standard output; on standard error the peak resident size
// with the handle open and idle, and after the transfer (Linux only). Exits non-zero on
// failure. Timing is the caller's.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "api/kestrel.h"

// Peak resident size of the process so far in KiB; -1 where it cannot be told.
static long peak_kib(void)
{
#ifdef _WIN32
    return -1;
#else
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return -1;
    return usage.ru_maxrss;
#endif
}

static int streamed_read(HARC archive, const char *name, int block, FILE *out, long long *moved)
{
    std::vector<char> buffer((size_t)block);
    if (KestrelOpenFile(archive, name, "rb", 0) != 0)
        return 1;
    int got;
    while ((got = KestrelRead(archive, buffer.data(), block)) > 0) {
        if (out && fwrite(buffer.data(), 1, (size_t)got, out) != (size_t)got) {
            got = -1;
            break;
        }
        *moved += got;
    }
    int closed = KestrelCloseFile(archive);
    return got < 0 || closed != 0 ? 1 : 0;
}

static int streamed_write(HARC archive, const char *name, int block, FILE *in, long long *moved)
{
    std::vector<char> buffer((size_t)block);
    if (KestrelOpenFile(archive, name, "wb", 0) != 0)
        return 1;
    int failed = 0;
    size_t got;
    while (!failed && (got = fread(buffer.data(), 1, (size_t)block, in)) > 0) {
        if (KestrelWrite(archive, buffer.data(), (int)got) != (int)got)
            failed = 1;
        else
            *moved += (long long)got;
    }
    if (ferror(in))
        failed = 1;
    if (KestrelCloseFile(archive) != 0)
        failed = 1;
    return failed;
}

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: transfer_bench stream|tofile|extract|add|write URL NAME BLOCK|LOCAL [LOCAL]\n");
        return 2;
    }
    const char *how = argv[1];
    HARC archive = KestrelOpenArchive(nullptr, argv[2], 0);
    if (!archive) {
        fprintf(stderr, "cannot open %s\n", argv[2]);
        return 1;
    }
    long idle = peak_kib();
    long long moved = 0;
    int status = 0;
    if (strcmp(how, "extract") == 0) {
        status = KestrelExtract(archive, argv[3], argv[4], 0) == 1 ? 0 : 1;
    } else if (strcmp(how, "add") == 0) {
        status = KestrelAdd(archive, argv[3], argv[4], 0) == 1 ? 0 : 1;
    } else {
        int block = atoi(argv[4]);
        if (block <= 0)
            block = 4096;
        const char *local = argc >= 6 ? argv[5] : nullptr;
        int writing = strcmp(how, "write") == 0;
        FILE *file = nullptr;
        if ((writing || strcmp(how, "tofile") == 0) && (!local || !(file = fopen(local, writing ? "rb" : "wb")))) {
            fprintf(stderr, "no local file\n");
            return 2;
        }
        // The pieces handed to KestrelWrite are BLOCK bytes; the source itself is read in
        // large pieces, so that the figure is the interface's cost and not the C
        // library's 4096-byte file reads.
        static char source_buffer[1 << 20];
        if (writing)
            setvbuf(file, source_buffer, _IOFBF, sizeof source_buffer);
        status = writing ? streamed_write(archive, argv[3], block, file, &moved)
                         : streamed_read(archive, argv[3], block, file, &moved);
        if (file && fclose(file) != 0)
            status = 1;
    }
    long peak = peak_kib();
    KestrelCloseArchive(archive);
    if (idle >= 0 && peak >= 0)
        fprintf(stderr, "peak-rss-kib idle %ld transfer %ld\n", idle, peak);
    printf("%lld\n", moved);
    return status;
}
