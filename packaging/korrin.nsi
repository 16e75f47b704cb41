; Setup program of Korrin Server and the oxasoft library, built by packaging/CMakeLists.txt:
;   makensis -DVERSION=1.2.3 -DCOMPANY=... -DSTAGE=<folder of the files> -DOUTFILE=<setup.exe> [-DX64] korrin.nsi
; STAGE holds the files as they are installed (the zip's folder). With X64 the setup is a 64-bit
; program that installs the 64-bit server of STAGE\x64 into the 64-bit Program Files.

!ifndef VERSION | COMPANY | STAGE | OUTFILE
  !error "VERSION, COMPANY, STAGE and OUTFILE must be defined"
!endif

!define PRODUCT "Korrin Server"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KorrinServer"
!define START_MENU "$SMPROGRAMS\${COMPANY}"
; The class of the server's main window: files of a running server cannot be replaced.
!define SERVER_WINDOW "KorrinServerForm1"

; On 64-bit Windows the other setup's installation has its entry in the other registry view:
; x86 writes the 32-bit one (WOW6432Node), x64 the 64-bit one.
!ifdef X64
  Target amd64-unicode
  !define PROGRAM_FILES "$PROGRAMFILES64"
  !define SERVER "${STAGE}\x64"
  !define BITS "64-bit"
  !define OTHER_BITS "32-bit"
  !define OTHER_VIEW 32
!else
  Unicode true
  !define PROGRAM_FILES "$PROGRAMFILES"
  !define SERVER "${STAGE}"
  !define BITS "32-bit"
  !define OTHER_BITS "64-bit"
  !define OTHER_VIEW 64
!endif
!include FileFunc.nsh
!include Sections.nsh
!include LogicLib.nsh
!include x64.nsh
SetCompressor /SOLID lzma
Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "${PROGRAM_FILES}\${COMPANY}\${PRODUCT}"
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${COMPANY}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright (c) 2026 ${COMPANY}"

; The other setup's installation, when there is one: its quiet uninstall command and its folder.
Var OtherUninstall
Var OtherFolder

LicenseData "${STAGE}\LICENSE.txt"
Page license
Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

!macro REFUSE_WHILE_RUNNING
  FindWindow $0 "${SERVER_WINDOW}"
  StrCmp $0 0 +3
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} is running. End it first, then start this again." /SD IDOK
    Abort
!macroend

; The 64-bit setup is a 64-bit program: 32-bit Windows refuses to start it at all ("cannot run
; on this PC"), and its registry view is the 64-bit one, said here for whoever reads on.
!macro SIXTY_FOUR_BIT_VIEW
  !ifdef X64
    SetRegView 64
  !endif
!macroend

!macro OWN_VIEW
  !ifdef X64
    SetRegView 64
  !else
    SetRegView default
  !endif
!macroend

; Both setups install the same program and its one service: installed side by side they would
; share the service and leave two folders and two entries. One replaces the other, after asking.
Function FindOtherSetup
  !ifndef X64
    ${IfNot} ${RunningX64}
      Return
    ${EndIf}
  !endif
  SetRegView ${OTHER_VIEW}
  ReadRegStr $OtherUninstall HKLM "${UNINST_KEY}" "QuietUninstallString"
  ReadRegStr $OtherFolder HKLM "${UNINST_KEY}" "InstallLocation"
  !insertmacro OWN_VIEW
  ${If} $OtherUninstall == ""
  ${OrIf} $OtherFolder == ""
    StrCpy $OtherUninstall ""
    Return
  ${EndIf}
  MessageBox MB_OKCANCEL|MB_ICONQUESTION "${PRODUCT} is installed already as a ${OTHER_BITS} program in $OtherFolder.$\r$\n$\r$\nThis setup replaces it with the ${BITS} program. The settings are kept." /SD IDOK IDOK +2
    Abort
FunctionEnd

; Its uninstaller stops and removes the service too. _?= keeps the uninstaller in its folder, so
; that ExecWait waits for it; the uninstaller and the folder go afterwards.
Function RemoveOtherSetup
  StrCmp $OtherUninstall "" done
  ; An entry whose uninstaller is gone (its folder deleted by hand) is only taken away.
  IfFileExists "$OtherFolder\Uninstall.exe" 0 entry
  DetailPrint "Removing the ${OTHER_BITS} installation in $OtherFolder"
  ExecWait '$OtherUninstall _?=$OtherFolder' $0
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONSTOP "The ${OTHER_BITS} installation in $OtherFolder could not be removed (error $0)." /SD IDOK
    Abort
  ${EndIf}
  Delete "$OtherFolder\Uninstall.exe"
  RMDir "$OtherFolder"
  ; The company's folder around it, which its uninstaller could not remove while it was there.
  ${GetParent} "$OtherFolder" $1
  ${GetFileName} "$1" $2
  StrCmp $2 "${COMPANY}" 0 +2
    RMDir "$1"
  entry:
  ; Its uninstaller took its entry along; none may stay behind pointing at a removed folder.
  SetRegView ${OTHER_VIEW}
  DeleteRegKey HKLM "${UNINST_KEY}"
  !insertmacro OWN_VIEW
  done:
FunctionEnd

Function un.onInit
  SetShellVarContext all
  !insertmacro SIXTY_FOUR_BIT_VIEW
  !insertmacro REFUSE_WHILE_RUNNING
FunctionEnd

Section "${PRODUCT}" SecServer
  SectionIn RO
  Call RemoveOtherSetup
  ; A service installed before holds the program file: stop and remove it first. The service
  ; part below puts it back when chosen (it is chosen when it was there).
  IfFileExists "$INSTDIR\KorrinServer.exe" 0 +2
    ExecWait '"$INSTDIR\KorrinServer.exe" /uninstall'
  SetOutPath "$INSTDIR"
  File "${SERVER}\KorrinServer.exe"
  File "${SERVER}\Language.dll"
  File "${STAGE}\INSTALL.txt"
  File "${STAGE}\limit-to-this-computer.reg"
  File "${STAGE}\limit-service-to-this-computer.reg"
  File "${STAGE}\LICENSE.txt"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  CreateDirectory "${START_MENU}"
  CreateShortCut "${START_MENU}\${PRODUCT}.lnk" "$INSTDIR\KorrinServer.exe"

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${COMPANY}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\KorrinServer.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
SectionEnd

Section "oxasoft library for developers" SecLibrary
  ; Earlier setups put the 32-bit library directly into this folder: no stale copy stays there.
  Delete "$INSTDIR\oxasoft\oxasoft.dll"
  Delete "$INSTDIR\oxasoft\liboxasoft.dll.a"
  SetOutPath "$INSTDIR\oxasoft"
  File "${STAGE}\oxasoft\oxasoft.h"
  File "${STAGE}\oxasoft\call_by_name.c"
  SetOutPath "$INSTDIR\oxasoft\x86"
  File "${STAGE}\oxasoft\x86\oxasoft.dll"
  File "${STAGE}\oxasoft\x86\liboxasoft.dll.a"
  SetOutPath "$INSTDIR\oxasoft\x64"
  File "${STAGE}\oxasoft\x64\oxasoft.dll"
  File "${STAGE}\oxasoft\x64\liboxasoft.dll.a"
SectionEnd

Section /o "Run as a Windows service (starts with Windows, no one logged on)" SecService
  ; Its status page on this computer (http://127.0.0.1:3080/) unless a StatusPort is set; in
  ; the registry's 64-bit view, where the service reads its settings.
  !ifndef X64
    ${If} ${RunningX64}
      SetRegView 64
    ${EndIf}
  !endif
  ClearErrors
  ReadRegStr $1 HKLM "Software\Oxa Software\VarnelServer" "StatusPort"
  IfErrors 0 +2
    WriteRegStr HKLM "Software\Oxa Software\VarnelServer" "StatusPort" "3080"
  !ifndef X64
    SetRegView default
  !endif
  ExecWait '"$INSTDIR\KorrinServer.exe" /install' $0
  StrCmp $0 0 +2
    DetailPrint "The service could not be installed (error $0)."
SectionEnd

Function .onInit
  ; Per machine: the Start-menu entry is for all users, like the folder in Program Files.
  SetShellVarContext all
  !insertmacro SIXTY_FOUR_BIT_VIEW
  !insertmacro REFUSE_WHILE_RUNNING
  Call FindOtherSetup
  ; The service part: chosen with /SERVICE, or when the service is installed already.
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/SERVICE" $R1
  IfErrors 0 select_service
  ReadRegStr $R1 HKLM "SYSTEM\CurrentControlSet\Services\KorrinServer" "ImagePath"
  StrCmp $R1 "" done
  select_service:
    SectionSetFlags ${SecService} ${SF_SELECTED}
  done:
FunctionEnd

; Removes what the setup put in and the server's error log; the user's settings under
; HKCU\Software\Oxa Software\VarnelServer stay, for a later installation.
Section "Uninstall"
  ; The service, if any, stops and goes before its program file does.
  ExecWait '"$INSTDIR\KorrinServer.exe" /uninstall'
  Delete "${START_MENU}\${PRODUCT}.lnk"
  RMDir "${START_MENU}"

  Delete "$INSTDIR\oxasoft\x86\oxasoft.dll"
  Delete "$INSTDIR\oxasoft\x86\liboxasoft.dll.a"
  RMDir "$INSTDIR\oxasoft\x86"
  Delete "$INSTDIR\oxasoft\x64\oxasoft.dll"
  Delete "$INSTDIR\oxasoft\x64\liboxasoft.dll.a"
  RMDir "$INSTDIR\oxasoft\x64"
  Delete "$INSTDIR\oxasoft\oxasoft.h"
  Delete "$INSTDIR\oxasoft\call_by_name.c"
  RMDir "$INSTDIR\oxasoft"

  Delete "$INSTDIR\KorrinServer.exe"
  Delete "$INSTDIR\Language.dll"
  Delete "$INSTDIR\INSTALL.txt"
  Delete "$INSTDIR\limit-to-this-computer.reg"
  Delete "$INSTDIR\limit-service-to-this-computer.reg"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\IpError.txt"
  Delete "$INSTDIR\Uninstall.exe"
  ; Not recursive: files the user put there keep the folder.
  RMDir "$INSTDIR"
  RMDir "${PROGRAM_FILES}\${COMPANY}"

  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
