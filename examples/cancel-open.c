/*
 * Opens an FTP directory with a time limit of its own while a second thread cancels the
 * open after a while, and prints why the open failed, if it did.
 *
 *   cancel-open URL [milliseconds before the cancel, default 1000] [time limit in s, default 10]
 *
 * A server that answers quickly is listed before the cancel comes; one that hangs (or a
 * slow login) is cancelled, and the program prints "open failed: cancelled".
 */
#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#endif

#include <kestrel.h>

static HARC handle;
static long cancel_after_ms = 1000;

#ifdef _WIN32
static DWORD WINAPI canceller(LPVOID unused)
{
    (void)unused;
    Sleep((DWORD)cancel_after_ms);
    KestrelCancel(handle, 0);
    return 0;
}
#else
static void *canceller(void *unused)
{
    struct timespec pause;
    (void)unused;
    pause.tv_sec = cancel_after_ms / 1000;
    pause.tv_nsec = (cancel_after_ms % 1000) * 1000000L;
    nanosleep(&pause, NULL);
    KestrelCancel(handle, 0);
    return NULL;
}
#endif

int main(int argc, char **argv)
{
    char reason[256];
    int opened, entries = 0;
    EntryInfo entry;
#ifdef _WIN32
    HANDLE thread;
#else
    pthread_t thread;
#endif

    if (argc < 2) {
        fprintf(stderr, "usage: cancel-open URL [cancel after ms] [time limit s]\n");
        return 2;
    }
    if (argc > 2)
        cancel_after_ms = atol(argv[2]);
    handle = KestrelNewArchiveEx();
    if (handle == NULL)
        return 1;
    /* Every wait of this handle ends after this long without progress. */
    if (KestrelSetOptionEx(handle, "Timeout", argc > 3 ? argv[3] : "10") != 1) {
        KestrelGetErrorEx(handle, reason, (int)sizeof reason);
        printf("option refused: %s\n", reason);
        KestrelCloseArchive(handle);
        return 1;
    }

    /* The handle exists before the connect, so the other thread can cancel the open. */
#ifdef _WIN32
    thread = CreateThread(NULL, 0, canceller, NULL, 0, NULL);
    if (thread == NULL)
        return 1;
#else
    if (pthread_create(&thread, NULL, canceller, NULL) != 0)
        return 1;
#endif
    opened = KestrelOpenArchiveEx(handle, argv[1], 0);
    if (opened) {
        int found;
        for (found = KestrelFindFirst(handle, "*", &entry); found == 0; found = KestrelFindNext(handle, &entry))
            entries++;
    }
    /* The cancel must be over before the handle is closed. */
#ifdef _WIN32
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
#else
    pthread_join(thread, NULL);
#endif

    if (opened) {
        printf("open: ok, %d entries\n", entries);
    } else {
        int category = KestrelGetErrorEx(handle, reason, (int)sizeof reason);
        printf("open failed: %s (category %d)\n", reason, category);
    }
    KestrelCloseArchive(handle);
    return opened ? 0 : 1;
}
