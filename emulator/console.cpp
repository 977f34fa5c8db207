// Console output, the same on every platform.
#include "emulator/console.h"

#include <cstdarg>
#include <cstdio>

void ConsolePrint(const char* szFormat, ...) {
    std::va_list args;
    va_start(args, szFormat);
    std::vprintf(szFormat, args);
    va_end(args);
    std::fflush(stdout);  // the status text ends in "\r" and must show at once
}
