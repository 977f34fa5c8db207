/* The library zolhost run preloads into the program it starts (LD_PRELOAD). The
 * environment (ZOLHOST_TTYS, "PATH=PTY:PATH=PTY...") names each serial path zolhost
 * serves and the pty it serves it on. An open of such a path opens its pty instead,
 * and the checks a library makes before it opens a port (stat, access, realpath,
 * readlink) answer for the path as for a character device. A pty refuses the
 * modem-line ioctls; on a descriptor of one of these ptys they are answered as a
 * real port's driver does: DTR and RTS kept as the program sets them (both raised
 * at open), CTS, DSR and CD shown as a device that is present shows them. Every
 * other file and descriptor is left alone. The descriptors are known by their
 * device number, not followed through dup, fcntl or exec, so any copy of one,
 * in this process, a child or a program it execs, is answered the same. Only
 * libc is used. */
#undef _FORTIFY_SOURCE /* our open and realpath are the functions themselves */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#define ZOL_EXPORT __attribute__((visibility("default")))

enum { kMaxTtys = 32 };

struct Tty {
    char path[PATH_MAX];   /* what the program opens */
    char target[PATH_MAX]; /* the pty zolhost serves it on (a symlink to it) */
    dev_t rdev;            /* the pty's device number, once opened */
    int lines;             /* TIOCM_DTR and TIOCM_RTS as the program set them */
};

static struct Tty ttys[kMaxTtys];
static int ttyCount;

/* The lines a present device shows a port's driver. */
static const int kDeviceLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD;

__attribute__((constructor)) static void ReadMap(void) {
    const char* map = getenv("ZOLHOST_TTYS");
    while (map != NULL && *map != '\0' && ttyCount < kMaxTtys) {
        const char* end = strchr(map, ':');
        const size_t n = end != NULL ? (size_t)(end - map) : strlen(map);
        const char* eq = memchr(map, '=', n);
        if (eq != NULL && (size_t)(eq - map) < PATH_MAX && n - (size_t)(eq - map) - 1 < PATH_MAX) {
            struct Tty* t = &ttys[ttyCount++];
            memcpy(t->path, map, (size_t)(eq - map));
            memcpy(t->target, eq + 1, n - (size_t)(eq - map) - 1);
            t->lines = TIOCM_DTR | TIOCM_RTS;
        }
        map = end != NULL ? end + 1 : NULL;
    }
}

/* The served path `path` names (relative to dirfd, or to the working directory),
 * or NULL. */
static struct Tty* Served(int dirfd, const char* path) {
    if (ttyCount == 0 || path == NULL) {
        return NULL;
    }
    char full[PATH_MAX];
    if (path[0] != '/') {
        if (dirfd != AT_FDCWD || getcwd(full, sizeof full) == NULL) {
            return NULL;
        }
        const size_t at = strlen(full);
        if (at + 1 + strlen(path) >= sizeof full) {
            return NULL;
        }
        full[at] = '/';
        strcpy(full + at + 1, path);
        path = full;
    }
    for (int i = 0; i < ttyCount; ++i) {
        if (strcmp(ttys[i].path, path) == 0) {
            return &ttys[i];
        }
    }
    return NULL;
}

/* The next definition of a function, past this library: into *slot, a pointer to
 * a function pointer (copied, as ISO C has no cast from dlsym's pointer). */
static void Load(void* slot, const char* name) {
    void* p = dlsym(RTLD_NEXT, name);
    memcpy(slot, &p, sizeof p);
}
/* A served /dev/NAME as sysfs shows a port, for libraries that look there before
 * they open it (libserialport): /sys/class/tty/NAME, a symlink into the devices of
 * an on-board UART. The served path it stands for, or NULL. */
static const char kSysTty[] = "/sys/class/tty/";

static struct Tty* SysfsOf(int dirfd, const char* path) {
    if (ttyCount == 0 || path == NULL || (path[0] != '/' && dirfd != AT_FDCWD) ||
        strncmp(path, kSysTty, sizeof kSysTty - 1) != 0) {
        return NULL;
    }
    const char* name = path + sizeof kSysTty - 1;
    for (int i = 0; i < ttyCount; ++i) {
        if (strncmp(ttys[i].path, "/dev/", 5) == 0 && strcmp(ttys[i].path + 5, name) == 0) {
            return &ttys[i];
        }
    }
    return NULL;
}

/* A tty's sysfs entry on every Linux (/dev/tty's): what lstat shows of ours. */
static const char kSysLinkAlike[] = "/sys/class/tty/tty";

static int SysfsLink(int r, struct stat* st) {
    if (r != 0) { /* no sysfs to copy: a symlink of our own */
        memset(st, 0, sizeof *st);
        st->st_mode = S_IFLNK | 0777;
        st->st_nlink = 1;
    }
    return 0;
}

#define REAL(var, name) \
    if (var == NULL) Load(&var, #name)

/* A new descriptor of a served port: a port's open raises DTR and RTS. */
static int Opened(struct Tty* t, int fd) {
    struct stat st;
    if (t != NULL && fd >= 0 && fstat(fd, &st) == 0) {
        __atomic_store_n(&t->rdev, st.st_rdev, __ATOMIC_RELAXED);
        __atomic_store_n(&t->lines, TIOCM_DTR | TIOCM_RTS, __ATOMIC_RELAXED);
    }
    return fd;
}

static mode_t ModeOf(int flags, va_list ap) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

#define OPENAT_LIKE(name)                                                   \
    ZOL_EXPORT int name(int dirfd, const char* path, int flags, ...) {      \
        va_list ap;                                                         \
        va_start(ap, flags);                                                \
        const mode_t mode = ModeOf(flags, ap);                              \
        va_end(ap);                                                         \
        static __typeof__(&name) real;                                      \
        REAL(real, name);                                                   \
        struct Tty* t = Served(dirfd, path);                                \
        return Opened(t, t != NULL ? real(AT_FDCWD, t->target, flags, mode) \
                                   : real(dirfd, path, flags, mode));       \
    }
OPENAT_LIKE(openat)
OPENAT_LIKE(openat64)

/* open is openat from the working directory. */
#define OPEN_LIKE(name, at)                                 \
    ZOL_EXPORT int name(const char* path, int flags, ...) { \
        va_list ap;                                         \
        va_start(ap, flags);                                \
        const mode_t mode = ModeOf(flags, ap);              \
        va_end(ap);                                         \
        return at(AT_FDCWD, path, flags, mode);             \
    }
OPEN_LIKE(open, openat)
OPEN_LIKE(open64, openat64)

/* What _FORTIFY_SOURCE builds call in place of open and openat. */
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);
#define OPENAT_CHECKED(name)                                                                       \
    ZOL_EXPORT int name(int dirfd, const char* path, int flags) {                                  \
        static __typeof__(&name) real;                                                             \
        REAL(real, name);                                                                          \
        struct Tty* t = Served(dirfd, path);                                                       \
        return Opened(t, t != NULL ? real(AT_FDCWD, t->target, flags) : real(dirfd, path, flags)); \
    }
OPENAT_CHECKED(__openat_2)
OPENAT_CHECKED(__openat64_2)
ZOL_EXPORT int __open_2(const char* path, int flags) {
    return __openat_2(AT_FDCWD, path, flags);
}
ZOL_EXPORT int __open64_2(const char* path, int flags) {
    return __openat64_2(AT_FDCWD, path, flags);
}

#define FOPEN_LIKE(name)                                        \
    ZOL_EXPORT FILE* name(const char* path, const char* mode) { \
        static __typeof__(&name) real;                          \
        REAL(real, name);                                       \
        struct Tty* t = Served(AT_FDCWD, path);                 \
        FILE* f = real(t != NULL ? t->target : path, mode);     \
        if (f != NULL) Opened(t, fileno(f));                    \
        return f;                                               \
    }
FOPEN_LIKE(fopen)
FOPEN_LIKE(fopen64)

/* The checks before an open: the path is the character device itself (never a
 * symlink, whatever zolhost serves it through). */
#define STAT_LIKE(name, type, nofollow)                                  \
    ZOL_EXPORT int name(const char* path, struct type* st) {             \
        static __typeof__(&name) real;                                   \
        REAL(real, name);                                                \
        if (nofollow && SysfsOf(AT_FDCWD, path) != NULL) {               \
            return SysfsLink(real(kSysLinkAlike, st), (struct stat*)st); \
        }                                                                \
        struct Tty* t = Served(AT_FDCWD, path);                          \
        if (t != NULL) {                                                 \
            static __typeof__(&type) follow;                             \
            REAL(follow, type);                                          \
            return follow(t->target, st);                                \
        }                                                                \
        return real(path, st);                                           \
    }
_Static_assert(sizeof(struct stat) == sizeof(struct stat64), "one layout for stat and stat64");
STAT_LIKE(stat, stat, 0)
STAT_LIKE(stat64, stat64, 0)
STAT_LIKE(lstat, stat, 1)
STAT_LIKE(lstat64, stat64, 1)

#define FSTATAT_LIKE(name, type)                                                          \
    ZOL_EXPORT int name(int dirfd, const char* path, struct type* st, int flags) {        \
        static __typeof__(&name) real;                                                    \
        REAL(real, name);                                                                 \
        if ((flags & AT_SYMLINK_NOFOLLOW) != 0 && SysfsOf(dirfd, path) != NULL) {         \
            return SysfsLink(real(AT_FDCWD, kSysLinkAlike, st, flags), (struct stat*)st); \
        }                                                                                 \
        struct Tty* t = Served(dirfd, path);                                              \
        return t != NULL ? real(AT_FDCWD, t->target, st, flags & ~AT_SYMLINK_NOFOLLOW)    \
                         : real(dirfd, path, st, flags);                                  \
    }
FSTATAT_LIKE(fstatat, stat)
FSTATAT_LIKE(fstatat64, stat64)

/* The same for programs and libraries built against a C library before 2.33,
 * which call these (libserialport, for one). Theirs is a compat symbol, found by
 * its version. */
#if defined(__x86_64__)
#define LEGACY_STAT "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define LEGACY_STAT "GLIBC_2.17"
#elif defined(__arm__)
#define LEGACY_STAT "GLIBC_2.4"
#else
#define LEGACY_STAT "GLIBC_2.0"
#endif
typedef int (*XStat)(int ver, const char* path, void* st);
typedef int (*FXStatAt)(int ver, int dirfd, const char* path, void* st, int flags);
static void* Legacy(const char* name) {
    void* p = dlsym(RTLD_NEXT, name);
    return p != NULL ? p : dlvsym(RTLD_NEXT, name, LEGACY_STAT);
}
static int LegacyStat(const char* name, int ver, const char* path, void* st, int nofollow) {
    XStat real;
    XStat follow;
    void* p = Legacy(name);
    void* q = Legacy(name[3] == 'l' ? (name[strlen(name) - 1] == '4' ? "__xstat64" : "__xstat") : name);
    memcpy(&real, &p, sizeof p);
    memcpy(&follow, &q, sizeof q);
    if (real == NULL || follow == NULL) {
        errno = ENOSYS;
        return -1;
    }
    if (nofollow && SysfsOf(AT_FDCWD, path) != NULL) {
        return SysfsLink(real(ver, kSysLinkAlike, st), (struct stat*)st);
    }
    struct Tty* t = Served(AT_FDCWD, path);
    return t != NULL ? follow(ver, t->target, st) : real(ver, path, st);
}
int __xstat(int ver, const char* path, void* st);
int __xstat64(int ver, const char* path, void* st);
int __lxstat(int ver, const char* path, void* st);
int __lxstat64(int ver, const char* path, void* st);
ZOL_EXPORT int __xstat(int ver, const char* path, void* st) { return LegacyStat("__xstat", ver, path, st, 0); }
ZOL_EXPORT int __xstat64(int ver, const char* path, void* st) { return LegacyStat("__xstat64", ver, path, st, 0); }
ZOL_EXPORT int __lxstat(int ver, const char* path, void* st) { return LegacyStat("__lxstat", ver, path, st, 1); }
ZOL_EXPORT int __lxstat64(int ver, const char* path, void* st) { return LegacyStat("__lxstat64", ver, path, st, 1); }

static int LegacyStatAt(const char* name, int ver, int dirfd, const char* path, void* st, int flags) {
    FXStatAt real;
    void* p = Legacy(name);
    memcpy(&real, &p, sizeof p);
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    if ((flags & AT_SYMLINK_NOFOLLOW) != 0 && SysfsOf(dirfd, path) != NULL) {
        return SysfsLink(real(ver, AT_FDCWD, kSysLinkAlike, st, flags), (struct stat*)st);
    }
    struct Tty* t = Served(dirfd, path);
    return t != NULL ? real(ver, AT_FDCWD, t->target, st, flags & ~AT_SYMLINK_NOFOLLOW) : real(ver, dirfd, path, st, flags);
}
int __fxstatat(int ver, int dirfd, const char* path, void* st, int flags);
int __fxstatat64(int ver, int dirfd, const char* path, void* st, int flags);
ZOL_EXPORT int __fxstatat(int ver, int dirfd, const char* path, void* st, int flags) {
    return LegacyStatAt("__fxstatat", ver, dirfd, path, st, flags);
}
ZOL_EXPORT int __fxstatat64(int ver, int dirfd, const char* path, void* st, int flags) {
    return LegacyStatAt("__fxstatat64", ver, dirfd, path, st, flags);
}

ZOL_EXPORT int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* st) {
    static __typeof__(&statx) real;
    REAL(real, statx);
    struct Tty* t = Served(dirfd, path);
    return t != NULL ? real(AT_FDCWD, t->target, flags & ~AT_SYMLINK_NOFOLLOW, mask, st)
                     : real(dirfd, path, flags, mask, st);
}

ZOL_EXPORT int access(const char* path, int mode) {
    static __typeof__(&access) real;
    REAL(real, access);
    struct Tty* t = Served(AT_FDCWD, path);
    return real(t != NULL ? t->target : path, mode);
}

ZOL_EXPORT int euidaccess(const char* path, int mode) {
    static __typeof__(&euidaccess) real;
    REAL(real, euidaccess);
    struct Tty* t = Served(AT_FDCWD, path);
    return real(t != NULL ? t->target : path, mode);
}

ZOL_EXPORT int eaccess(const char* path, int mode) {
    return euidaccess(path, mode);
}

ZOL_EXPORT int faccessat(int dirfd, const char* path, int mode, int flags) {
    static __typeof__(&faccessat) real;
    REAL(real, faccessat);
    struct Tty* t = Served(dirfd, path);
    return t != NULL ? real(AT_FDCWD, t->target, mode, flags & ~AT_SYMLINK_NOFOLLOW) : real(dirfd, path, mode, flags);
}

/* A served path is its own real path, as a port's device node is. */
static char* Itself(const struct Tty* t, char* resolved) {
    struct stat st;
    if (stat(t->target, &st) != 0) {
        return NULL;  /* unplugged: gone, as a pulled adapter's node is */
    }
    if (resolved == NULL) {
        return strdup(t->path);
    }
    strcpy(resolved, t->path);
    return resolved;
}

ZOL_EXPORT char* realpath(const char* path, char* resolved) {
    struct Tty* t = Served(AT_FDCWD, path);
    if (t != NULL) {
        return Itself(t, resolved);
    }
    static __typeof__(&realpath) real;
    REAL(real, realpath);
    return real(path, resolved);
}

char* __realpath_chk(const char* path, char* resolved, size_t resolvedLen);
ZOL_EXPORT char* __realpath_chk(const char* path, char* resolved, size_t resolvedLen) {
    struct Tty* t = Served(AT_FDCWD, path);
    if (t != NULL) {
        if (resolved != NULL && resolvedLen < strlen(t->path) + 1) {
            abort();  /* what the checked call does with too small a buffer */
        }
        return Itself(t, resolved);
    }
    static __typeof__(&__realpath_chk) real;
    REAL(real, __realpath_chk);
    return real(path, resolved, resolvedLen);
}

ZOL_EXPORT char* canonicalize_file_name(const char* path) {
    struct Tty* t = Served(AT_FDCWD, path);
    if (t != NULL) {
        return Itself(t, NULL);
    }
    static __typeof__(&canonicalize_file_name) real;
    REAL(real, canonicalize_file_name);
    return real(path);
}

/* Not a symlink: readlink says so, or that it is gone once unplugged. */
static ssize_t NotALink(const struct Tty* t) {
    struct stat st;
    errno = stat(t->target, &st) == 0 ? EINVAL : ENOENT;
    return -1;
}

/* The sysfs entry's link: an on-board UART's. */
static ssize_t SysfsTarget(const struct Tty* t, char* buf, size_t size) {
    char link[PATH_MAX];
    const int n = snprintf(link, sizeof link, "../../devices/platform/serial8250/tty/%s", t->path + 5);
    const size_t len = n < 0 ? 0 : (size_t)n < size ? (size_t)n : size;
    memcpy(buf, link, len);
    return (ssize_t)len;
}

ZOL_EXPORT ssize_t readlinkat(int dirfd, const char* path, char* buf, size_t size) {
    struct Tty* sys = SysfsOf(dirfd, path);
    if (sys != NULL) {
        return SysfsTarget(sys, buf, size);
    }
    struct Tty* t = Served(dirfd, path);
    if (t != NULL) {
        return NotALink(t);
    }
    static __typeof__(&readlinkat) real;
    REAL(real, readlinkat);
    return real(dirfd, path, buf, size);
}

ZOL_EXPORT ssize_t readlink(const char* path, char* buf, size_t size) {
    return readlinkat(AT_FDCWD, path, buf, size);
}

/* The served port a descriptor is open on, or NULL. */
static struct Tty* PortOf(int fd) {
    struct stat st;
    if (ttyCount == 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return NULL;
    }
    for (int i = 0; i < ttyCount; ++i) {
        if (__atomic_load_n(&ttys[i].rdev, __ATOMIC_RELAXED) == st.st_rdev && st.st_rdev != 0) {
            return &ttys[i];
        }
    }
    /* Opened before this program was (a descriptor it inherited across exec): the
     * pty the path stands on now. */
    for (int i = 0; i < ttyCount; ++i) {
        struct stat pty;
        if (stat(ttys[i].target, &pty) == 0 && S_ISCHR(pty.st_mode) && pty.st_rdev == st.st_rdev) {
            __atomic_store_n(&ttys[i].rdev, st.st_rdev, __ATOMIC_RELAXED);
            return &ttys[i];
        }
    }
    return NULL;
}

ZOL_EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    static __typeof__(&ioctl) real;
    REAL(real, ioctl);
    const int saved = errno;
    const int r = real(fd, request, arg);
    /* A pty refuses these (ENOTTY); one hung up says EIO, as a pulled adapter does,
     * and that stays. */
    if (r == 0 || (errno != ENOTTY && errno != EINVAL) ||
        (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC)) {
        return r;
    }
    struct Tty* t = PortOf(fd);
    if (t == NULL) {
        return r;
    }
    int* bits = (int*)arg;
    const int set = TIOCM_DTR | TIOCM_RTS;
    switch (request) {
    case TIOCMGET: *bits = __atomic_load_n(&t->lines, __ATOMIC_RELAXED) | kDeviceLines; break;
    case TIOCMSET: __atomic_store_n(&t->lines, *bits & set, __ATOMIC_RELAXED); break;
    case TIOCMBIS: __atomic_or_fetch(&t->lines, *bits & set, __ATOMIC_RELAXED); break;
    default: __atomic_and_fetch(&t->lines, ~(*bits & set), __ATOMIC_RELAXED); break;
    }
    errno = saved;
    return 0;
}
