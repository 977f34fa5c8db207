// A program for zolhost run to start: prints what the DLL loaded into it left in its
// environment before the program's first code ran (a static object made before
// main), the map of its ports, its arguments one a line, and exits with the status given as its first
// argument, after the milliseconds given as its second; with a third, "keep", it
// lets Ctrl-C pass (its own to act on, as a program that saves its work first).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Variable(const char* name) {
    char value[4096];
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string("(none)");
}

// Made before main, from the program's entry point: the earliest the program's own
// code runs.
const std::string gAtStart = Variable("ZOLHOST_PROBE_DLL");

}  // namespace

int main(int argc, char** argv) {
    if (argc > 3 && std::string(argv[3]) == "keep") {
        SetConsoleCtrlHandler(nullptr, TRUE);
    }
    std::printf("dll at start: %s\nports: %s\n", gAtStart.c_str(), Variable("ZOLHOST_COM").c_str());
    for (int k = 1; k < argc; ++k) {
        std::printf("arg: [%s]\n", argv[k]);
    }
    std::fflush(stdout);
    Sleep(argc > 2 ? static_cast<DWORD>(std::atoi(argv[2])) : 0);
    return argc > 1 ? std::atoi(argv[1]) : 0;
}
