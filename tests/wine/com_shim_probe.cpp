// com_shim_probe: a Windows program of the kind zolhost run starts, that loads
// zolhost run's DLL itself and uses a COM port it gives, for a driver that runs
// zolhost's link with the built-in device behind that port.
//
//   com_shim_probe <DLL> <COMn> <TCP port of the link's RFC 2217 server>
//
// The comm functions are looked up with GetProcAddress after the DLL is loaded,
// as .NET's SerialPort and Python's ctypes do. One line per check on standard
// output: "ok <check> <detail>" or "FAIL <check> <detail>". It starts while
// another client holds the link; it says "let the port go", and goes on once a
// line comes on standard input: the other client has left by then. Near the end
// it says "end the link", and goes on at the next line: the link has ended. Last line: "done <passed> <failed>"; exit status 0 only when no
// check failed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int gPassed = 0;
int gFailed = 0;

std::string Format(const char* format, ...) {
    char s[512];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(s, sizeof s, format, args);
    va_end(args);
    return s;
}

void Check(bool ok, const char* name, const std::string& detail) {
    std::printf("%s %s %s\n", ok ? "ok" : "FAIL", name, detail.c_str());
    std::fflush(stdout);
    ++(ok ? gPassed : gFailed);
}

std::string Hex(const unsigned char* p, DWORD n) {
    std::string s;
    for (DWORD i = 0; i < n; ++i) {
        s += Format("%02x", p[i]);
    }
    return s;
}

// A request of the device's protocol whose first data byte is d, and its reply.
void Request(unsigned char d, unsigned char out[7]) {
    const unsigned char f[7] = {0x02, d, 0, 0, 0, 0x03, 0};
    unsigned sum = 0;
    for (int i = 0; i < 6; ++i) {
        out[i] = f[i];
        sum += f[i];
    }
    out[6] = static_cast<unsigned char>(1 - sum);
}
std::string ReplyHex(unsigned char d) {
    unsigned char f[9] = {0x12, static_cast<unsigned char>(~d), 0, 0, 0, 0, 0, 0x13, 0};
    unsigned sum = 0;
    for (int i = 0; i < 8; ++i) {
        sum += f[i];
    }
    f[8] = static_cast<unsigned char>(1 - sum);
    return Hex(f, 9);
}

// What a ReadFileEx or WriteFileEx routine was called with, and how often.
struct ExEnd {
    int calls = 0;
    DWORD error = 1;
    DWORD bytes = 0;
};
ExEnd gExWrite;
ExEnd gExRead;
void WINAPI ExWriteDone(DWORD e, DWORD b, OVERLAPPED*) { gExWrite = {gExWrite.calls + 1, e, b}; }
void WINAPI ExReadDone(DWORD e, DWORD b, OVERLAPPED*) { gExRead = {gExRead.calls + 1, e, b}; }

// The functions as the program finds them once the DLL is loaded.
struct Api {
    decltype(&CreateFileA) createA;
    decltype(&CreateFileW) createW;
    decltype(&ReadFile) read;
    decltype(&WriteFile) write;
    decltype(&ReadFileEx) readEx;
    decltype(&WriteFileEx) writeEx;
    decltype(&CloseHandle) close;
    decltype(&CancelIoEx) cancelEx;
    decltype(&GetOverlappedResult) result;
    decltype(&GetCommState) getState;
    decltype(&SetCommState) setState;
    decltype(&SetCommTimeouts) setTimeouts;
    decltype(&ClearCommError) clearError;
    decltype(&SetCommMask) setMask;
    decltype(&WaitCommEvent) waitEvent;
    decltype(&PurgeComm) purge;
    decltype(&GetFileType) fileType;
};

template <typename F>
void Find(HMODULE k32, const char* name, F* f) {
    *f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(k32, name)));
}

Api Lookup() {
    const HMODULE k = GetModuleHandleW(L"kernel32.dll");
    Api a{};
    Find(k, "CreateFileA", &a.createA);
    Find(k, "CreateFileW", &a.createW);
    Find(k, "ReadFile", &a.read);
    Find(k, "WriteFile", &a.write);
    Find(k, "ReadFileEx", &a.readEx);
    Find(k, "WriteFileEx", &a.writeEx);
    Find(k, "CloseHandle", &a.close);
    Find(k, "CancelIoEx", &a.cancelEx);
    Find(k, "GetOverlappedResult", &a.result);
    Find(k, "GetCommState", &a.getState);
    Find(k, "SetCommState", &a.setState);
    Find(k, "SetCommTimeouts", &a.setTimeouts);
    Find(k, "ClearCommError", &a.clearError);
    Find(k, "SetCommMask", &a.setMask);
    Find(k, "WaitCommEvent", &a.waitEvent);
    Find(k, "PurgeComm", &a.purge);
    Find(k, "GetFileType", &a.fileType);
    return a;
}

// Asks the driver for something and waits for its line on standard input.
void WaitForGoAhead(const char* what) {
    std::printf("%s\n", what);
    std::fflush(stdout);
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        Check(false, "go-ahead", "standard input closed");
    }
}

bool Timeouts(const Api& a, HANDLE h, DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
    return a.setTimeouts(h, &t) != FALSE;
}

// Writes request d and reads up to `want` bytes (a synchronous handle): what came,
// and how long the read took in *ms.
std::string Exchange(const Api& a, HANDLE h, unsigned char d, DWORD want, ULONGLONG* ms) {
    unsigned char req[7];
    Request(d, req);
    DWORD n = 0;
    if (!a.write(h, req, 7, &n, nullptr) || n != 7) {
        return Format("write failed, error %lu", GetLastError());
    }
    unsigned char buf[64] = {};
    const ULONGLONG start = GetTickCount64();
    const BOOL ok = a.read(h, buf, want, &n, nullptr);
    *ms = GetTickCount64() - start;
    return ok ? Hex(buf, n) : Format("read failed, error %lu", GetLastError());
}

// The values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM as a program lists them with
// the wide or the narrow calls, found through GetProcAddress: "COM1;COM7;" (each
// name listed, then its value read by name, as .NET's GetPortNames does), and
// whether RegQueryInfoKey's count matched what was listed.
template <typename C>
std::string SerialComm(bool* countMatches) {
    const HMODULE adv = LoadLibraryW(L"advapi32.dll");
    constexpr bool wide = sizeof(C) == 2;
    const auto open = reinterpret_cast<LSTATUS(WINAPI*)(HKEY, const C*, DWORD, REGSAM, PHKEY)>(
        reinterpret_cast<void*>(GetProcAddress(adv, wide ? "RegOpenKeyExW" : "RegOpenKeyExA")));
    const auto info = reinterpret_cast<LSTATUS(WINAPI*)(HKEY, C*, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                                                        LPDWORD, LPDWORD, LPDWORD, PFILETIME)>(
        reinterpret_cast<void*>(GetProcAddress(adv, wide ? "RegQueryInfoKeyW" : "RegQueryInfoKeyA")));
    const auto values = reinterpret_cast<LSTATUS(WINAPI*)(HKEY, DWORD, C*, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD)>(
        reinterpret_cast<void*>(GetProcAddress(adv, wide ? "RegEnumValueW" : "RegEnumValueA")));
    const auto value = reinterpret_cast<LSTATUS(WINAPI*)(HKEY, const C*, LPDWORD, LPDWORD, LPBYTE, LPDWORD)>(
        reinterpret_cast<void*>(GetProcAddress(adv, wide ? "RegQueryValueExW" : "RegQueryValueExA")));
    const auto close = reinterpret_cast<decltype(&RegCloseKey)>(reinterpret_cast<void*>(GetProcAddress(adv, "RegCloseKey")));
    const char path[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
    const std::basic_string<C> sub(path, path + sizeof path - 1);
    HKEY key = nullptr;
    std::string listed;
    DWORD count = 0;
    DWORD seen = 0;
    if (open != nullptr && open(HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        info(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr);
        for (;; ++seen) {
            C name[256];
            C data[64] = {};
            DWORD nameChars = 256;
            DWORD dataBytes = sizeof data - sizeof(C);
            DWORD type = 0;
            // As .NET's GetPortNames: the names listed, then each one's value read by name.
            if (values(key, seen, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
                break;
            }
            value(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data), &dataBytes);
            for (const C* c = data; *c != 0; ++c) {
                listed += static_cast<char>(*c);
            }
            listed += type == REG_SZ ? ";" : "(not REG_SZ);";
        }
        close(key);
    }
    *countMatches = count == seen;
    return listed;
}

// An overlapped request's end within 5 s: TRUE/FALSE and the error.
BOOL Finish(const Api& a, HANDLE h, OVERLAPPED* ov, DWORD* n, DWORD* error) {
    *error = 0;
    if (ov->hEvent != nullptr && WaitForSingleObject(ov->hEvent, 5000) != WAIT_OBJECT_0) {
        *error = WAIT_TIMEOUT;
        return FALSE;
    }
    const BOOL ok = a.result(h, ov, n, TRUE);
    *error = ok ? 0 : GetLastError();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: com_shim_probe DLL COMn PORT\n");
        return 2;
    }
    const std::string port = argv[2];
    SetEnvironmentVariableA("ZOLHOST_COM", (port + "=127.0.0.1:" + argv[3]).c_str());
    const HMODULE dll = LoadLibraryA(argv[1]);
    Check(dll != nullptr, "load", Format("%s, error %lu", argv[1], dll != nullptr ? 0 : GetLastError()));
    if (dll == nullptr) {
        std::printf("done %d %d\n", gPassed, gFailed);
        return 1;
    }
    const Api a = Lookup();
    const std::wstring wide(port.begin(), port.end());
    std::string lower = "\\\\.\\" + port;
    for (char& c : lower) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }

    // The port is listed where programs look for the machine's serial ports, once,
    // after the system's own, by the wide calls and the narrow ones.
    bool wideCount = false;
    bool narrowCount = false;
    const std::string listedW = SerialComm<wchar_t>(&wideCount);
    const std::string listedA = SerialComm<char>(&narrowCount);
    const std::string mine = port + ";";
    const std::size_t at = listedW.find(mine);
    Check(at != std::string::npos && listedW.find(mine, at + 1) == std::string::npos &&
              listedW.size() == at + mine.size() && listedA == listedW && wideCount && narrowCount,
          "listed-in-serialcomm", listedW + " / " + listedA);
    // A machine with no serial port has no such key: one stands in and lists the
    // port alone (Wine makes the key afresh as its server starts).
    const LSTATUS deleted = RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM");
    const std::string aloneW = SerialComm<wchar_t>(&wideCount);
    const std::string aloneA = SerialComm<char>(&narrowCount);
    const bool gone = deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
    Check(gone && aloneW == mine && aloneA == mine && wideCount && narrowCount, "listed-with-no-serialcomm",
          Format("delete %ld: ", static_cast<long>(deleted)) + aloneW + " / " + aloneA);

    // Every other file is the system's, as it was.
    char dir[MAX_PATH];
    char file[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    GetTempFileNameA(dir, "zol", 0, file);
    HANDLE f = a.createA(file, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD fn = 0;
    char text[8] = {};
    const bool wrote = f != INVALID_HANDLE_VALUE && a.write(f, "COM7", 4, &fn, nullptr) && fn == 4;
    SetFilePointer(f, 0, nullptr, FILE_BEGIN);
    const bool readBack = wrote && a.read(f, text, sizeof text, &fn, nullptr) && fn == 4;
    Check(readBack && a.fileType(f) == FILE_TYPE_DISK && a.close(f), "other-files-untouched", text);
    DeleteFileA(file);
    HANDLE unmapped = a.createA((port + "9").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Check(unmapped == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND, "unmapped-port-is-the-systems",
          Format("error %lu", GetLastError()));

    // Another client has the link: the port is in use.
    HANDLE h = a.createA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD error = GetLastError();
    Check(h == INVALID_HANDLE_VALUE && error == ERROR_ACCESS_DENIED, "open-while-taken-elsewhere", Format("error %lu", error));
    if (h != INVALID_HANDLE_VALUE) {
        a.close(h);
    }
    WaitForGoAhead("let the port go");

    // A synchronous handle by the device name in lower case.
    h = a.createA(lower.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Check(h != INVALID_HANDLE_VALUE, "open", Format("%s, error %lu", lower.c_str(), h == INVALID_HANDLE_VALUE ? GetLastError() : 0));
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("done %d %d\n", gPassed, gFailed);
        return 1;
    }
    Check(a.fileType(h) == FILE_TYPE_CHAR, "file-type", Format("%lu", a.fileType(h)));
    HANDLE again = a.createW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD againError = GetLastError();
    Check(again == INVALID_HANDLE_VALUE && againError == ERROR_ACCESS_DENIED, "second-open-refused",
          Format("error %lu", againError));

    // Settings: a bad one refused, a good one kept (the device's own line, as the
    // built-in device's bytes would be garbled on another).
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    a.getState(h, &dcb);
    DCB bad = dcb;
    bad.ByteSize = 9;
    const BOOL badOk = a.setState(h, &bad);
    Check(!badOk && GetLastError() == ERROR_INVALID_PARAMETER, "bad-dcb-refused", Format("error %lu", GetLastError()));
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    Check(a.setState(h, &dcb) != FALSE, "set-state", Format("error %lu", GetLastError()));

    // A request answered byte for byte; the total time out long enough.
    ULONGLONG ms = 0;
    Timeouts(a, h, 0, 0, 3000);
    std::string reply = Exchange(a, h, 0x21, 9, &ms);
    Check(reply == ReplyHex(0x21), "sync-exchange", reply);

    // MAXDWORD/0/0: at once with what is there (nothing).
    Timeouts(a, h, MAXDWORD, 0, 0);
    unsigned char buf[64];
    DWORD n = 99;
    ULONGLONG start = GetTickCount64();
    const BOOL quick = a.read(h, buf, sizeof buf, &n, nullptr);
    const ULONGLONG quickMs = GetTickCount64() - start;
    Check(quick && n == 0 && quickMs < 200, "read-returns-at-once", Format("%lu bytes in %llu ms", n, quickMs));

    // MAXDWORD/MAXDWORD/C with nothing coming: waits C ms for a first byte, then
    // returns with none.
    Timeouts(a, h, MAXDWORD, MAXDWORD, 300);
    start = GetTickCount64();
    const BOOL firstByte = a.read(h, buf, sizeof buf, &n, nullptr);
    const ULONGLONG firstByteMs = GetTickCount64() - start;
    Check(firstByte && n == 0 && firstByteMs >= 250 && firstByteMs < 2000, "read-waits-for-a-first-byte",
          Format("%lu bytes in %llu ms", n, firstByteMs));

    // Total time out M*n + C: 20 bytes asked, 9 come; the read ends after 10*20+300 ms
    // with the 9.
    Timeouts(a, h, 0, 10, 300);
    reply = Exchange(a, h, 0x22, 20, &ms);
    Check(reply == ReplyHex(0x22) && ms >= 450 && ms < 2000, "total-timeout", Format("%s after %llu ms", reply.c_str(), ms));
    start = GetTickCount64();
    const BOOL closed = a.close(h);
    Check(closed != FALSE, "close", Format("%llu ms", GetTickCount64() - start));

    // The C runtime's fopen, in a module of its own (msvcrt), reaches the port too.
    FILE* c = std::fopen(port.c_str(), "r+b");
    std::string cReply = "fopen failed";
    if (c != nullptr) {
        std::setvbuf(c, nullptr, _IONBF, 0);
        unsigned char req7[7];
        Request(0x27, req7);
        unsigned char cbuf[9] = {};
        const std::size_t cn = std::fwrite(req7, 1, 7, c) == 7 ? std::fread(cbuf, 1, 9, c) : 0;
        cReply = Hex(cbuf, static_cast<DWORD>(cn));
        std::fclose(c);
    }
    Check(cReply == ReplyHex(0x27), "c-runtime-fopen", cReply);

    // An overlapped handle by "COMn:", wide.
    const std::wstring colon = wide + L":";
    h = a.createW(colon.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    Check(h != INVALID_HANDLE_VALUE, "reopen-overlapped", Format("error %lu", h == INVALID_HANDLE_VALUE ? GetLastError() : 0));
    Timeouts(a, h, 0, 0, 0);  // reads wait for all their bytes
    OVERLAPPED wov{};
    wov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED rov{};
    rov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    unsigned char req[7];
    Request(0x23, req);
    error = 0;
    BOOL ok = a.read(h, buf, 9, nullptr, &rov);
    Check(!ok && GetLastError() == ERROR_IO_PENDING && !HasOverlappedIoCompleted(&rov), "read-pending",
          Format("error %lu", GetLastError()));
    ok = a.write(h, req, 7, nullptr, &wov);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        ok = Finish(a, h, &wov, &n, &error);
    }
    Check(ok && n == 7, "overlapped-write", Format("%lu bytes, error %lu", n, error));
    ok = Finish(a, h, &rov, &n, &error);
    Check(ok && HasOverlappedIoCompleted(&rov) && Hex(buf, n) == ReplyHex(0x23), "overlapped-read",
          Format("%s, error %lu", Hex(buf, n).c_str(), error));

    // No event in OVERLAPPED: GetOverlappedResult waits for the read itself.
    OVERLAPPED nov{};
    Request(0x24, req);
    ok = a.read(h, buf, 9, nullptr, &nov);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        wov.Internal = 0;
        DWORD w = 0;
        if (a.write(h, req, 7, nullptr, &wov) || GetLastError() == ERROR_IO_PENDING) {
            Finish(a, h, &wov, &w, &error);
        }
        ok = a.result(h, &nov, &n, TRUE);
    }
    Check(ok && Hex(buf, n) == ReplyHex(0x24), "overlapped-read-no-event", Format("%s, error %lu", Hex(buf, n).c_str(), ok ? 0 : GetLastError()));

    // A pending WaitCommEvent ends with no event when the mask is set again, and
    // another is cancelled by CancelIoEx.
    OVERLAPPED eov{};
    eov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD mask = 0xFFFF;
    a.setMask(h, EV_RXCHAR);
    ok = a.waitEvent(h, &mask, &eov);
    const bool pending = !ok && GetLastError() == ERROR_IO_PENDING;
    a.setMask(h, EV_RXCHAR);
    ok = Finish(a, h, &eov, &n, &error);
    Check(pending && ok && mask == 0, "wait-ended-by-set-mask", Format("mask 0x%lx, error %lu", mask, error));
    ok = a.waitEvent(h, &mask, &eov);
    const bool pending2 = !ok && GetLastError() == ERROR_IO_PENDING;
    const BOOL cancelled = a.cancelEx(h, &eov);
    ok = Finish(a, h, &eov, &n, &error);
    Check(pending2 && cancelled && !ok && error == ERROR_OPERATION_ABORTED, "wait-cancelled", Format("error %lu", error));

    // EV_RXCHAR as a reply comes; ClearCommError counts it, PURGE_RXCLEAR drops it.
    mask = 0;
    ok = a.waitEvent(h, &mask, &eov);
    const bool pending3 = !ok && GetLastError() == ERROR_IO_PENDING;
    Request(0x25, req);
    wov.Internal = 0;
    if (a.write(h, req, 7, nullptr, &wov) || GetLastError() == ERROR_IO_PENDING) {
        Finish(a, h, &wov, &n, &error);
    }
    if (pending3) {
        ok = Finish(a, h, &eov, &n, &error);
    }
    Check(ok && (mask & EV_RXCHAR) != 0, "wait-rxchar", Format("mask 0x%lx, error %lu", mask, error));
    COMSTAT stat{};
    DWORD errors = 0;
    for (int i = 0; i < 200 && a.clearError(h, &errors, &stat) && stat.cbInQue < 9; ++i) {
        Sleep(10);
    }
    Check(stat.cbInQue == 9, "input-queue-counted", Format("%lu", stat.cbInQue));
    a.purge(h, PURGE_RXCLEAR);
    a.clearError(h, &errors, &stat);
    Check(stat.cbInQue == 0, "purged", Format("%lu", stat.cbInQue));

    // ReadFileEx and WriteFileEx: each end runs its routine in this thread's next
    // alertable wait, none before it, and hEvent is left as the program set it.
    OVERLAPPED xw{};
    OVERLAPPED xr{};
    xw.hEvent = xr.hEvent = reinterpret_cast<HANDLE>(0x1234);  // the program's own data here
    Request(0x28, req);
    std::memset(buf, 0, sizeof buf);
    const bool queued = a.writeEx(h, req, 7, &xw, ExWriteDone) && a.readEx(h, buf, 9, &xr, ExReadDone);
    const bool notYet = gExWrite.calls == 0 && gExRead.calls == 0;
    for (int k = 0; k < 50 && gExRead.calls == 0; ++k) {
        SleepEx(100, TRUE);
    }
    Check(queued && notYet && gExWrite.calls == 1 && gExWrite.error == 0 && gExWrite.bytes == 7 && gExRead.calls == 1 &&
              gExRead.error == 0 && Hex(buf, gExRead.bytes) == ReplyHex(0x28) && xr.hEvent == reinterpret_cast<HANDLE>(0x1234),
          "read-write-file-ex", Format("%d/%d calls, error %lu, %s", gExWrite.calls, gExRead.calls, gExRead.error,
                                       Hex(buf, gExRead.bytes).c_str()));

    // Bound to a completion port: each overlapped request's end is queued there,
    // with the key and the OVERLAPPED it was issued with.
    const HANDLE iocp = CreateIoCompletionPort(h, nullptr, 7, 0);
    Request(0x26, req);
    ULONG_PTR key = 0;
    OVERLAPPED* done = nullptr;
    DWORD wn = 0;
    ok = a.write(h, req, 7, nullptr, &wov) || GetLastError() == ERROR_IO_PENDING;
    ok = ok && GetQueuedCompletionStatus(iocp, &wn, &key, &done, 5000);
    Check(iocp != nullptr && ok && key == 7 && done == &wov && wn == 7, "completion-port-write",
          Format("key %lu, %lu bytes", static_cast<unsigned long>(key), wn));
    std::memset(buf, 0, sizeof buf);
    ok = a.read(h, buf, 9, nullptr, &rov) || GetLastError() == ERROR_IO_PENDING;
    ok = ok && GetQueuedCompletionStatus(iocp, &n, &key, &done, 5000);
    Check(ok && key == 7 && done == &rov && Hex(buf, n) == ReplyHex(0x26), "completion-port-read", Hex(buf, n));

    // CloseHandle ends a pending read, aborted (as the system's own
    // GetOverlappedResult reads it, the handle being gone); the port opens again.
    ok = a.read(h, buf, 9, nullptr, &rov);
    const bool closePending = !ok && GetLastError() == ERROR_IO_PENDING;
    a.close(h);
    const bool signalled = WaitForSingleObject(rov.hEvent, 5000) == WAIT_OBJECT_0;
    ok = a.result(h, &rov, &n, FALSE);
    error = ok ? 0 : GetLastError();
    Check(closePending && signalled && !ok && error == ERROR_OPERATION_ABORTED, "close-aborts-pending-read",
          Format("error %lu", error));
    h = a.createW(colon.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    Check(h != INVALID_HANDLE_VALUE, "reopen-after-close", Format("error %lu", h == INVALID_HANDLE_VALUE ? GetLastError() : 0));

    // Other settings, to be seen in the link's summary.
    DCB slow = dcb;
    slow.BaudRate = 9600;
    slow.ByteSize = 7;
    slow.Parity = EVENPARITY;
    const BOOL slowOk = a.setState(h, &slow);
    DCB got{};
    a.getState(h, &got);
    Check(slowOk && got.BaudRate == 9600 && got.ByteSize == 7 && got.Parity == EVENPARITY, "set-state-9600-7E1",
          Format("%lu %u %u", got.BaudRate, got.ByteSize, got.Parity));

    // The link ends under a pending read: the read ends with an error, and the port
    // fails as a USB adapter pulled out; the name is no more until something listens.
    ok = a.read(h, buf, 9, nullptr, &rov);
    const bool lastPending = !ok && GetLastError() == ERROR_IO_PENDING;
    WaitForGoAhead("end the link");
    ok = Finish(a, h, &rov, &n, &error);
    Check(lastPending && !ok && error == ERROR_BAD_COMMAND, "pending-read-fails-when-link-ends", Format("error %lu", error));
    const BOOL readOk = a.read(h, buf, 9, nullptr, &rov);
    error = GetLastError();
    Check(!readOk && error == ERROR_BAD_COMMAND, "read-fails", Format("error %lu", error));
    const BOOL clearOk = a.clearError(h, &errors, &stat);
    error = GetLastError();
    Check(!clearOk && error == ERROR_BAD_COMMAND, "clear-comm-error-fails", Format("error %lu", error));
    again = a.createA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    error = GetLastError();
    Check(again == INVALID_HANDLE_VALUE && error == ERROR_FILE_NOT_FOUND, "name-gone", Format("error %lu", error));
    Check(a.close(h) != FALSE, "close-after-end", "");

    std::printf("done %d %d\n", gPassed, gFailed);
    return gFailed == 0 ? 0 : 1;
}
