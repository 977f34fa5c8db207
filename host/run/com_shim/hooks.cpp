// zolhost-com32.dll / zolhost-com64.dll: loaded into a program that zolhost run
// starts, it gives the program the COM ports named in ZOLHOST_COM with no driver.
//
// As it loads it points the program's imports of the comm calls (from kernel32,
// kernelbase and the api-ms-win-core sets) at its own functions, in every module
// loaded but itself and the system's own kernel32, kernelbase and ntdll; modules
// loaded later are done as LoadLibrary returns, and GetProcAddress hands out its
// functions for those names. A call on a handle that is not one of its ports goes
// to the system's function unchanged. An open port's handle is an unnamed event
// of its own, a real handle that anything may wait on or close.
//
// DllMain runs under the loader lock: there it reads ZOLHOST_COM and changes
// imports, nothing else. Winsock and the ports' threads start with the first
// CreateFile of a port.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/run/com_shim/port_list.h"
#include "host/run/com_shim/port_names.h"
#include "host/run/com_shim/shim_port.h"

namespace zolhost::comshim {
namespace {

// The system's functions, as GetProcAddress of kernel32 gives them.
#define ZOL_HOOKED(X)                                                                                                  \
    X(CreateFileA) X(CreateFileW) X(ReadFile) X(WriteFile) X(ReadFileEx) X(WriteFileEx) X(CloseHandle) X(CancelIo)    \
    X(CancelIoEx)                                                                                                      \
    X(GetOverlappedResult) X(GetOverlappedResultEx) X(SetupComm) X(GetCommState) X(SetCommState) X(GetCommTimeouts)   \
    X(SetCommTimeouts) X(ClearCommError) X(SetCommMask) X(GetCommMask) X(WaitCommEvent) X(PurgeComm)                  \
    X(EscapeCommFunction) X(SetCommBreak) X(ClearCommBreak) X(GetCommModemStatus) X(GetCommProperties) X(GetFileType) \
    X(FlushFileBuffers) X(CreateIoCompletionPort) X(LoadLibraryA) X(LoadLibraryW) X(LoadLibraryExA) X(LoadLibraryExW)  \
    X(GetProcAddress) X(RegOpenKeyExW) X(RegOpenKeyExA) X(RegEnumValueW) X(RegEnumValueA) X(RegQueryInfoKeyW)         \
    X(RegQueryInfoKeyA) X(RegQueryValueExW) X(RegQueryValueExA) X(RegCloseKey)

struct Real {
#define ZOL_REAL(name) decltype(&::name) name = nullptr;
    ZOL_HOOKED(ZOL_REAL)
#undef ZOL_REAL
} real;

std::map<std::string, PortAddress> gPortMap;
SRWLOCK gPortsLock = SRWLOCK_INIT;
std::map<HANDLE, std::shared_ptr<ShimPort>> gPorts;
std::set<std::string> gOpening;  // names whose CreateFile is connecting
CRITICAL_SECTION gPatchLock;
HMODULE gSelf = nullptr;

std::shared_ptr<ShimPort> Find(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    AcquireSRWLockShared(&gPortsLock);
    const auto it = gPorts.find(h);
    std::shared_ptr<ShimPort> port = it != gPorts.end() ? it->second : nullptr;
    ReleaseSRWLockShared(&gPortsLock);
    return port;
}

HANDLE OpenPort(const std::string& name, DWORD flags) {
    AcquireSRWLockExclusive(&gPortsLock);
    bool taken = gOpening.count(name) != 0;
    for (const auto& [h, port] : gPorts) {
        taken = taken || (port->Name() == name && !port->Gone());
    }
    if (!taken) {
        gOpening.insert(name);
    }
    ReleaseSRWLockExclusive(&gPortsLock);
    if (taken) {  // one program's handle at a time, as a serial driver allows
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    const HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::shared_ptr<ShimPort> port;
    if (h != nullptr) {
        port = ShimPort::Open(name, gPortMap.at(name), (flags & FILE_FLAG_OVERLAPPED) != 0, h, &error);
    }
    AcquireSRWLockExclusive(&gPortsLock);
    gOpening.erase(name);
    if (port) {
        gPorts[h] = port;
    }
    ReleaseSRWLockExclusive(&gPortsLock);
    if (!port) {
        if (h != nullptr) {
            real.CloseHandle(h);
        }
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

std::string Narrow(const wchar_t* w) {
    std::string s;
    for (; *w != 0; ++w) {
        if (*w > 0x7F) {
            return "";  // no port name has other characters
        }
        s += static_cast<char>(*w);
    }
    return s;
}

// The port a mapped name opens, else "".
std::string MappedPort(const std::string& fileName) {
    const std::string port = PortOfFileName(fileName);
    return gPortMap.count(port) != 0 ? port : "";
}

HANDLE WINAPI HookCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                              DWORD flags, HANDLE templ) {
    const std::string port = name != nullptr ? MappedPort(name) : "";
    if (port.empty()) {
        return real.CreateFileA(name, access, share, sa, disposition, flags, templ);
    }
    return OpenPort(port, flags);
}

HANDLE WINAPI HookCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                              DWORD flags, HANDLE templ) {
    const std::string port = name != nullptr ? MappedPort(Narrow(name)) : "";
    if (port.empty()) {
        return real.CreateFileW(name, access, share, sa, disposition, flags, templ);
    }
    return OpenPort(port, flags);
}

// A call on handle h: the port's method when h is one of the ports, else the
// system's function with the same arguments.
template <typename RealFn, typename Method, typename... Args>
auto Route(HANDLE h, RealFn realFn, Method method, Args... args) {
    if (auto p = Find(h)) {
        return ((*p).*method)(args...);
    }
    return realFn(h, args...);
}

BOOL WINAPI HookReadFile(HANDLE h, LPVOID buf, DWORD n, LPDWORD done, LPOVERLAPPED ov) {
    return Route(h, real.ReadFile, &ShimPort::Read, buf, n, done, ov);
}
BOOL WINAPI HookWriteFile(HANDLE h, LPCVOID buf, DWORD n, LPDWORD done, LPOVERLAPPED ov) {
    return Route(h, real.WriteFile, &ShimPort::Write, buf, n, done, ov);
}

BOOL WINAPI HookReadFileEx(HANDLE h, LPVOID buf, DWORD n, LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE done) {
    return Route(h, real.ReadFileEx, &ShimPort::ReadEx, buf, n, ov, done);
}
BOOL WINAPI HookWriteFileEx(HANDLE h, LPCVOID buf, DWORD n, LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE done) {
    return Route(h, real.WriteFileEx, &ShimPort::WriteEx, buf, n, ov, done);
}

BOOL WINAPI HookCloseHandle(HANDLE h) {
    std::shared_ptr<ShimPort> port;
    if (h != nullptr && h != INVALID_HANDLE_VALUE) {
        AcquireSRWLockExclusive(&gPortsLock);
        const auto it = gPorts.find(h);
        if (it != gPorts.end()) {
            port = std::move(it->second);
            gPorts.erase(it);
        }
        ReleaseSRWLockExclusive(&gPortsLock);
    }
    if (port) {
        port->Close();
    }
    return real.CloseHandle(h);
}

BOOL WINAPI HookCancelIo(HANDLE h) {
    if (auto p = Find(h)) {
        return p->Cancel(nullptr, true);
    }
    return real.CancelIo(h);
}
BOOL WINAPI HookCancelIoEx(HANDLE h, LPOVERLAPPED ov) {
    if (auto p = Find(h)) {
        return p->Cancel(ov, false);
    }
    return real.CancelIoEx(h, ov);
}

BOOL WINAPI HookGetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD done, BOOL wait) {
    if (auto p = Find(h); p && ov != nullptr) {
        return p->Result(ov, done, wait ? INFINITE : 0, FALSE);
    }
    return real.GetOverlappedResult(h, ov, done, wait);
}
BOOL WINAPI HookGetOverlappedResultEx(HANDLE h, LPOVERLAPPED ov, LPDWORD done, DWORD ms, BOOL alertable) {
    if (auto p = Find(h); p && ov != nullptr) {
        return p->Result(ov, done, ms, alertable);
    }
    return real.GetOverlappedResultEx(h, ov, done, ms, alertable);
}

BOOL WINAPI HookSetupComm(HANDLE h, DWORD in, DWORD out) { return Route(h, real.SetupComm, &ShimPort::Setup, in, out); }
BOOL WINAPI HookGetCommState(HANDLE h, LPDCB dcb) { return Route(h, real.GetCommState, &ShimPort::GetState, dcb); }
BOOL WINAPI HookSetCommState(HANDLE h, LPDCB dcb) { return Route(h, real.SetCommState, &ShimPort::SetState, dcb); }
BOOL WINAPI HookGetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    return Route(h, real.GetCommTimeouts, &ShimPort::GetTimeouts, t);
}
BOOL WINAPI HookSetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    return Route(h, real.SetCommTimeouts, &ShimPort::SetTimeouts, t);
}
BOOL WINAPI HookClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
    return Route(h, real.ClearCommError, &ShimPort::ClearError, errors, stat);
}
BOOL WINAPI HookSetCommMask(HANDLE h, DWORD mask) { return Route(h, real.SetCommMask, &ShimPort::SetMask, mask); }
BOOL WINAPI HookGetCommMask(HANDLE h, LPDWORD mask) { return Route(h, real.GetCommMask, &ShimPort::GetMask, mask); }
BOOL WINAPI HookWaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED ov) {
    return Route(h, real.WaitCommEvent, &ShimPort::WaitEvent, mask, ov);
}
BOOL WINAPI HookPurgeComm(HANDLE h, DWORD flags) { return Route(h, real.PurgeComm, &ShimPort::Purge, flags); }
BOOL WINAPI HookEscapeCommFunction(HANDLE h, DWORD func) {
    return Route(h, real.EscapeCommFunction, &ShimPort::Escape, func);
}
BOOL WINAPI HookSetCommBreak(HANDLE h) {
    if (auto p = Find(h)) {
        return p->Escape(SETBREAK);
    }
    return real.SetCommBreak(h);
}
BOOL WINAPI HookClearCommBreak(HANDLE h) {
    if (auto p = Find(h)) {
        return p->Escape(CLRBREAK);
    }
    return real.ClearCommBreak(h);
}
BOOL WINAPI HookGetCommModemStatus(HANDLE h, LPDWORD status) {
    return Route(h, real.GetCommModemStatus, &ShimPort::ModemStatus, status);
}
BOOL WINAPI HookGetCommProperties(HANDLE h, LPCOMMPROP prop) {
    return Route(h, real.GetCommProperties, &ShimPort::Properties, prop);
}
BOOL WINAPI HookFlushFileBuffers(HANDLE h) { return Route(h, real.FlushFileBuffers, &ShimPort::Flush); }

DWORD WINAPI HookGetFileType(HANDLE h) {
    if (Find(h)) {
        SetLastError(NO_ERROR);
        return FILE_TYPE_CHAR;
    }
    return real.GetFileType(h);
}

HANDLE WINAPI HookCreateIoCompletionPort(HANDLE h, HANDLE existing, ULONG_PTR key, DWORD threads) {
    auto p = Find(h);
    if (!p) {
        return real.CreateIoCompletionPort(h, existing, key, threads);
    }
    const HANDLE port = existing != nullptr ? existing : real.CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, threads);
    if (port != nullptr) {
        p->BindCompletionPort(port, key);
    }
    return port;
}

// The registry where programs list the machine's serial ports (port_list.cpp).
Registry System() {
    return {real.RegOpenKeyExW,    real.RegOpenKeyExA,    real.RegEnumValueW,    real.RegEnumValueA,
            real.RegQueryInfoKeyW, real.RegQueryInfoKeyA, real.RegQueryValueExW, real.RegQueryValueExA,
            real.RegCloseKey};
}
LSTATUS WINAPI HookRegOpenKeyExW(HKEY root, LPCWSTR sub, DWORD options, REGSAM sam, PHKEY out) {
    return ListOpenKeyExW(System(), root, sub, options, sam, out);
}
LSTATUS WINAPI HookRegOpenKeyExA(HKEY root, LPCSTR sub, DWORD options, REGSAM sam, PHKEY out) {
    return ListOpenKeyExA(System(), root, sub, options, sam, out);
}
LSTATUS WINAPI HookRegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved, LPDWORD type,
                                 LPBYTE data, LPDWORD dataBytes) {
    return ListEnumValueW(System(), key, index, name, nameChars, reserved, type, data, dataBytes);
}
LSTATUS WINAPI HookRegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD reserved, LPDWORD type,
                                 LPBYTE data, LPDWORD dataBytes) {
    return ListEnumValueA(System(), key, index, name, nameChars, reserved, type, data, dataBytes);
}
LSTATUS WINAPI HookRegQueryInfoKeyW(HKEY key, LPWSTR cls, LPDWORD clsChars, LPDWORD reserved, LPDWORD subKeys,
                                    LPDWORD maxSubKey, LPDWORD maxClass, LPDWORD values, LPDWORD maxValueName,
                                    LPDWORD maxValue, LPDWORD security, PFILETIME lastWrite) {
    return ListQueryInfoKeyW(System(), key, cls, clsChars, reserved, subKeys, maxSubKey, maxClass, values, maxValueName,
                             maxValue, security, lastWrite);
}
LSTATUS WINAPI HookRegQueryInfoKeyA(HKEY key, LPSTR cls, LPDWORD clsChars, LPDWORD reserved, LPDWORD subKeys,
                                    LPDWORD maxSubKey, LPDWORD maxClass, LPDWORD values, LPDWORD maxValueName,
                                    LPDWORD maxValue, LPDWORD security, PFILETIME lastWrite) {
    return ListQueryInfoKeyA(System(), key, cls, clsChars, reserved, subKeys, maxSubKey, maxClass, values, maxValueName,
                             maxValue, security, lastWrite);
}
LSTATUS WINAPI HookRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                    LPDWORD dataBytes) {
    return ListQueryValueExW(System(), key, name, reserved, type, data, dataBytes);
}
LSTATUS WINAPI HookRegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                    LPDWORD dataBytes) {
    return ListQueryValueExA(System(), key, name, reserved, type, data, dataBytes);
}
LSTATUS WINAPI HookRegCloseKey(HKEY key) { return ListCloseKey(System(), key); }

// Every module's imports of the comm calls pointed at ours.
void PatchAll(bool loaderLock);

HMODULE Loaded(HMODULE m) {
    if (m != nullptr) {
        const DWORD error = GetLastError();
        PatchAll(false);
        SetLastError(error);
    }
    return m;
}

// Loaded only to read from: no code runs there, and its imports are not bound.
bool AsData(DWORD flags) {
    return (flags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) != 0;
}

HMODULE WINAPI HookLoadLibraryA(LPCSTR name) { return Loaded(real.LoadLibraryA(name)); }
HMODULE WINAPI HookLoadLibraryW(LPCWSTR name) { return Loaded(real.LoadLibraryW(name)); }
HMODULE WINAPI HookLoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags) {
    const HMODULE m = real.LoadLibraryExA(name, file, flags);
    return AsData(flags) ? m : Loaded(m);
}
HMODULE WINAPI HookLoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
    const HMODULE m = real.LoadLibraryExW(name, file, flags);
    return AsData(flags) ? m : Loaded(m);
}

FARPROC WINAPI HookGetProcAddress(HMODULE module, LPCSTR name);

struct HookEntry {
    const char* name;
    void* hook;
    void** real;
    void* alsoReal;  // kernelbase's, where kernel32's is another function
};

HookEntry gHooks[] = {
#define ZOL_ENTRY(n) {#n, reinterpret_cast<void*>(&Hook##n), reinterpret_cast<void**>(&real.n), nullptr},
    ZOL_HOOKED(ZOL_ENTRY)
#undef ZOL_ENTRY
};

const HookEntry* HookByName(const char* name) {
    for (const HookEntry& e : gHooks) {
        if (std::strcmp(e.name, name) == 0) {
            return &e;
        }
    }
    return nullptr;
}

const HookEntry* HookByAddress(void* f) {
    for (const HookEntry& e : gHooks) {
        if (f != nullptr && (f == *e.real || f == e.alsoReal)) {
            return &e;
        }
    }
    return nullptr;
}

FARPROC WINAPI HookGetProcAddress(HMODULE module, LPCSTR name) {
    const FARPROC f = real.GetProcAddress(module, name);
    if (f == nullptr || reinterpret_cast<ULONG_PTR>(name) <= 0xFFFF) {
        return f;  // by ordinal: left as it is
    }
    const HookEntry* e = HookByName(name);
    const auto p = reinterpret_cast<void*>(f);
    return e != nullptr && (p == *e->real || p == e->alsoReal) ? reinterpret_cast<FARPROC>(e->hook) : f;
}

bool SystemImport(const char* dll) {
    return _stricmp(dll, "kernel32.dll") == 0 || _stricmp(dll, "kernelbase.dll") == 0 ||
           _stricmp(dll, "advapi32.dll") == 0 || _strnicmp(dll, "api-ms-win-core-", 16) == 0;
}

void PatchModule(HMODULE module) {
    auto* base = reinterpret_cast<std::uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) {
        return;
    }
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC) {
        return;
    }
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0 || dir.Size == 0) {
        return;
    }
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name != 0; ++d) {
        if (!SystemImport(reinterpret_cast<const char*>(base + d->Name)) || d->FirstThunk == 0) {
            continue;
        }
        auto* iat = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        const auto* names =
            d->OriginalFirstThunk != 0 ? reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk) : nullptr;
        for (std::size_t i = 0; iat[i].u1.Function != 0; ++i) {
            const auto now = reinterpret_cast<void*>(iat[i].u1.Function);
            const HookEntry* e = nullptr;
            if (names != nullptr && !IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) {
                const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
                e = HookByName(reinterpret_cast<const char*>(byName->Name));
            } else {
                e = HookByAddress(now);
            }
            if (e == nullptr || now == e->hook || *e->real == nullptr) {
                continue;  // a function this Windows lacks is left as the program has it
            }
            DWORD was = 0;
            if (VirtualProtect(&iat[i], sizeof iat[i], PAGE_READWRITE, &was)) {
                iat[i].u1.Function = reinterpret_cast<ULONG_PTR>(e->hook);
                VirtualProtect(&iat[i], sizeof iat[i], was, &was);
            }
        }
    }
}

void PatchAll(bool loaderLock) {
    const HMODULE skip[] = {gSelf, GetModuleHandleW(L"ntdll.dll"), GetModuleHandleW(L"kernel32.dll"),
                            GetModuleHandleW(L"kernelbase.dll")};
    EnterCriticalSection(&gPatchLock);
    HMODULE modules[1024];
    DWORD needed = 0;
    if (K32EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &needed)) {
        const DWORD count = std::min<DWORD>(needed / sizeof(HMODULE), sizeof modules / sizeof modules[0]);
        for (DWORD i = 0; i < count; ++i) {
            // Held while it is changed, as another thread may free it meanwhile;
            // under the loader lock no other thread can, and nothing is freed there.
            HMODULE held = nullptr;
            const DWORD how = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              (loaderLock ? GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT : 0);
            if (std::find(std::begin(skip), std::end(skip), modules[i]) == std::end(skip) &&
                GetModuleHandleExW(how, reinterpret_cast<LPCWSTR>(modules[i]), &held)) {
                if (held == modules[i]) {
                    PatchModule(held);
                }
                if (!loaderLock) {
                    FreeLibrary(held);
                }
            }
        }
    }
    LeaveCriticalSection(&gPatchLock);
}

void Attach(HMODULE self) {
    gSelf = self;
    InitializeCriticalSection(&gPatchLock);
    char map[4096];
    const DWORD n = GetEnvironmentVariableA("ZOLHOST_COM", map, sizeof map);
    if (n > 0 && n < sizeof map) {
        gPortMap = ParsePortMap(std::string(map, n));
    }
    if (gPortMap.empty()) {
        return;  // no port to give: the program is left as it is
    }
    const HMODULE k32 = GetModuleHandleW(L"kernel32.dll");
    const HMODULE kb = GetModuleHandleW(L"kernelbase.dll");
    for (HookEntry& e : gHooks) {
        *e.real = reinterpret_cast<void*>(GetProcAddress(k32, e.name));
        void* const other = kb != nullptr ? reinterpret_cast<void*>(GetProcAddress(kb, e.name)) : nullptr;
        e.alsoReal = other != *e.real ? other : nullptr;
        if (*e.real == nullptr) {  // not in this Windows: the hook never runs
            *e.real = other;
        }
    }
    std::vector<std::string> names;
    for (const auto& [name, address] : gPortMap) {
        names.push_back(name);
    }
    SetListedPorts(std::move(names));
    PatchAll(true);
}

}  // namespace
}  // namespace zolhost::comshim

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(self);
        zolhost::comshim::Attach(self);
    }
    return TRUE;
}
