// The settings store's file on a system without a registry. Every change re-reads the
// file and writes it whole under an exclusive flock on registry.reg.lock, through a
// temporary file that is flushed and renamed over the old one: readers see the old or the
// new file, never a torn one, and two processes saving at once lose nothing.
#include "platform/store_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/text.h"

enum { MAX_FILE_SIZE = 64 << 20, READ_BLOCK = 65536 };

int platform_store_location(char *folder, char *file)
{
    char base[STORE_PATH_SIZE];
    const char *xdg = getenv("XDG_CONFIG_HOME");
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the convention asks.
    if (xdg != nullptr && xdg[0] == '/') {
        if (text_copy(base, sizeof base, xdg) != 0)
            return -1;
    } else {
        const char *home = getenv("HOME");
        if (home == nullptr || home[0] == '\0') {
            struct passwd pw, *found = nullptr;
            char buf[4096];
            if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) != 0 || found == nullptr ||
                found->pw_dir == nullptr || found->pw_dir[0] == '\0')
                return -1;
            home = found->pw_dir;
        }
        if (text_format(base, sizeof base, "%s/.config", home) != 0)
            return -1;
    }
    if (text_format(folder, STORE_PATH_SIZE, "%s/kestrel", base) != 0 ||
        text_format(file, STORE_PATH_SIZE, "%s/registry.reg", folder) != 0)
        return -1;
    return 0;
}

int platform_store_make_folder(const char *folder)
{
    char part[STORE_PATH_SIZE];
    if (text_copy(part, sizeof part, folder) != 0)
        return -1;
    size_t length = strlen(part);
    for (size_t i = 1; i <= length; i++) {
        if (i < length && folder[i] != '/')
            continue;
        part[i] = '\0';
        if (mkdir(part, 0700) != 0 && errno != EEXIST)
            return -1;
        part[i] = folder[i];
    }
    struct stat st;
    if (stat(folder, &st) != 0 || !S_ISDIR(st.st_mode))
        return -1;
    return 0;
}

int platform_store_read(const char *file, char **text, size_t *length, unsigned *mode)
{
    *text = nullptr;
    *length = 0;
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > MAX_FILE_SIZE) {
        close(fd);
        return -1;
    }
    if (mode != nullptr)
        *mode = st.st_mode & 07777;
    size_t have = 0;
    char *bytes = (char *)malloc(READ_BLOCK + 1);
    for (;;) {
        if (bytes == nullptr || have > MAX_FILE_SIZE)
            break;
        ssize_t n = read(fd, bytes + have, READ_BLOCK);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        if (n == 0) {
            close(fd);
            bytes[have] = '\0';
            *text = bytes;
            *length = have;
            return 0;
        }
        have += (size_t)n;
        char *grown = (char *)realloc(bytes, have + READ_BLOCK + 1);
        if (grown == nullptr)
            break;
        bytes = grown;
    }
    free(bytes);
    close(fd);
    return -1;
}

static int write_all(int fd, const char *text, size_t length)
{
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, text + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += (size_t)n;
    }
    return 0;
}

int platform_store_replace(const char *folder, const char *file, const char *text, size_t length,
                           unsigned mode)
{
    char name[STORE_PATH_SIZE];
    if (text_format(name, sizeof name, "%s/.registry.reg.XXXXXX", folder) != 0)
        return -1;
    int fd = mkostemp(name, O_CLOEXEC);  // created 0600
    if (fd < 0)
        return -1;
    int ok = fchmod(fd, (mode_t)mode) == 0 && write_all(fd, text, length) == 0 && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok)
        ok = rename(name, file) == 0;
    if (!ok) {
        unlink(name);
        return -1;
    }
    // The rename itself must reach the disk before the change counts as made.
    int dfd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return 0;
}

// A lock on the data file itself would be lost with the inode that every save replaces.
int platform_store_lock(const char *folder)
{
    char path[STORE_PATH_SIZE];
    if (text_format(path, sizeof path, "%s/registry.reg.lock", folder) != 0)
        return -1;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

void platform_store_unlock(int lock)
{
    flock(lock, LOCK_UN);
    close(lock);
}
