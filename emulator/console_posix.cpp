// Console keys on POSIX systems, from standard input. On a terminal, input is
// switched to no echo and no line buffering while the program runs; any other
// standard input (a pipe, a file) gives a key for each byte read from it, and its end
// is no key at all, so the emulator can run unattended until it is told to stop.
// SIGINT, SIGTERM and SIGHUP end the run the way a key does.
//
// Output never waits for the terminal: a terminal or a pipe is opened again for
// this program alone, without blocking (the descriptor it inherited shares its
// flags with the shell and whoever else holds it, and stays as it was). Where that
// cannot be done (a socket), the inherited descriptor is made non-blocking for the
// run and put back at the end.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "emulator/console.h"
#include "emulator/console_os.h"
#include "platform/posix_signals.h"

namespace {

volatile sig_atomic_t gStopRequested = 0;
bool gTerminal = false;
bool gSaved = false;
termios gSavedTermios{};
int gPendingKey = -1;
bool gInputEnded = false;

void OnStopSignal(int) {
    gStopRequested = 1;
}

int gOut = STDOUT_FILENO;
bool gOwnOut = false;      // gOut is this program's own description of standard output
int gSavedOutFlags = -1;   // the inherited description's flags, while changed

void RestoreTerminal() {
    if (gSaved) {
        tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTermios);
        gSaved = false;
    }
}

void RestoreOutput() {
    if (gSavedOutFlags >= 0) {
        fcntl(STDOUT_FILENO, F_SETFL, gSavedOutFlags);
        gSavedOutFlags = -1;
    }
}

// Reads the byte waiting on standard input, if any, into gPendingKey.
void TakeInput() {
    unsigned char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) {
        gPendingKey = c;
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        if (gTerminal) {
            gStopRequested = 1;  // the terminal has gone away: nobody can press a key
        } else {
            gInputEnded = true;
        }
    }
}

// A key's further bytes come right behind its first; a short wait covers a slow
// terminal link without holding up the end of the run.
constexpr int kKeyByteWaitMs = 30;
constexpr int kMaxKeyBytes = 32;  // the longest escape sequence taken as one key

// The next byte of the key being read, or -1 when none comes in time.
int NextKeyByte() {
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    if (poll(&pfd, 1, kKeyByteWaitMs) <= 0 || (pfd.revents & POLLIN) == 0) {
        return -1;
    }
    unsigned char c = 0;
    return read(STDIN_FILENO, &c, 1) == 1 ? c : -1;
}

// Reads what is left of a key that a terminal sends as several bytes, so that
// none of it reaches the next program on the terminal: an escape sequence (ESC [
// ... final byte, ESC O x, or ESC x for Alt+x) or a multi-byte UTF-8 character.
void TakeRestOfKey(int first) {
    int more = 0;
    if (first >= 0xC0 && first < 0xF8) {
        more = first < 0xE0 ? 1 : (first < 0xF0 ? 2 : 3);
    } else if (first == 0x1B) {
        const int second = NextKeyByte();
        if (second == 'O') {
            more = 1;
        } else if (second == '[') {
            for (int n = 0, c = 0; n < kMaxKeyBytes && (c = NextKeyByte()) >= 0; ++n) {
                if (c >= 0x40 && c <= 0x7E) {
                    break;  // the final byte of the sequence
                }
            }
        }
    }
    while (more-- > 0 && NextKeyByte() >= 0) {
    }
}

}  // namespace

void ConsoleYield() {
    sched_yield();
}

void ConsoleOutOpen() {
    struct stat st {};
    if (fstat(STDOUT_FILENO, &st) != 0 || S_ISREG(st.st_mode)) {
        return;  // a file never keeps a writer waiting; no output at all is found out on writing
    }
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
        const int fd = open("/proc/self/fd/1", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            gOut = fd;
            gOwnOut = true;
            return;
        }
    }
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0 && fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK) == 0) {
        gSavedOutFlags = flags;
        std::atexit(RestoreOutput);
    }
}

void ConsoleOutClose() {
    if (gOwnOut) {
        close(gOut);
        gOut = STDOUT_FILENO;
        gOwnOut = false;
    }
    RestoreOutput();
}

long ConsoleOutWrite(const char* p, std::size_t n) {
    const ssize_t r = write(gOut, p, n);
    if (r >= 0) {
        return static_cast<long>(r);
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kOutWouldBlock : kOutGone;
}

std::size_t ConsoleOutHeld() {
    return 0;
}

void ConsoleOutWait(int ms) {
    pollfd pfd{gOut, POLLOUT, 0};
    poll(&pfd, 1, ms);
}

void ConsoleRestoreInput() {
    RestoreTerminal();
}

void ConsoleStart() {
    // Output that nobody reads any more must not end the emulator while the link
    // still needs it: SIGPIPE is ignored with the stop signals' set-up.
    InstallStopSignals(OnStopSignal);

    gTerminal = isatty(STDIN_FILENO) != 0;
    if (gTerminal && tcgetattr(STDIN_FILENO, &gSavedTermios) == 0) {
        termios tio = gSavedTermios;
        tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &tio) == 0) {
            gSaved = true;
            std::atexit(RestoreTerminal);
        }
    }
    ConsoleOutOpen();
}

int ConsoleKeyHit() {
    if (gStopRequested != 0 || gPendingKey >= 0) {
        return 1;
    }
    if (gInputEnded) {
        return 0;
    }
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    if (poll(&pfd, 1, 0) > 0) {
        if ((pfd.revents & POLLNVAL) != 0) {
            gInputEnded = true;  // no standard input at all
        } else {
            TakeInput();
        }
    }
    return gStopRequested != 0 || gPendingKey >= 0 ? 1 : 0;
}

int ConsoleGetKey() {
    while (gPendingKey < 0 && gStopRequested == 0 && !gInputEnded) {
        TakeInput();
    }
    const int key = gPendingKey;
    gPendingKey = -1;
    if (key >= 0 && gTerminal) {
        TakeRestOfKey(key);
    }
    return key < 0 ? 0 : key;
}
