// Console keys on Windows: the C runtime's _kbhit and _getch (no echo, no line
// buffering of their own). Ctrl-C and Ctrl-Break end the run the way a key does,
// so the port is closed on the way out.
//
// Output: a console window pauses every write to it while the user selects text
// with the mouse (QuickEdit), so QuickEdit is off while the program runs and put
// back at the end. A console cannot be written without waiting otherwise; text to
// a pipe or file is written as it is.
#include <conio.h>

#include <cstdio>

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "emulator/console.h"
#include "emulator/console_os.h"

namespace {

volatile LONG gStopRequested = 0;

BOOL WINAPI OnConsoleControl(DWORD dwCtrlType) {
    switch (dwCtrlType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        InterlockedExchange(&gStopRequested, 1);
        return TRUE;
    default:
        return FALSE;  // closing the console or logging off: the system's default
    }
}

HANDLE gIn = INVALID_HANDLE_VALUE;
DWORD gSavedInMode = 0;
bool gInModeSaved = false;

bool StopRequested() {
    return InterlockedCompareExchange(&gStopRequested, 0, 0) != 0;
}

}  // namespace

void ConsoleOutOpen() {
    gIn = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (gIn != nullptr && gIn != INVALID_HANDLE_VALUE && GetConsoleMode(gIn, &mode)) {
        const DWORD quiet = (mode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE);
        if (quiet != mode && SetConsoleMode(gIn, quiet)) {
            gSavedInMode = mode;
            gInModeSaved = true;
        }
    }
}

void ConsoleOutClose() {
    if (gInModeSaved) {
        SetConsoleMode(gIn, gSavedInMode | ENABLE_EXTENDED_FLAGS);
        gInModeSaved = false;
    }
}

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
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

void ConsoleStart() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    ConsoleOutOpen();
    // Some console hosts (Wine's among them) report no pending key to _kbhit until
    // the console input has been read or peeked once; a peek takes nothing away.
    const HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
    if (hIn != nullptr && hIn != INVALID_HANDLE_VALUE) {
        INPUT_RECORD record;
        DWORD dwRead = 0;
        PeekConsoleInputA(hIn, &record, 1, &dwRead);
    }
}

void ConsoleYield() {
    SwitchToThread();
}

int ConsoleKeyHit() {
    return StopRequested() || _kbhit() != 0 ? 1 : 0;
}

int ConsoleGetKey() {
    if (StopRequested() && _kbhit() == 0) {
        return 0;  // ended by Ctrl-C: there is no key to take
    }
    const int key = _getch();
    // Function and arrow keys come as two codes; both belong to the one key.
    if ((key == 0 || key == 0xE0) && _kbhit() != 0) {
        _getch();
    }
    return key;
}
