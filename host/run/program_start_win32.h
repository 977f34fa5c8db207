// A program started on Windows with a DLL of ours in it before any of its own code
// runs: created suspended, the DLL loaded by a thread of ours in it (at LoadLibraryW,
// whose address is the same in every process of zolhost's bitness), and only then
// let go. Only a program of zolhost's own bitness can be given the DLL this way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zolhost {

struct StartedProgram {
    std::intptr_t process = 0;  // its handle, to wait on and to take its exit code
    std::uint32_t pid = 0;
};

// argv[0] is found as CreateProcess finds a program (".exe" added, zolhost's own
// folder, the current one, the system's, PATH). The program's environment is
// zolhost's with `name`=`value` in place of any of that name. Standard input,
// output and error are zolhost's, and no other handle of zolhost's goes with it;
// with `ownConsole`, it has a console of its own with no window instead, and none
// of zolhost's handles. false with *error and the exit status zolhost gives (*status): 127 when there is
// no such program, 126 when it cannot be run, kExitNoLink when the DLL cannot be
// loaded into it (it is ended then).
bool StartWithDll(const std::vector<std::string>& argv, const std::string& name, const std::string& value,
                  const std::wstring& dll, StartedProgram* started, int* status, std::string* error,
                  bool ownConsole = false);

// The DLL zolhost gives a program of its own bitness, beside zolhost.exe.
const char* ComDllName();

// Its full path; empty when zolhost cannot tell its own folder.
std::wstring ComDllPath();

}  // namespace zolhost
