#include "platform/tempfile.h"

#include <cstdlib>
#include <unistd.h>

#include "util/text.h"

int platform_temp_file(const char *tag, char *path, size_t size)
{
    if (tag == nullptr || path == nullptr || size == 0)
        return -1;
    const char *folder = getenv("TMPDIR");
    if (folder == nullptr || folder[0] == '\0')
        folder = "/tmp";
    // mkstemp opens with O_CREAT|O_EXCL and mode 0600: the file is new and ours alone.
    if (text_format(path, size, "%s/%s-XXXXXX", folder, tag) != 0) {
        path[0] = '\0';
        return -1;
    }
    int fd = mkstemp(path);
    if (fd < 0) {
        path[0] = '\0';
        return -1;
    }
    close(fd);
    return 0;
}
