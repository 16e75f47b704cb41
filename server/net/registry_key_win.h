// An owned registry key of the server (settings, language detection).
#pragma once

#include <windows.h>

#include "common/unique_handle.h"

namespace korrin {

struct HkeyTraits {
    using type = HKEY;
    static type invalid() { return nullptr; }
    static void close(type k) { RegCloseKey(k); }
};
using UniqueKey = oxa::UniqueHandle<HkeyTraits>;

}  // namespace korrin
