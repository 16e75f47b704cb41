// Exports over the private-profile and registry functions and the program path: text in,
// text out, with the default-value marker "*" and fixed buffer sizes.
#include <windows.h>

#include <cstring>
#include <string>

#include "common/win32_handles.h"
#include "oxasoft/frame/boundary_win.h"
#include "oxasoft/frame/fixed_buffer.h"
#include "oxasoft/frame/oxasoft.h"
#include "oxasoft/settings/path_rules.h"

using namespace oxa;

namespace {

// Root keys come as the caller's 32-bit variable: a predefined root or any open key.
HKEY root_key(const long* ref) {
    return handle_from_long<HKEY>(read_long(ref));
}

// Opens sub_key, leaving `key` empty on failure whatever the call left in its out-parameter.
LONG open_key(const long* root, const char* sub_key, REGSAM access, UniqueHkey& key) {
    const LONG rc = RegOpenKeyExA(root_key(root), sub_key, 0, access, key.put());
    if (rc != ERROR_SUCCESS) key.release();
    return rc;
}

// "*" names the unnamed value; the caller sees its text emptied.
void rewrite_default_marker(char* value_name) {
    if (value_name && std::strcmp(value_name, "*") == 0) value_name[0] = '\0';
}

std::string query_text(HKEY key, const char* value_name) {
    FixedBuffer<1024> buffer;
    DWORD size = buffer.size();
    const LONG rc = RegQueryValueExA(key, value_name, nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(buffer.data()), &size);
    // A text that does not fit (its NUL included) gives nothing rather than a partial buffer.
    if (rc != ERROR_SUCCESS || std::memchr(buffer.data(), '\0', buffer.size()) == nullptr) {
        return {};
    }
    return std::string(buffer.text());
}

std::string query_dword(HKEY key, const char* value_name) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, value_name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS) {
        return {};
    }
    return std::to_string(static_cast<long>(value));
}

}  // namespace

extern "C" {

OXA_BSTR OXA_CALL GET_APP_PATH(void) {
    return string_export([] {
        FixedBuffer<1024> path;
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), path.size());
        // A path cut short by the buffer would name the wrong directory.
        if (n == 0 || n >= path.size()) return std::string();
        return settings::directory_part(path.text());
    });
}

OXA_BSTR OXA_CALL READ_INI(const char* section, const char* key, const char* file) {
    return string_export([&] {
        FixedBuffer<255> value;
        value.fill(' ');
        const DWORD n =
            GetPrivateProfileStringA(section, key, nullptr, value.data(), value.size(), file);
        // With a null key or section the buffer holds a NUL-separated list: its first name.
        return std::string(value.text().substr(0, n));
    });
}

long OXA_CALL WRITE_INI(const char* section, const char* key, const char* value, const char* file) {
    return guarded(0L, [&] {
        return static_cast<long>(WritePrivateProfileStringA(section, key, value, file));
    });
}

OXA_BSTR OXA_CALL GET_REG_VALUE(const long* root, const char* sub_key, char* value_name) {
    return string_export([&] {
        rewrite_default_marker(value_name);
        UniqueHkey key;
        if (open_key(root, sub_key, KEY_READ, key) != ERROR_SUCCESS) return std::string();
        DWORD type = 0;
        DWORD size = 1;
        RegQueryValueExA(key.get(), value_name, nullptr, &type, nullptr, &size);
        switch (type) {
            case REG_SZ:
            case REG_MULTI_SZ:  // its first string
                return query_text(key.get(), value_name);
            case REG_DWORD:
                return query_dword(key.get(), value_name);
            default:
                return std::string();
        }
    });
}

long OXA_CALL SET_REG_VALUE(const long* root, const char* sub_key, char* value_name,
                            const char* data) {
    return guarded(0L, [&] {
        rewrite_default_marker(value_name);
        UniqueHkey key;
        DWORD disposition = 0;
        if (RegCreateKeyExA(root_key(root), sub_key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                            nullptr, key.put(), &disposition) != ERROR_SUCCESS) {
            key.release();
            return 0L;
        }
        // Stored whole: the byte count is the text's length and its NUL, never past the text.
        const std::string text(read_text(data));
        RegSetValueExA(key.get(), value_name, 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
        return 1L;
    });
}

long OXA_CALL DEL_REG_KEY(const long* root, const char* sub_key) {
    return guarded(0L, [&] {
        UniqueHkey key;
        if (open_key(root, sub_key, KEY_ALL_ACCESS, key) != ERROR_SUCCESS) return 0L;
        return static_cast<long>(RegDeleteKeyA(root_key(root), sub_key));
    });
}

long OXA_CALL DEL_REG_VALUE(const long* root, const char* sub_key, char* value_name) {
    return guarded(static_cast<long>(ERROR_OUTOFMEMORY), [&] {
        UniqueHkey key;
        const LONG rc = open_key(root, sub_key, KEY_ALL_ACCESS, key);
        if (rc != ERROR_SUCCESS) return static_cast<long>(rc);
        rewrite_default_marker(value_name);
        return static_cast<long>(RegDeleteValueA(key.get(), value_name));
    });
}

OXA_BSTR OXA_CALL GET_USER_NAME(void) {
    return string_export([] {
        // Windows 95/98/ME keep the owner here, the NT family under "Windows NT".
        static const char* const kLocations[] = {"software\\microsoft\\windows\\currentversion",
                                                 "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"};
        const long root = long_from_handle(HKEY_LOCAL_MACHINE);
        std::string owner;
        for (const char* sub_key : kLocations) {
            char value_name[] = "RegisteredOwner";
            owner = take_byte_string(GET_REG_VALUE(&root, sub_key, value_name));
            if (!owner.empty()) break;
        }
        return owner;
    });
}

}  // extern "C"
