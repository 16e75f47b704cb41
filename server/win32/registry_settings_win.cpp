#include "server/win32/registry_settings_win.h"

#include <utility>

#include "common/win32_handles.h"
#include "server/win32/registry_list.h"

namespace korrin {

RegistrySettings::RegistrySettings(HKEY root, std::string application, std::string section)
    : RegistrySettings(root, "Software\\" + application + "\\" + section) {}

RegistrySettings::RegistrySettings(HKEY root, std::string subKey)
    : root_(root),
      // A 32-bit program on 64-bit Windows would read HKLM from the redirected WOW6432Node,
      // not where an administrator's 64-bit tools write; 32-bit Windows ignores the flag.
      view_(root == HKEY_LOCAL_MACHINE ? KEY_WOW64_64KEY : 0),
      subKey_(std::move(subKey)) {}

LONG RegistrySettings::read(std::string_view key, DWORD& type, std::string& data) {
    oxa::UniqueHkey k;
    LONG rc = RegOpenKeyExA(root_, subKey_.c_str(), 0, KEY_READ | view_, k.put());
    if (rc != ERROR_SUCCESS) return rc;
    const std::string name(key);
    // The value may grow between the two calls: ask again until it fits.
    for (int tries = 0; tries < 4; ++tries) {
        DWORD size = 0;
        rc = RegQueryValueExA(k.get(), name.c_str(), nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS) return rc;
        data.assign(size, '\0');
        rc = RegQueryValueExA(k.get(), name.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(&data[0]), &size);
        if (rc != ERROR_MORE_DATA) {
            data.resize(size);
            return rc;
        }
    }
    return rc;
}

std::string RegistrySettings::get(std::string_view key, std::string_view defaultValue) {
    DWORD type = 0;
    std::string value;
    const LONG rc = read(key, type, value);
    // Only a missing value takes the default: one of another type, or one that cannot be read,
    // must not open the default port.
    if (rc == ERROR_FILE_NOT_FOUND) return std::string(defaultValue);
    return textFromRegistry(rc, type, value);
}

ListText RegistrySettings::getList(std::string_view key) {
    DWORD type = 0;
    std::string data;
    const LONG rc = read(key, type, data);
    if (rc == ERROR_FILE_NOT_FOUND) return {};  // no key or no value: everyone
    if (rc != ERROR_SUCCESS)
        return {"", "the value cannot be read (error " + std::to_string(rc) + ")"};
    return listTextFromRegistry(type, data);
}

void RegistrySettings::save(std::string_view key, std::string_view value) {
    oxa::UniqueHkey k;
    if (RegCreateKeyExA(root_, subKey_.c_str(), 0, nullptr, 0, KEY_WRITE | view_, nullptr, k.put(),
                        nullptr) != ERROR_SUCCESS)
        return;
    const std::string name(key), data(value);
    RegSetValueExA(k.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>(data.size() + 1));
}

}  // namespace korrin
