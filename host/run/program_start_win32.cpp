// Starting a program with zolhost's DLL in it: CreateProcessW suspended, the DLL's
// path written into the new process, a thread of ours made there at LoadLibraryW
// and waited for, then the program's own thread let go. The new process has run
// none of its code when our thread starts; that thread is the first to run there,
// so it is the one that sets the process up (the system's loader maps and links the
// program's imports first) before it loads the DLL: the program's import table is
// filled in by then, and its entry point has not run. What the loader runs while it
// sets the process up comes first: the start-up of the DLLs the program imports,
// and the program's own TLS callbacks, if it has any.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <psapi.h>

#include "host/run/program_start_win32.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "host/base/outcome.h"
#include "host/system/system.h"

namespace zolhost {

namespace {

// How long the DLL may take to load: the system's loader sets the whole process up
// first (under an emulated CPU, many times as long as on a real one).
constexpr DWORD kLoadWaitMs = 60000;

std::wstring Wide(const std::string& s) {
    if (s.empty()) {
        return {};
    }
    const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string Narrow(const std::wstring& w) {
    if (w.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

// zolhost's environment with name=value in place of any variable of that name
// (names are not case-sensitive here), as CreateProcessW takes it.
std::wstring EnvironmentWith(const std::wstring& name, const std::wstring& value) {
    std::wstring block;
    const auto same = [&name](const wchar_t* entry) {
        std::size_t k = 0;
        for (; k < name.size() && entry[k] != L'\0'; ++k) {
            if (std::towupper(entry[k]) != std::towupper(name[k])) {
                return false;
            }
        }
        return k == name.size() && entry[k] == L'=';
    };
    if (wchar_t* all = GetEnvironmentStringsW(); all != nullptr) {
        for (const wchar_t* e = all; *e != L'\0'; e += wcslen(e) + 1) {
            if (!same(e)) {
                block.append(e).push_back(L'\0');
            }
        }
        FreeEnvironmentStringsW(all);
    }
    block.append(name).append(L"=").append(value).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

std::wstring Quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring q = L"\"";
    std::size_t slashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        // Backslashes before a quote are doubled and the quote escaped; elsewhere
        // they stand as they are.
        q.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
        q.push_back(c);
        slashes = 0;
    }
    q.append(2 * slashes, L'\\');  // before the closing quote
    q.push_back(L'"');
    return q;
}

bool IsWow64(HANDLE process) {
    BOOL wow = FALSE;
    return IsWow64Process(process, &wow) && wow;
}

// Whether the process has a module of dll's file name. The loading thread's exit
// code cannot tell: it is what LoadLibraryW returned cut to 32 bits, which is 0 for
// a 64-bit module loaded at a multiple of 4 GB.
bool HasModule(HANDLE process, const std::wstring& dll) {
    const std::wstring name = dll.substr(dll.find_last_of(L"\\/") + 1);
    HMODULE modules[1024];
    DWORD bytes = 0;
    if (!K32EnumProcessModules(process, modules, sizeof modules, &bytes)) {
        return false;
    }
    for (DWORD k = 0; k < std::min<DWORD>(bytes, sizeof modules) / sizeof(HMODULE); ++k) {
        wchar_t path[MAX_PATH];
        const DWORD n = K32GetModuleBaseNameW(process, modules[k], path, MAX_PATH);
        if (n > 0 && CompareStringOrdinal(path, static_cast<int>(n), name.c_str(), static_cast<int>(name.size()),
                                          TRUE) == CSTR_EQUAL) {
            return true;
        }
    }
    return false;
}

// Loads dll into the suspended process; false with *error.
bool LoadInto(HANDLE process, const std::wstring& dll, std::string* error) {
    const SIZE_T bytes = (dll.size() + 1) * sizeof(wchar_t);
    void* at = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (at == nullptr) {
        *error = "cannot write into it: " + SystemErrorText(GetLastError());
        return false;
    }
    bool loaded = false;
    // LoadLibraryW is at the same address in every process of our bitness:
    // kernel32 is mapped at one place for all of them until the system restarts.
    const auto load = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
    HANDLE thread = nullptr;
    if (!WriteProcessMemory(process, at, dll.c_str(), bytes, nullptr)) {
        *error = "cannot write into it: " + SystemErrorText(GetLastError());
    } else if (load == nullptr ||
               (thread = CreateRemoteThread(process, nullptr, 0, load, at, 0, nullptr)) == nullptr) {
        *error = "cannot start a thread in it: " + SystemErrorText(GetLastError());
    } else if (WaitForSingleObject(thread, kLoadWaitMs) != WAIT_OBJECT_0) {
        *error = "it did not load the DLL within " + std::to_string(kLoadWaitMs / 1000) + " s";
    } else if (!(loaded = HasModule(process, dll))) {
        *error = "the DLL did not load in it (missing, damaged, or its start-up failed)";
    }
    if (thread != nullptr) {
        CloseHandle(thread);
    }
    VirtualFreeEx(process, at, 0, MEM_RELEASE);
    return loaded;
}

// A program's command line as its C runtime splits it back into argv.
std::wstring CommandLineOf(const std::vector<std::wstring>& argv) {
    std::wstring line;
    for (const std::wstring& a : argv) {
        line.append(line.empty() ? L"" : L" ").append(Quoted(a));
    }
    return line;
}

}  // namespace

const char* ComDllName() {
    return sizeof(void*) == 8 ? "zolhost-com64.dll" : "zolhost-com32.dll";
}

std::wstring ComDllPath() {
    wchar_t own[32768];
    const DWORD n = GetModuleFileNameW(nullptr, own, sizeof own / sizeof own[0]);
    if (n == 0 || n >= sizeof own / sizeof own[0]) {
        return {};
    }
    std::wstring path(own, n);
    const std::size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1) + Wide(ComDllName());
}

bool StartWithDll(const std::vector<std::string>& argv, const std::string& name, const std::string& value,
                  const std::wstring& dll, StartedProgram* started, int* status, std::string* error,
                  bool ownConsole) {
    std::vector<std::wstring> wide;
    for (const std::string& a : argv) {
        wide.push_back(Wide(a));
    }
    std::wstring line = CommandLineOf(wide);
    std::wstring env = EnvironmentWith(Wide(name), Wide(value));

    // Standard input, output and error go with the program, and nothing else: the
    // listening sockets of its ports stay zolhost's alone, so that they go when
    // zolhost does.
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    if (!ownConsole) {
        si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        si.StartupInfo.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.StartupInfo.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        si.StartupInfo.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    std::vector<HANDLE> inherited;
    for (const HANDLE h : {si.StartupInfo.hStdInput, si.StartupInfo.hStdOutput, si.StartupInfo.hStdError}) {
        if (h != nullptr && h != INVALID_HANDLE_VALUE &&
            std::find(inherited.begin(), inherited.end(), h) == inherited.end() &&
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
            inherited.push_back(h);
        }
    }
    SIZE_T listBytes = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listBytes);
    std::vector<unsigned char> list(listBytes);
    DWORD flags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | (ownConsole ? CREATE_NO_WINDOW : 0);
    if (!inherited.empty() && listBytes > 0) {
        si.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
        if (InitializeProcThreadAttributeList(si.lpAttributeList, 1, 0, &listBytes) &&
            UpdateProcThreadAttribute(si.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                      inherited.size() * sizeof(HANDLE), nullptr, nullptr)) {
            flags |= EXTENDED_STARTUPINFO_PRESENT;
        } else {
            si.lpAttributeList = nullptr;
        }
    }
    PROCESS_INFORMATION pi{};
    const BOOL made = CreateProcessW(nullptr, line.data(), nullptr, nullptr, inherited.empty() ? FALSE : TRUE, flags,
                                     env.data(), nullptr, &si.StartupInfo, &pi);
    const DWORD why = made ? 0 : GetLastError();
    if (si.lpAttributeList != nullptr) {
        DeleteProcThreadAttributeList(si.lpAttributeList);
    }
    if (!made) {
        *error = "cannot run " + argv.front() + ": " + SystemErrorText(why);
        *status = why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND || why == ERROR_INVALID_NAME ? 127 : 126;
        return false;
    }
    const bool self32 = sizeof(void*) == 4;
    const bool other = IsWow64(GetCurrentProcess()) != IsWow64(pi.hProcess);
    std::string why2;
    if (other) {
        const char* its = self32 ? "64" : "32";
        why2 = argv.front() + " is a " + its + "-bit program: run it with the " + its + "-bit zolhost.exe";
    } else if (!LoadInto(pi.hProcess, dll, &why2)) {
        why2 = "cannot load " + Narrow(dll) + " into " + argv.front() + ": " + why2;
    }
    if (!why2.empty()) {
        TerminateProcess(pi.hProcess, static_cast<UINT>(kExitNoLink));
        WaitForSingleObject(pi.hProcess, 5000);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        *error = why2;
        *status = kExitNoLink;
        return false;
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    started->process = reinterpret_cast<std::intptr_t>(pi.hProcess);
    started->pid = pi.dwProcessId;
    return true;
}

}  // namespace zolhost
