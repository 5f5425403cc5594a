; The Windows installer of the Ovitone USB Utility, made by tools/windows.sh with NSIS:
;   makensis -DVERSION=3.1 -DSTAGE=<installed folder> -DOUTFILE=ovitone-setup-3.1.exe ovitone.nsi
; It asks whether to install for this user only (no administrator rights needed, under
; %LOCALAPPDATA%\Programs) or for every user of the computer (under Program Files), and
; adds Start menu entries and an uninstaller that Settings > Apps lists.
Unicode true
SetCompressor /SOLID lzma

!define NAME "Ovitone USB Utility"
!define KEY "OvitoneUtility"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${KEY}"

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_INSTDIR "${NAME}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "Software\${KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallMode"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "Software\${KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallDir"
!define MULTIUSER_USE_PROGRAMFILES64
!include MultiUser.nsh
!include MUI2.nsh

Name "${NAME}"
OutFile "${OUTFILE}"
BrandingText "${NAME} ${VERSION}"
VIProductVersion "${VERSION}.0.0"
VIAddVersionKey "ProductName" "${NAME}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${NAME} installer"
VIAddVersionKey "CompanyName" "Ovitone USB Utility developers"
VIAddVersionKey "LegalCopyright" "MIT License"

!define MUI_ICON "${STAGE}\ovitone.ico"
!define MUI_UNICON "${STAGE}\ovitone.ico"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\ovitone.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start the ${NAME}"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  !insertmacro MULTIUSER_INIT
FunctionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
FunctionEnd

Section "Program"
  SetOutPath "$INSTDIR"
  File "${STAGE}\ovitone.exe"
  File "${STAGE}\ovitone-cli.exe"
  File "${STAGE}\ovitone-demo.exe"
  File "${STAGE}\ovitone-cli-demo.exe"
  File "${STAGE}\Quendel.jpg"
  File "${STAGE}\blue.bmp"
  File "${STAGE}\Audio Test.mp3"
  File "${STAGE}\sample_firmware_v1.3.0.txt"
  File "${STAGE}\ovitone.ico"
  File "${STAGE}\LICENSE.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The shortcuts start the programs in their folder, where they find the media files.
  CreateDirectory "$SMPROGRAMS\${NAME}"
  CreateShortCut "$SMPROGRAMS\${NAME}\${NAME}.lnk" "$INSTDIR\ovitone.exe" "" "$INSTDIR\ovitone.ico"
  CreateShortCut "$SMPROGRAMS\${NAME}\${NAME} (simulated encoder).lnk" "$INSTDIR\ovitone-demo.exe" "" "$INSTDIR\ovitone.ico"
  CreateShortCut "$SMPROGRAMS\${NAME}\Uninstall ${NAME}.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr SHCTX "Software\${KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr SHCTX "Software\${KEY}" "InstallMode" "$MultiUser.InstallMode"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "Ovitone USB Utility developers"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\ovitone.ico"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The uninstaller removes what the installer put there and nothing else: each user's
; settings (AppData\Local\OrvaneInterface) and any firmware files stay.
Section "Uninstall"
  Delete "$INSTDIR\ovitone.exe"
  Delete "$INSTDIR\ovitone-cli.exe"
  Delete "$INSTDIR\ovitone-demo.exe"
  Delete "$INSTDIR\ovitone-cli-demo.exe"
  Delete "$INSTDIR\Quendel.jpg"
  Delete "$INSTDIR\blue.bmp"
  Delete "$INSTDIR\Audio Test.mp3"
  Delete "$INSTDIR\sample_firmware_v1.3.0.txt"
  Delete "$INSTDIR\ovitone.ico"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${NAME}\${NAME}.lnk"
  Delete "$SMPROGRAMS\${NAME}\${NAME} (simulated encoder).lnk"
  Delete "$SMPROGRAMS\${NAME}\Uninstall ${NAME}.lnk"
  RMDir "$SMPROGRAMS\${NAME}"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  DeleteRegKey SHCTX "Software\${KEY}"
SectionEnd
