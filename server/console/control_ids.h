// Command and control ids of the server's windows, grouped in ranges; the test probe uses them.
#pragma once

namespace korrin::ids {

// Form1 controls: 100..199.
constexpr int kLabel1 = 101;
constexpr int kLabel2 = 102;
constexpr int kLabel3 = 103;
constexpr int kLabel4 = 104;
constexpr int kPausedNotice = 105;  // shown while reading from senders is paused
constexpr int kList1 = 111;         // senders
constexpr int kList2 = 112;         // send queue
constexpr int kList3 = 113;         // receivers
constexpr int kCommand2 = 121;      // "Testmodus"
constexpr int kStatusBar1 = 131;

// Menu commands: 200..299.
constexpr int kMenuSetup = 201;  // M_sub1(0)
constexpr int kMenuEnd = 203;    // M_sub1(2)
constexpr int kMenuAbout = 211;  // M_sub2(0)

// Form2 (about box) controls: 300..399.
constexpr int kAboutPicture1 = 301;
constexpr int kAboutLabel1 = 302;
constexpr int kAboutLabel2 = 303;
constexpr int kAboutLabel3 = 304;
constexpr int kAboutFrame1 = 305;
constexpr int kAboutCommand1 = 306;

// Input box: 400..499.
constexpr int kInputPrompt = 401;
constexpr int kInputEdit = 402;

// Window classes and the single-instance name.
constexpr char kForm1Class[] = "KorrinServerForm1";
constexpr char kForm2Class[] = "KorrinServerForm2";
constexpr char kInstanceMutex[] = "Local\\KorrinServer.SingleInstance";

}  // namespace korrin::ids
