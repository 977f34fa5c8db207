#include "host/run/com_shim/port_list.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

namespace zolhost::comshim {

namespace {

constexpr char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr char kStandIn[] = "HARDWARE\\DEVICEMAP";  // on every machine, with no values of its own
constexpr wchar_t kStandInW[] = L"HARDWARE\\DEVICEMAP";

std::vector<std::string> gNames;
SRWLOCK gLock = SRWLOCK_INIT;
std::map<HKEY, bool> gKeys;  // keys opened at SERIALCOMM; true: a stand-in, whose values are not listed

// The name given, without slashes before or after, is SERIALCOMM's (any case).
template <typename C>
bool IsSerialComm(HKEY root, const C* sub) {
    if (root != HKEY_LOCAL_MACHINE || sub == nullptr || gNames.empty()) {
        return false;
    }
    std::size_t n = 0;
    while (sub[n] != 0) {
        ++n;
    }
    std::size_t from = 0;
    while (from < n && sub[from] == '\\') {
        ++from;
    }
    while (n > from && sub[n - 1] == '\\') {
        --n;
    }
    if (n - from != std::strlen(kSerialComm)) {
        return false;
    }
    for (std::size_t k = 0; k < n - from; ++k) {
        const auto c = static_cast<unsigned>(sub[from + k]);
        if (c > 0x7F || std::toupper(static_cast<int>(c)) != kSerialComm[k]) {
            return false;
        }
    }
    return true;
}

// Whether the key is one of ours, and a stand-in.
bool Listed(HKEY key, bool* standIn) {
    AcquireSRWLockShared(&gLock);
    const auto it = gKeys.find(key);
    const bool listed = it != gKeys.end();
    *standIn = listed && it->second;
    ReleaseSRWLockShared(&gLock);
    return listed;
}

template <typename Open>
LSTATUS OpenListed(HKEY root, bool serialComm, PHKEY out, Open open) {
    LSTATUS r = open(root, false);
    if (!serialComm) {
        if (r == ERROR_SUCCESS) {  // a handle of ours closed some other way is another key now
            bool standIn = false;
            if (Listed(*out, &standIn)) {
                AcquireSRWLockExclusive(&gLock);
                gKeys.erase(*out);
                ReleaseSRWLockExclusive(&gLock);
            }
        }
        return r;
    }
    bool standIn = false;
    if (r == ERROR_FILE_NOT_FOUND) {  // no serial port on the machine: a key of the system's lists ours alone
        r = open(HKEY_LOCAL_MACHINE, true);
        standIn = true;
    }
    if (r == ERROR_SUCCESS) {
        AcquireSRWLockExclusive(&gLock);
        gKeys[*out] = standIn;
        ReleaseSRWLockExclusive(&gLock);
    }
    return r;
}

// "\Device\ZolhostCOM7" for "COM7".
std::string ValueName(const std::string& port) { return "\\Device\\Zolhost" + port; }

// Our k-th value's data into the caller's buffers, as RegQueryValueEx and
// RegEnumValue fill them: its length in bytes with its end.
template <typename C>
LSTATUS FillData(std::size_t k, LPDWORD type, LPBYTE data, LPDWORD dataBytes) {
    const std::string& value = gNames[k];
    if (type != nullptr) {
        *type = REG_SZ;
    }
    const auto need = static_cast<DWORD>((value.size() + 1) * sizeof(C));
    if (dataBytes == nullptr) {
        return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    }
    if (data != nullptr && *dataBytes < need) {
        *dataBytes = need;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr) {
        C* out = reinterpret_cast<C*>(data);
        std::copy(value.begin(), value.end(), out);
        out[value.size()] = 0;
    }
    *dataBytes = need;
    return ERROR_SUCCESS;
}

// ... and its name too, for RegEnumValue: its length in characters without its end.
template <typename C>
LSTATUS FillValue(std::size_t k, C* name, LPDWORD nameChars, LPDWORD type, LPBYTE data, LPDWORD dataBytes) {
    const std::string valueName = ValueName(gNames[k]);
    if (nameChars == nullptr || name == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (*nameChars <= valueName.size()) {
        *nameChars = static_cast<DWORD>(valueName.size());  // what it would take
        return ERROR_MORE_DATA;
    }
    std::copy(valueName.begin(), valueName.end(), name);
    name[valueName.size()] = 0;
    *nameChars = static_cast<DWORD>(valueName.size());
    return FillData<C>(k, type, data, dataBytes);
}

// Which of ours a value name is (any case); gNames.size() when none.
template <typename C>
std::size_t OursNamed(const C* name) {
    for (std::size_t k = 0; name != nullptr && k < gNames.size(); ++k) {
        const std::string ours = ValueName(gNames[k]);
        std::size_t i = 0;
        while (i < ours.size() && name[i] != 0 && static_cast<unsigned>(name[i]) <= 0x7F &&
               std::toupper(static_cast<int>(name[i])) == std::toupper(static_cast<unsigned char>(ours[i]))) {
            ++i;
        }
        if (i == ours.size() && name[i] == 0) {
            return k;
        }
    }
    return gNames.size();
}

template <typename C, typename ValueFn>
LSTATUS ValueListed(HKEY key, const C* name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataBytes,
                    ValueFn valueFn) {
    bool standIn = false;
    const std::size_t k = Listed(key, &standIn) ? OursNamed(name) : gNames.size();
    return k < gNames.size() ? FillData<C>(k, type, data, dataBytes) : valueFn(key, name, reserved, type, data, dataBytes);
}

// The system's values of a listed key (none for a stand-in); the count the
// system gives, else none.
template <typename Info>
DWORD SystemValues(HKEY key, bool standIn, Info info) {
    DWORD values = 0;
    return standIn || info(key, &values) != ERROR_SUCCESS ? 0 : values;
}

// Our values after the system's: each count as RegQueryInfoKey gives it.
void AddListed(bool standIn, LPDWORD subKeys, LPDWORD values, LPDWORD maxValueNameChars, LPDWORD maxValueBytes,
               std::size_t charBytes) {
    std::size_t longestName = 0;
    std::size_t longestValue = 0;
    for (const std::string& n : gNames) {
        longestName = std::max(longestName, ValueName(n).size());
        longestValue = std::max(longestValue, (n.size() + 1) * charBytes);
    }
    if (standIn && subKeys != nullptr) {
        *subKeys = 0;
    }
    if (values != nullptr) {
        *values = (standIn ? 0 : *values) + static_cast<DWORD>(gNames.size());
    }
    if (maxValueNameChars != nullptr) {
        *maxValueNameChars = std::max<DWORD>(standIn ? 0 : *maxValueNameChars, static_cast<DWORD>(longestName));
    }
    if (maxValueBytes != nullptr) {
        *maxValueBytes = std::max<DWORD>(standIn ? 0 : *maxValueBytes, static_cast<DWORD>(longestValue));
    }
}

// After the system's RegQueryInfoKey of `key` (status s): our values counted in.
LSTATUS InfoListed(LSTATUS s, HKEY key, LPDWORD subKeys, LPDWORD values, LPDWORD maxValueNameChars,
                   LPDWORD maxValueBytes, std::size_t charBytes) {
    bool standIn = false;
    if (s == ERROR_SUCCESS && Listed(key, &standIn)) {
        AddListed(standIn, subKeys, values, maxValueNameChars, maxValueBytes, charBytes);
    }
    return s;
}

template <typename C, typename EnumFn, typename InfoFn>
LSTATUS EnumListed(HKEY key, DWORD index, C* name, LPDWORD nameChars, LPDWORD reserved, LPDWORD type, LPBYTE data,
                   LPDWORD dataBytes, EnumFn enumFn, InfoFn info) {
    bool standIn = false;
    if (!Listed(key, &standIn)) {
        return enumFn(key, index, name, nameChars, reserved, type, data, dataBytes);
    }
    const DWORD own = SystemValues(key, standIn, info);
    if (index < own) {
        return enumFn(key, index, name, nameChars, reserved, type, data, dataBytes);
    }
    const std::size_t k = index - own;
    return k < gNames.size() ? FillValue(k, name, nameChars, type, data, dataBytes) : ERROR_NO_MORE_ITEMS;
}

}  // namespace

void SetListedPorts(std::vector<std::string> names) {
    gNames = std::move(names);
}

LSTATUS ListOpenKeyExW(const Registry& r, HKEY root, LPCWSTR sub, DWORD options, REGSAM sam, PHKEY out) {
    return OpenListed(root, IsSerialComm(root, sub), out, [&](HKEY at, bool standIn) {
        return standIn ? r.openW(at, kStandInW, 0, sam & ~KEY_WRITE, out) : r.openW(at, sub, options, sam, out);
    });
}

LSTATUS ListOpenKeyExA(const Registry& r, HKEY root, LPCSTR sub, DWORD options, REGSAM sam, PHKEY out) {
    return OpenListed(root, IsSerialComm(root, sub), out, [&](HKEY at, bool standIn) {
        return standIn ? r.openA(at, kStandIn, 0, sam & ~KEY_WRITE, out) : r.openA(at, sub, options, sam, out);
    });
}

LSTATUS ListEnumValueW(const Registry& r, HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved,
                       LPDWORD type, LPBYTE data, LPDWORD dataBytes) {
    return EnumListed(key, index, name, nameChars, reserved, type, data, dataBytes, r.enumW, [&](HKEY k, LPDWORD v) {
        return r.infoW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, v, nullptr, nullptr, nullptr, nullptr);
    });
}

LSTATUS ListEnumValueA(const Registry& r, HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD reserved,
                       LPDWORD type, LPBYTE data, LPDWORD dataBytes) {
    return EnumListed(key, index, name, nameChars, reserved, type, data, dataBytes, r.enumA, [&](HKEY k, LPDWORD v) {
        return r.infoA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, v, nullptr, nullptr, nullptr, nullptr);
    });
}

LSTATUS ListQueryInfoKeyW(const Registry& r, HKEY key, LPWSTR cls, LPDWORD clsChars, LPDWORD reserved, LPDWORD subKeys,
                          LPDWORD maxSubKeyChars, LPDWORD maxClassChars, LPDWORD values, LPDWORD maxValueNameChars,
                          LPDWORD maxValueBytes, LPDWORD securityBytes, PFILETIME lastWrite) {
    return InfoListed(r.infoW(key, cls, clsChars, reserved, subKeys, maxSubKeyChars, maxClassChars, values,
                              maxValueNameChars, maxValueBytes, securityBytes, lastWrite),
                      key, subKeys, values, maxValueNameChars, maxValueBytes, sizeof(WCHAR));
}

LSTATUS ListQueryInfoKeyA(const Registry& r, HKEY key, LPSTR cls, LPDWORD clsChars, LPDWORD reserved, LPDWORD subKeys,
                          LPDWORD maxSubKeyChars, LPDWORD maxClassChars, LPDWORD values, LPDWORD maxValueNameChars,
                          LPDWORD maxValueBytes, LPDWORD securityBytes, PFILETIME lastWrite) {
    return InfoListed(r.infoA(key, cls, clsChars, reserved, subKeys, maxSubKeyChars, maxClassChars, values,
                              maxValueNameChars, maxValueBytes, securityBytes, lastWrite),
                      key, subKeys, values, maxValueNameChars, maxValueBytes, sizeof(char));
}

LSTATUS ListQueryValueExW(const Registry& r, HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                          LPDWORD dataBytes) {
    return ValueListed(key, name, reserved, type, data, dataBytes, r.valueW);
}

LSTATUS ListQueryValueExA(const Registry& r, HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                          LPDWORD dataBytes) {
    return ValueListed(key, name, reserved, type, data, dataBytes, r.valueA);
}

LSTATUS ListCloseKey(const Registry& r, HKEY key) {
    AcquireSRWLockExclusive(&gLock);
    gKeys.erase(key);
    ReleaseSRWLockExclusive(&gLock);
    return r.close(key);
}

}  // namespace zolhost::comshim
