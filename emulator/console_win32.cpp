// Console keys on Windows: the C runtime's _kbhit and _getch (no echo, no line
// buffering of their own). Ctrl-C and Ctrl-Break end the run the way a key does,
// so the port is closed on the way out.
#include <conio.h>

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "emulator/console.h"

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

bool StopRequested() {
    return InterlockedCompareExchange(&gStopRequested, 0, 0) != 0;
}

}  // namespace

void ConsoleStart() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
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

void ConsoleStop() {
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
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
