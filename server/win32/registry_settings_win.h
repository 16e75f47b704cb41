// The relay's settings store in the registry.
#pragma once

#include <windows.h>

#include <string>

#include "server/net/relay_seams.h"

namespace korrin {

// Where the settings live: <root>\Software\<application>\<section> in the registry, per user
// for the window and per machine for the service.
inline constexpr char kSettingsApplication[] = "Oxa Software";
inline constexpr char kSettingsSection[] = "VarnelServer";

// <root>\Software\<application>\<section>: text values REG_SZ (any other type reads as a wrong
// text, see textFromRegistry); lists also REG_EXPAND_SZ and REG_MULTI_SZ. Under
// HKEY_LOCAL_MACHINE always the 64-bit view.
class RegistrySettings final : public SettingsStore {
  public:
    RegistrySettings(HKEY root, std::string application, std::string section);
    // Any other key: <root>\<subKey>.
    RegistrySettings(HKEY root, std::string subKey);
    std::string get(std::string_view key, std::string_view defaultValue) override;
    ListText getList(std::string_view key) override;
    void save(std::string_view key, std::string_view value) override;

  private:
    // The value's type and bytes; a registry error code.
    LONG read(std::string_view key, DWORD& type, std::string& data);

    HKEY root_;
    REGSAM view_;
    std::string subKey_;
};

}  // namespace korrin
