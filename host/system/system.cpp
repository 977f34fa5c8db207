// The parts of the system zolhost needs that are the same everywhere.
#include <filesystem>
#include <random>

#include "host/system/system.h"

namespace zolhost {

std::string MakeTempDir(const std::string& prefix, std::string* error) {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    std::random_device seed;
    std::mt19937_64 rng(seed());
    for (int i = 0; !ec && i < 100; ++i) {
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(rng()));
        const std::filesystem::path dir = base / (prefix + suffix);
        if (std::filesystem::create_directory(dir, ec)) {
            std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ec);
            return dir.string();  // made now: nobody else's
        }
    }
    *error = "cannot make a temp dir" + (base.empty() ? std::string() : " in " + base.string()) +
             (ec ? ": " + ec.message() : ": every name tried was taken");
    return {};
}

}  // namespace zolhost
