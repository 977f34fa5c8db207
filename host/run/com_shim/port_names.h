// What the program names and what zolhost maps: the ports of ZOLHOST_COM
// ("COM2=127.0.0.1:40001;COM5=127.0.0.1:40002") and the file names a program opens
// a COM port by. No Windows calls: plain strings in, plain answers out.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace zolhost::comshim {

struct PortAddress {
    std::string host;    // dotted IPv4, as zolhost gives it
    std::uint16_t port = 0;
};

// Names in upper case ("COM2"). Entries that do not parse are left out.
std::map<std::string, PortAddress> ParsePortMap(const std::string& text);

// The port a CreateFile name opens, upper case ("COM2"), or "" when the name is no
// COM port: "COM2", "com2", "COM2:", "\\.\COM2", "\\?\COM2" (either slash in
// the prefix). Digits only after COM, no leading zero.
std::string PortOfFileName(const std::string& name);

}  // namespace zolhost::comshim
