// The about box Form2: name, version and maker of the program, modal to the main window.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace korrin {

// closeCaption: the close button's text; togglePicture: what a click on the icon does.
void showAboutBox(HWND owner, const std::string& closeCaption,
                  const std::function<void()>& togglePicture);

}  // namespace korrin
