#include "host/run/com_shim/port_names.h"

#include <cctype>

namespace zolhost::comshim {

namespace {

std::string Upper(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

// "COM" and 1 to 3 digits, the first not 0: the name upper case, else "".
std::string ComName(const std::string& s) {
    const std::string u = Upper(s);
    if (u.size() < 4 || u.size() > 6 || u.compare(0, 3, "COM") != 0 || u[3] == '0') {
        return "";
    }
    for (std::size_t i = 3; i < u.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(u[i]))) {
            return "";
        }
    }
    return u;
}

bool Slash(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::map<std::string, PortAddress> ParsePortMap(const std::string& text) {
    std::map<std::string, PortAddress> ports;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find(';', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string entry = text.substr(at, end - at);
        at = end + 1;
        const std::size_t eq = entry.find('=');
        const std::size_t colon = entry.rfind(':');
        if (eq == std::string::npos || colon == std::string::npos || colon < eq) {
            continue;
        }
        const std::string name = ComName(entry.substr(0, eq));
        const std::string host = entry.substr(eq + 1, colon - eq - 1);
        const std::string port = entry.substr(colon + 1);
        if (name.empty() || host.empty() || port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const unsigned long n = std::stoul(port);
        if (n == 0 || n > 65535) {
            continue;
        }
        ports[name] = {host, static_cast<std::uint16_t>(n)};
    }
    return ports;
}

std::string PortOfFileName(const std::string& name) {
    if (name.size() >= 4 && Slash(name[0]) && Slash(name[1]) && (name[2] == '.' || name[2] == '?') && Slash(name[3])) {
        return ComName(name.substr(4));
    }
    if (!name.empty() && name.back() == ':') {
        return ComName(name.substr(0, name.size() - 1));
    }
    return ComName(name);
}

}  // namespace zolhost::comshim
