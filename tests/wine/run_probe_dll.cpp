// A DLL that stands in for zolhost's own in the program zolhost run starts: when it
// is loaded it leaves ZOLHOST_PROBE_DLL in the process's environment, saying
// whether the program's import table was filled in by then ("imports bound") or
// not ("imports unbound"), for the program to print (run_probe.cpp).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// Every entry of the program's import address table holds a function's address
// rather than the name it was looked up by.
bool ImportsBound() {
    const auto base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
    const auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) {
        return true;
    }
    int looked = 0;
    for (auto d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name != 0; ++d) {
        if (d->OriginalFirstThunk == 0) {
            continue;
        }
        const auto names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        const auto bound = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (int k = 0; names[k].u1.AddressOfData != 0; ++k, ++looked) {
            if (bound[k].u1.Function == names[k].u1.AddressOfData) {
                return false;
            }
        }
    }
    return looked > 0;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        SetEnvironmentVariableW(L"ZOLHOST_PROBE_DLL", ImportsBound() ? L"imports bound" : L"imports unbound");
    }
    return TRUE;
}
