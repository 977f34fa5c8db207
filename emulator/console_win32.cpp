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
// Output: a console handle cannot be written without waiting (a selection in the
// window, the Pause key, an ssh session whose client stops reading, Wine's console
// host on a terminal that is not read all hold a write up), nor can a pipe nobody
// reads. So the text goes out through a writer thread of the console's own: the
// loop hands it one batch at a time and never waits for it; while the thread is
// still writing a batch, further text waits in console.cpp's queue. The thread
// shares nothing with the serial port layer, and the hand-off holds no lock.
#include <atomic>
#include <cstddef>

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

// Takes up to n records out of the input buffer without waiting: ReadConsoleInput
// "does not return until at least one input record has been read", so it is asked
// only for records the buffer holds now (another program on the same console may
// have taken the ones a peek saw). The count of records taken.
DWORD TakeRecords(INPUT_RECORD* records, DWORD n) {
    DWORD dwWaiting = 0;
    if (WaitForSingleObject(gKeys, 0) != WAIT_OBJECT_0 || !GetNumberOfConsoleInputEvents(gKeys, &dwWaiting) ||
        dwWaiting == 0) {
        return 0;
    }
    DWORD dwRead = 0;
    if (!ReadConsoleInputA(gKeys, records, n < dwWaiting ? n : dwWaiting, &dwRead)) {
        return 0;
    }
    return dwRead;
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
        TakeRecords(records, dwOthers);
    }
    return dwOthers < dwPeeked;
}

// --- Output -----------------------------------------------------------------------

constexpr std::size_t kBatchIn = 4096;  // text taken in one hand-off

// The hand-off between the loop and the writer thread. `full` says who owns the
// batch: the loop fills it while it is false, the thread writes it while it is
// true. The batch is static: a thread still stuck in a write when the run ends is
// left to end with the process.
struct Writer {
    HANDLE hOut = INVALID_HANDLE_VALUE;  // standard output as the program found it
    HANDLE hThread = nullptr;
    HANDLE hWork = nullptr;              // auto-reset: a batch to write, or the end
    HANDLE hDone = nullptr;              // manual-reset: the last batch is written
    char batch[2 * kBatchIn];            // "\n" goes out as "\r\n", as in text mode
    DWORD cbBatch = 0;
    std::atomic<bool> full{false};
    std::atomic<bool> gone{false};       // a write failed: nothing will take text
    std::atomic<bool> quit{false};
};

Writer gWriter;
// A writer thread left stuck in a write when the output was closed: until it ends,
// its batch and events are still its own, so no text is written and no other
// writer started.
HANDLE gStuck = nullptr;

// Writes all of p[0..cb); false when the output has failed.
bool WriteAll(const char* p, DWORD cb) {
    while (cb > 0) {
        DWORD dwWritten = 0;
        if (!WriteFile(gWriter.hOut, p, cb, &dwWritten, nullptr) || dwWritten == 0) {
            return false;
        }
        p += dwWritten;
        cb -= dwWritten;
    }
    return true;
}

DWORD WINAPI WriterMain(LPVOID) {
    for (;;) {
        WaitForSingleObject(gWriter.hWork, INFINITE);
        if (gWriter.quit.load()) {
            return 0;
        }
        if (!gWriter.full.load(std::memory_order_acquire)) {
            continue;
        }
        if (!WriteAll(gWriter.batch, gWriter.cbBatch)) {
            gWriter.gone.store(true);
        }
        SetEvent(gWriter.hDone);  // before the batch is handed back, so a wait for it never misses it
        gWriter.full.store(false, std::memory_order_release);
    }
}

// Copies what fits of p[0..n) into the batch; the count of p's bytes taken.
std::size_t FillBatch(const char* p, std::size_t n) {
    std::size_t taken = 0;
    DWORD cb = 0;
    while (taken < n && taken < kBatchIn) {
        if (p[taken] == '\n') {
            gWriter.batch[cb++] = '\r';
        }
        gWriter.batch[cb++] = p[taken++];
    }
    gWriter.cbBatch = cb;
    return taken;
}

void CloseIfSet(HANDLE& h) {
    if (h != nullptr) {
        CloseHandle(h);
        h = nullptr;
    }
}

// true once no stuck writer is left; the one that has ended is released here.
bool StuckWriterGone() {
    if (gStuck == nullptr) {
        return true;
    }
    if (WaitForSingleObject(gStuck, 0) != WAIT_OBJECT_0) {
        return false;
    }
    CloseIfSet(gStuck);
    CloseIfSet(gWriter.hWork);
    CloseIfSet(gWriter.hDone);
    gWriter.full.store(false);
    return true;
}

bool StartWriter() {
    gWriter.quit.store(false);
    gWriter.full.store(false);
    gWriter.hWork = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    gWriter.hDone = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (gWriter.hWork != nullptr && gWriter.hDone != nullptr) {
        gWriter.hThread = CreateThread(nullptr, 0, WriterMain, nullptr, 0, nullptr);
    }
    if (gWriter.hThread == nullptr) {
        CloseIfSet(gWriter.hWork);  // text is then written by the loop itself
        CloseIfSet(gWriter.hDone);
    }
    return gWriter.hThread != nullptr;
}

bool gWantWriter = false;  // opened while a stuck writer was still there: started once it ends

}  // namespace

void ConsoleOutOpen() {
    gWriter.hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    if (gWriter.hOut == nullptr || gWriter.hOut == INVALID_HANDLE_VALUE) {
        gWriter.gone.store(true);  // no standard output at all
        return;
    }
    gWriter.gone.store(false);
    gWantWriter = !StuckWriterGone();
    if (!gWantWriter) {
        StartWriter();
    }
}

void ConsoleOutClose() {
    gWantWriter = false;
    if (gWriter.hThread == nullptr) {
        return;
    }
    gWriter.quit.store(true);
    SetEvent(gWriter.hWork);
    // A thread still stuck in a write is left to end by itself (or with the
    // process): nothing it holds is freed or used until it has.
    if (WaitForSingleObject(gWriter.hThread, 10) == WAIT_OBJECT_0) {
        CloseIfSet(gWriter.hWork);
        CloseIfSet(gWriter.hDone);
        CloseIfSet(gWriter.hThread);
    } else {
        gStuck = gWriter.hThread;
        gWriter.hThread = nullptr;
    }
}

long ConsoleOutWrite(const char* p, std::size_t n) {
    if (gWriter.gone.load()) {
        return kOutGone;
    }
    if (!StuckWriterGone()) {
        return kOutWouldBlock;  // the stuck write still reads the batch
    }
    if (gWantWriter) {
        gWantWriter = false;
        StartWriter();
    }
    if (gWriter.hOut == INVALID_HANDLE_VALUE || gWriter.hOut == nullptr) {
        // Before the console is opened: standard output as it is now; none at all
        // drops this text only, not the console's later output.
        gWriter.hOut = GetStdHandle(STD_OUTPUT_HANDLE);
        if (gWriter.hOut == nullptr || gWriter.hOut == INVALID_HANDLE_VALUE) {
            gWriter.hOut = INVALID_HANDLE_VALUE;
            return static_cast<long>(n);
        }
    }
    if (gWriter.hThread == nullptr) {
        // No writer thread (before ConsoleOutOpen, or none could be started): the
        // caller waits for the console.
        std::size_t done = 0;
        while (done < n) {
            const std::size_t taken = FillBatch(p + done, n - done);
            if (!WriteAll(gWriter.batch, gWriter.cbBatch)) {
                return done > 0 ? static_cast<long>(done) : kOutGone;
            }
            done += taken;
        }
        return static_cast<long>(n);
    }
    if (gWriter.full.load(std::memory_order_acquire)) {
        return kOutWouldBlock;  // the thread is still writing the last batch
    }
    const std::size_t taken = FillBatch(p, n);
    ResetEvent(gWriter.hDone);
    gWriter.full.store(true, std::memory_order_release);
    SetEvent(gWriter.hWork);
    return static_cast<long>(taken);
}

std::size_t ConsoleOutHeld() {
    return gWriter.full.load(std::memory_order_acquire) ? gWriter.cbBatch : 0;
}

void ConsoleOutWait(int ms) {
    const DWORD dwMs = static_cast<DWORD>(ms < 1 ? 1 : ms);
    if (gWriter.hThread != nullptr && gWriter.full.load(std::memory_order_acquire)) {
        WaitForSingleObject(gWriter.hDone, dwMs);
    } else if (gWriter.hThread == nullptr) {
        Sleep(dwMs);
    }
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
            if (TakeRecords(&record, 1) == 1 && IsKey(record)) {
                return static_cast<unsigned char>(record.Event.KeyEvent.uChar.AsciiChar);
            }
        }
        if (StopRequested() || gKeys == INVALID_HANDLE_VALUE) {
            return 0;  // ended by Ctrl-C, Ctrl-Break or the close event: no key to take
        }
        WaitForSingleObject(gKeys, 10);
    }
}
