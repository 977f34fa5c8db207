// The console on Windows.
//
// Keys come from the console's input buffer (CONIN$, as the C runtime's _kbhit and
// _getch take them, whatever standard input is). While the program runs, the
// buffer takes no mouse or window events and QuickEdit is off (a selection would
// pause the console's output); key input is put back as it was at the end of the
// run, also when Ctrl-C, Ctrl-Break or closing the console window ends it. Records
// that are not keys (focus changes, a key let go, a modifier alone) are taken out
// as the key test meets them, so they never build up.
//
// Output: a console window pauses every write to it while the user selects text
// with the mouse (QuickEdit), so QuickEdit is off while the program runs. A
// console cannot be written without waiting otherwise; text to a pipe or file is
// written as it is.
#include <cstddef>
#include <cstdio>

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "emulator/console.h"
#include "emulator/console_os.h"

namespace {

// --- Ending the run from outside ----------------------------------------------

volatile LONG gStopRequested = 0;
// Set once the run has closed the port and put the console back.
HANDLE gRunEnded = nullptr;
// Windows ends a process some 5 s after the close event reached it; the run's end
// takes well under a second, even on a stuck line and a console that takes nothing.
constexpr DWORD kCloseWaitMs = 4000;

bool StopRequested() {
    return InterlockedCompareExchange(&gStopRequested, 0, 0) != 0;
}

BOOL WINAPI OnConsoleControl(DWORD dwCtrlType) {
    switch (dwCtrlType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        InterlockedExchange(&gStopRequested, 1);
        return TRUE;
    case CTRL_CLOSE_EVENT:
        // The window is closing: the run ends as on a key. The process ends as soon
        // as this returns, so it waits (in the system's own thread) until the loop
        // has closed the port and put the console back.
        InterlockedExchange(&gStopRequested, 1);
        if (gRunEnded != nullptr) {
            WaitForSingleObject(gRunEnded, kCloseWaitMs);
        }
        return TRUE;
    default:
        return FALSE;  // logging off or shutting down: the system's default
    }
}

// --- Keys -----------------------------------------------------------------------

HANDLE gKeys = INVALID_HANDLE_VALUE;  // the console's input buffer
DWORD gSavedInMode = 0;
bool gInModeSaved = false;

// A key that ends the run: pressed (not let go), and not a modifier or lock key
// alone.
bool IsKey(const INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) {
        return false;
    }
    switch (record.Event.KeyEvent.wVirtualKeyCode) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
        return false;
    default:
        return true;
    }
}

// true when a key is first in the input buffer; the records before it are taken
// out. The console is asked only when its handle says that input waits: that is
// the system's answer, not the console host's, so a host that is stuck writing to
// its terminal (Wine's, on a terminal that is not read) never holds up a key test
// that has nothing to find.
bool KeyWaiting() {
    if (gKeys == INVALID_HANDLE_VALUE || WaitForSingleObject(gKeys, 0) != WAIT_OBJECT_0) {
        return false;
    }
    INPUT_RECORD records[16];
    DWORD dwPeeked = 0;
    if (!PeekConsoleInputA(gKeys, records, 16, &dwPeeked)) {
        return false;
    }
    DWORD dwOthers = 0;
    while (dwOthers < dwPeeked && !IsKey(records[dwOthers])) {
        ++dwOthers;
    }
    if (dwOthers > 0) {
        DWORD dwRead = 0;
        ReadConsoleInputA(gKeys, records, dwOthers, &dwRead);
    }
    return dwOthers < dwPeeked;
}

}  // namespace

void ConsoleOutOpen() {}

void ConsoleOutClose() {}

long ConsoleOutWrite(const char* p, std::size_t n) {
    // Through the C runtime, whose text mode gives a file or pipe "\r\n" lines.
    const std::size_t taken = std::fwrite(p, 1, n, stdout);
    std::fflush(stdout);
    return taken == 0 && n > 0 ? kOutGone : static_cast<long>(taken);
}

void ConsoleOutWait(int ms) {
    Sleep(static_cast<DWORD>(ms < 1 ? 1 : ms));
}

void ConsoleRestoreInput() {
    if (gInModeSaved) {
        SetConsoleMode(gKeys, gSavedInMode | ENABLE_EXTENDED_FLAGS);
        gInModeSaved = false;
    }
    // A close handler waiting for the end of the run may return now; it must, before
    // the handler is removed (the system calls handlers holding a lock that removing
    // one takes).
    if (gRunEnded != nullptr) {
        SetEvent(gRunEnded);
    }
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    if (gKeys != INVALID_HANDLE_VALUE) {
        CloseHandle(gKeys);
        gKeys = INVALID_HANDLE_VALUE;
    }
}

void ConsoleStart() {
    InterlockedExchange(&gStopRequested, 0);
    if (gRunEnded == nullptr) {
        gRunEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    } else {
        ResetEvent(gRunEnded);
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    gKeys = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    if (gKeys != INVALID_HANDLE_VALUE && GetConsoleMode(gKeys, &mode)) {
        const DWORD quiet = (mode | ENABLE_EXTENDED_FLAGS) &
                            ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE | ENABLE_MOUSE_INPUT | ENABLE_WINDOW_INPUT);
        if (quiet != mode && SetConsoleMode(gKeys, quiet)) {
            gSavedInMode = mode;
            gInModeSaved = true;
        }
        // Some console hosts (Wine's among them) start reading their terminal's
        // keys only once the input has been read or peeked; a peek takes nothing away.
        INPUT_RECORD record;
        DWORD dwRead = 0;
        PeekConsoleInputA(gKeys, &record, 1, &dwRead);
    }
    ConsoleOutOpen();
}

void ConsoleYield() {
    SwitchToThread();
}

int ConsoleKeyHit() {
    return StopRequested() || KeyWaiting() ? 1 : 0;
}

int ConsoleGetKey() {
    for (;;) {
        if (KeyWaiting()) {
            INPUT_RECORD record;
            DWORD dwRead = 0;
            if (ReadConsoleInputA(gKeys, &record, 1, &dwRead) && dwRead == 1) {
                return static_cast<unsigned char>(record.Event.KeyEvent.uChar.AsciiChar);
            }
        }
        if (StopRequested() || gKeys == INVALID_HANDLE_VALUE) {
            return 0;  // ended by Ctrl-C, Ctrl-Break or the close event: no key to take
        }
        WaitForSingleObject(gKeys, 10);
    }
}
