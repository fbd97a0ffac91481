// SPDX-License-Identifier: MIT
// A slow serial device, for tests under Wine: loaded with LD_PRELOAD, it delays by
// SALVEX_SLOW_OPEN_SECONDS the opening of a path that ends with SALVEX_SLOW_OPEN_NAME
// (as "com7"). CreateFileW first looks the name up with stat() on the calling thread, then
// asks the server to open() it: the delay goes into that stat(), so only the thread that
// opens waits. In the server the device's open() would stop every Wine process at once (it
// serves them all from one thread): the shim leaves the server alone.
//   gcc -shared -fPIC -O2 -o slowopen.so slowopen.c -ldl
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h> // program_invocation_short_name
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static void slow(const char *path)
{
    const char *name = getenv("SALVEX_SLOW_OPEN_NAME");
    const char *seconds = getenv("SALVEX_SLOW_OPEN_SECONDS");
    size_t n = name ? strlen(name) : 0, p = path ? strlen(path) : 0;
    if (n && seconds && p >= n && strcmp(path + p - n, name) == 0
        && !strstr(program_invocation_short_name, "wineserver"))
        sleep((unsigned)atoi(seconds));
}

int stat(const char *path, struct stat *st)
{
    static int (*real)(const char *, struct stat *);
    if (!real)
        real = (int (*)(const char *, struct stat *))dlsym(RTLD_NEXT, "stat");
    slow(path);
    return real(path, st);
}
