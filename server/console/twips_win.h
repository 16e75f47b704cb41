// Twips (1/1440 inch) to pixels through the display's DPI.
#pragma once

#include <windows.h>

#include "common/win32_handles.h"

namespace korrin {

class Twips {
  public:
    Twips() {
        if (oxa::UniqueWindowDc dc = oxa::getWindowDc(nullptr)) {
            dpiX_ = GetDeviceCaps(dc.get().dc, LOGPIXELSX);
            dpiY_ = GetDeviceCaps(dc.get().dc, LOGPIXELSY);
        }
    }
    int x(int twips) const { return MulDiv(twips, dpiX_, 1440); }
    int y(int twips) const { return MulDiv(twips, dpiY_, 1440); }
    int toTwipsY(int px) const { return MulDiv(px, 1440, dpiY_); }

  private:
    int dpiX_ = 96, dpiY_ = 96;
};

}  // namespace korrin
