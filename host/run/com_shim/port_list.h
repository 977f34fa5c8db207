// The program's ports where programs look for the machine's serial ports: the
// registry's HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (read by .NET's
// SerialPort.GetPortNames, among others). A key opened
// there lists each port of ZOLHOST_COM as a value after the system's own
// ("\Device\ZolhostCOM7" = "COM7"); where the machine has no such key, one of the
// system's stands in for it and lists those alone. Every other key is the
// system's, untouched.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zolhost::comshim {

// The system's functions the list stands on.
struct Registry {
    decltype(&::RegOpenKeyExW) openW;
    decltype(&::RegOpenKeyExA) openA;
    decltype(&::RegEnumValueW) enumW;
    decltype(&::RegEnumValueA) enumA;
    decltype(&::RegQueryInfoKeyW) infoW;
    decltype(&::RegQueryInfoKeyA) infoA;
    decltype(&::RegQueryValueExW) valueW;
    decltype(&::RegQueryValueExA) valueA;
    decltype(&::RegCloseKey) close;
};

// The names to list ("COM7"), set once before any other call.
void SetListedPorts(std::vector<std::string> names);

LSTATUS ListOpenKeyExW(const Registry& r, HKEY root, LPCWSTR sub, DWORD options, REGSAM sam, PHKEY out);
LSTATUS ListOpenKeyExA(const Registry& r, HKEY root, LPCSTR sub, DWORD options, REGSAM sam, PHKEY out);
LSTATUS ListEnumValueW(const Registry& r, HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved,
                       LPDWORD type, LPBYTE data, LPDWORD dataBytes);
LSTATUS ListEnumValueA(const Registry& r, HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD reserved,
                       LPDWORD type, LPBYTE data, LPDWORD dataBytes);
LSTATUS ListQueryInfoKeyW(const Registry& r, HKEY key, LPWSTR cls, LPDWORD clsChars, LPDWORD reserved, LPDWORD subKeys,
                          LPDWORD maxSubKeyChars, LPDWORD maxClassChars, LPDWORD values, LPDWORD maxValueNameChars,
                          LPDWORD maxValueBytes, LPDWORD securityBytes, PFILETIME lastWrite);
LSTATUS ListQueryInfoKeyA(const Registry& r, HKEY key, LPSTR cls, LPDWORD clsChars, LPDWORD reserved, LPDWORD subKeys,
                          LPDWORD maxSubKeyChars, LPDWORD maxClassChars, LPDWORD values, LPDWORD maxValueNameChars,
                          LPDWORD maxValueBytes, LPDWORD securityBytes, PFILETIME lastWrite);
LSTATUS ListQueryValueExW(const Registry& r, HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                          LPDWORD dataBytes);
LSTATUS ListQueryValueExA(const Registry& r, HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                          LPDWORD dataBytes);
LSTATUS ListCloseKey(const Registry& r, HKEY key);

}  // namespace zolhost::comshim
