// One download through the exported interface, for bench/transfer-bench:
//   transfer_bench stream  URL NAME BLOCK         KestrelOpenFile/KestrelRead, bytes dropped
//   transfer_bench tofile  URL NAME BLOCK LOCAL   the same, each block written to LOCAL
//   transfer_bench extract URL NAME LOCAL         KestrelExtract (its own 4096-byte blocks)
// Prints the bytes moved; exits non-zero on failure. Timing is the caller's.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/kestrel.h"

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: transfer_bench stream|tofile|extract URL NAME BLOCK|LOCAL [LOCAL]\n");
        return 2;
    }
    const char *how = argv[1];
    HARC archive = KestrelOpenArchive(nullptr, argv[2], 0);
    if (!archive) {
        fprintf(stderr, "cannot open %s\n", argv[2]);
        return 1;
    }
    long long moved = 0;
    int status = 0;
    if (strcmp(how, "extract") == 0) {
        status = KestrelExtract(archive, argv[3], argv[4], 0) == 1 ? 0 : 1;
    } else {
        int block = atoi(argv[4]);
        FILE *out = nullptr;
        if (strcmp(how, "tofile") == 0 && (argc < 6 || !(out = fopen(argv[5], "wb")))) {
            fprintf(stderr, "no local file\n");
            return 2;
        }
        std::vector<char> buffer((size_t)(block > 0 ? block : 4096));
        if (KestrelOpenFile(archive, argv[3], "rb", 0) != 0) {
            status = 1;
        } else {
            int got;
            while ((got = KestrelRead(archive, buffer.data(), (int)buffer.size())) > 0) {
                if (out && fwrite(buffer.data(), 1, (size_t)got, out) != (size_t)got) {
                    got = -1;
                    break;
                }
                moved += got;
            }
            if (got < 0 || KestrelCloseFile(archive) != 0)
                status = 1;
        }
        if (out && fclose(out) != 0)
            status = 1;
    }
    KestrelCloseArchive(archive);
    printf("%lld\n", moved);
    return status;
}
