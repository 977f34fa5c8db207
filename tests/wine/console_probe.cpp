// console_probe: runs the emulator's Windows console layer in a console of its own
// (Windows, or Wine on a terminal) and checks the console's input modes while a run
// goes on and after each way of ending it: a key, Ctrl-Break, and the console's
// close event. Control events reach the program as the system delivers them: in a
// thread of their own, started at the system's CtrlRoutine.
//
//   console_probe <report file>
//
// One line per check in the report file: "ok <check> <detail>" or "FAIL <check>
// <detail>"; last line "done <passed> <failed>". The exit status is 0 only when no
// check failed. (Windows ends a process once its close handler returns, so there
// the report may stop before "done".)
#include <cstdarg>
#include <cstdio>

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "emulator/console.h"

namespace {

FILE* gReport = nullptr;
int gPassed = 0;
int gFailed = 0;

void Check(bool fOk, const char* szName, const char* szFormat, ...) {
    std::fprintf(gReport, "%s %s ", fOk ? "ok" : "FAIL", szName);
    std::va_list args;
    va_start(args, szFormat);
    std::vfprintf(gReport, szFormat, args);
    va_end(args);
    std::fprintf(gReport, "\n");
    std::fflush(gReport);
    ++(fOk ? gPassed : gFailed);
}

// The mode a console often starts with, plus window input.
constexpr DWORD kBefore = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_WINDOW_INPUT |
                          ENABLE_MOUSE_INPUT | ENABLE_INSERT_MODE | ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS;
constexpr DWORD kRunning = kBefore & ~static_cast<DWORD>(ENABLE_WINDOW_INPUT | ENABLE_MOUSE_INPUT | ENABLE_QUICK_EDIT_MODE);

HANDLE gIn = INVALID_HANDLE_VALUE;

DWORD Mode() {
    DWORD mode = 0;
    GetConsoleMode(gIn, &mode);
    return mode;
}

DWORD Waiting() {
    DWORD n = 0;
    GetNumberOfConsoleInputEvents(gIn, &n);
    return n;
}

INPUT_RECORD Key(WORD vk, char c, bool down) {
    INPUT_RECORD r{};
    r.EventType = KEY_EVENT;
    r.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
    r.Event.KeyEvent.wRepeatCount = 1;
    r.Event.KeyEvent.wVirtualKeyCode = vk;
    r.Event.KeyEvent.uChar.AsciiChar = c;
    return r;
}

// Delivers a control event the way the system does.
HANDLE SendControl(DWORD dwCtrlType) {
    auto* routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine")));
    if (routine == nullptr) {
        return nullptr;
    }
    return CreateThread(nullptr, 0, routine, reinterpret_cast<LPVOID>(static_cast<DWORD_PTR>(dwCtrlType)), 0, nullptr);
}

// The loop's end: the key test until it reports a key or a stop (5 s at most).
bool RunUntilKeyHit() {
    const DWORD tStart = GetTickCount();
    while (ConsoleKeyHit() == 0) {
        if (GetTickCount() - tStart > 5000) {
            return false;
        }
        Sleep(1);
    }
    return true;
}

void StartRun(const char* szHow) {
    SetConsoleMode(gIn, kBefore);
    ConsoleStart();
    char szName[64];
    std::snprintf(szName, sizeof szName, "%s.modes_while_running", szHow);
    const DWORD mode = Mode();
    Check(mode == kRunning, szName, "mode=%lx want=%lx", mode, kRunning);
}

void CheckRestored(const char* szHow) {
    char szName[64];
    std::snprintf(szName, sizeof szName, "%s.modes_restored", szHow);
    const DWORD mode = Mode();
    Check(mode == kBefore, szName, "mode=%lx want=%lx", mode, kBefore);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || (gReport = std::fopen(argv[1], "wb")) == nullptr) {
        return 2;
    }
    gIn = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    Check(gIn != INVALID_HANDLE_VALUE, "console", "CONIN$ %s", gIn != INVALID_HANDLE_VALUE ? "opened" : "missing");
    if (gIn == INVALID_HANDLE_VALUE) {
        std::fprintf(gReport, "done %d %d\n", gPassed, gFailed);
        return 1;
    }

    // Text printed before the console is started goes out, and does not cost the
    // run's own text (the test looks for both on the terminal).
    ConsolePrint("printed before the start\n");
    ConsoleFlush();

    // A key. Records that are not keys (mouse moves, focus and size changes, a key
    // let go, Shift alone) are taken out by the key test, never left to pile up.
    StartRun("key");
    ConsolePrint("printed while running\n");
    ConsoleFlush();
    INPUT_RECORD others[500];
    for (int i = 0; i < 500; ++i) {
        INPUT_RECORD& r = others[i];
        r = INPUT_RECORD{};
        switch (i % 5) {
        case 0: r.EventType = MOUSE_EVENT; r.Event.MouseEvent.dwEventFlags = MOUSE_MOVED; break;
        case 1: r.EventType = FOCUS_EVENT; break;
        case 2: r.EventType = WINDOW_BUFFER_SIZE_EVENT; break;
        case 3: r = Key('A', 'a', false); break;
        default: r = Key(VK_SHIFT, 0, true); break;
        }
    }
    DWORD dwWritten = 0;
    for (int round = 0; round < 4; ++round) {
        WriteConsoleInputA(gIn, others, 500, &dwWritten);
        for (int pass = 0; pass < 1000 && Waiting() > 0; ++pass) {
            ConsoleKeyHit();
        }
    }
    const DWORD left = Waiting();
    const int hit = ConsoleKeyHit();
    Check(left == 0 && hit == 0, "key.other_records_taken_out", "left=%lu key_hit=%d", left, hit);
    const INPUT_RECORD press[2] = {Key('K', 'k', true), Key('K', 'k', false)};
    WriteConsoleInputA(gIn, press, 2, &dwWritten);
    const bool fHit = RunUntilKeyHit();
    const int key = ConsoleGetKey();
    Check(fHit && key == 'k', "key.taken", "key_hit=%d key=%d", fHit ? 1 : 0, key);
    ConsoleStop();
    CheckRestored("key");
    FlushConsoleInputBuffer(gIn);

    // Ctrl-Break.
    StartRun("break");
    HANDLE hBreak = SendControl(CTRL_BREAK_EVENT);
    const bool fBreakSeen = hBreak != nullptr && RunUntilKeyHit();
    const int breakKey = ConsoleGetKey();
    Check(fBreakSeen && breakKey == 0, "break.ends_the_run", "seen=%d key=%d", fBreakSeen ? 1 : 0, breakKey);
    ConsoleStop();
    CheckRestored("break");
    if (hBreak != nullptr) {
        WaitForSingleObject(hBreak, 5000);
        CloseHandle(hBreak);
    }

    // The close event: its handler holds the process (the system ends it once the
    // handler returns) until the run has ended and the console is back.
    StartRun("close");
    HANDLE hClose = SendControl(CTRL_CLOSE_EVENT);
    const bool fCloseSeen = hClose != nullptr && RunUntilKeyHit();
    ConsoleGetKey();
    Sleep(200);
    const bool fHeld = hClose != nullptr && WaitForSingleObject(hClose, 0) == WAIT_TIMEOUT;
    Check(fCloseSeen && fHeld, "close.waits_for_the_end_of_the_run", "seen=%d handler_waiting=%d",
          fCloseSeen ? 1 : 0, fHeld ? 1 : 0);
    ConsoleStop();
    CheckRestored("close");
    const bool fReturned = hClose != nullptr && WaitForSingleObject(hClose, 2000) == WAIT_OBJECT_0;
    Check(fReturned, "close.handler_returns_once_the_console_is_back", "returned=%d", fReturned ? 1 : 0);

    std::fprintf(gReport, "done %d %d\n", gPassed, gFailed);
    std::fclose(gReport);
    return gFailed == 0 ? 0 : 1;
}
