// The main window Form1: mirrors the relay's state into real controls and turns the
// operator's actions and the window's messages into calls of the relay.
#pragma once

#include <windows.h>

#include <array>
#include <memory>
#include <string>

#include "common/win32_handles.h"
#include "server/console/language.h"
#include "server/win32/relay_wiring_win.h"
#include "server/win32/window_win.h"

namespace korrin {

class Form1 final : public RelayView, public Window {
  public:
    Form1(std::string langFile, std::string langSection);
    ~Form1() override;

    // Creates and shows the window; the load handler runs inside.
    bool show();

    void changed(unsigned what) override;
    void messageBox(std::string_view text) override;

    // The about box's picture switches between the compact and the expanded view.
    void toggleView();
    // Runs the ticks that are due: SendTimer, the ports' retry and Timer1.
    void runDueTicks();

  private:
    LRESULT onMessage(UINT msg, WPARAM wp, LPARAM lp) override;
    Relay& relay() { return wiring_->relay(); }
    void onCommand(int id, int code);
    void onLoad();
    void onUnload();
    void make_Language();
    std::string GetLangText(int key) const;
    void createControls();
    void createMenus();
    void sync();
    // shown: the serials of the entries the list box holds, in its order.
    void syncPeers(HWND list, const std::vector<PeerEntry>& entries, std::vector<uint64_t>& shown);
    void doubleClick(int listId, const std::vector<uint64_t>& shown);
    void syncQueue();
    void setLabel(HWND label, const std::string& text);
    void setup();
    void about();
    void toggleTestMode();
    void testTick();
    HWND control(int id) const { return GetDlgItem(hwnd(), id); }

    std::string langFile_, langSection_;
    std::array<std::string, kLangSlots> LangTexts;
    HMENU menuBar_ = nullptr, mSub1_ = nullptr, mSub2_ = nullptr;
    oxa::UniqueFont font_;
    std::unique_ptr<RelayWiring> wiring_;  // built once the window exists
    std::unique_ptr<PostedTimer> timer1_;
    std::vector<uint64_t> shownSenders_, shownReceivers_;
    unsigned dirty_ = 0;
    bool syncPosted_ = false;
    uint64_t shownHeadSeq_ = 0;  // queue entry shown at List2 index 0
    size_t shownCount_ = 0;
    // Test mode.
    std::string TestUpper, TestLower;
    long long TestCount = 0;
};

}  // namespace korrin
