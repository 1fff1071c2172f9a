/* The program's entry for a link without the MSVC runtime's start-up objects: msvcrt.dll
   sets up its own state when it loads, so main can run straight away. The arguments come
   from msvcrt's __getmainargs, as the runtime's own start-up gets them, and msvcrt's exit
   flushes standard output (buffered when it is a pipe) before the process ends. */
typedef struct {
    int newmode;
} StartupInfo;

int main(int argc, char **argv);
int __cdecl __getmainargs(int *argc, char ***argv, char ***env, int expand, StartupInfo *info);
__declspec(noreturn) void __cdecl exit(int code);

/* A compiler in MSVC mode marks every object that uses floating point with a reference to
   this symbol, which the runtime's start-up objects define (the example prints a 64-bit
   size through a double). */
int _fltused = 0;

void __cdecl kestrel_example_start(void)
{
    int argc = 0;
    char **argv = 0, **env = 0;
    StartupInfo info;
    info.newmode = 0;
    __getmainargs(&argc, &argv, &env, 0, &info);
    exit(main(argc, argv));
}
