// A modal prompt with an edit field and OK / Cancel, owned by a window whose events go on.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace korrin {

// The typed text after OK; nothing after Cancel or closing the box.
std::optional<std::string> InputBox(HWND owner, const std::string& prompt, const std::string& title,
                                    const std::string& preset);

}  // namespace korrin
