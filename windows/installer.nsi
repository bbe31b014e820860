; The Windows setup program: installs the window, opera2mbox.exe, the
; manual and the licence notice under Program Files, adds a Start-menu
; shortcut and an uninstaller registered under Add/Remove Programs.
; windows/package.sh runs makensis with
;   VERSION   the project's version (x.y.z)
;   STAGE     the folder holding the files to install
;   OUTFILE   the setup program to write
; Silent install and uninstall: /S.

Unicode true
Target amd64-unicode
!include "MUI2.nsh"

!define PRODUCT "Tovaly Opera to MBOX Converter"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TovalyOpera2MBOXConverter"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "Tovaly"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Tovaly. Qt, GLib and GMime under the GNU LGPL"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"

!define MUI_ICON "${STAGE}/../app.ico"
!define MUI_UNICON "${STAGE}/../app.ico"
; The licence page says how to relink the statically linked libraries; it
; asks for no agreement.
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!define MUI_LICENSEPAGE_TEXT_BOTTOM "Qt, GLib and GMime are linked into the programs under the GNU LGPL. This notice is installed beside them."
!define MUI_FINISHPAGE_RUN "$INSTDIR\TovalyOpera2MBOXConverter.exe"
!insertmacro MUI_PAGE_LICENSE "${STAGE}/LICENSE-NOTICE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Program"
  SetRegView 64
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${STAGE}/TovalyOpera2MBOXConverter.exe"
  File "${STAGE}/opera2mbox.exe"
  File "${STAGE}/manual.html"
  File "${STAGE}/LICENSE-NOTICE.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\TovalyOpera2MBOXConverter.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "Tovaly"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\TovalyOpera2MBOXConverter.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetRegView 64
  SetShellVarContext all
  Delete "$INSTDIR\TovalyOpera2MBOXConverter.exe"
  Delete "$INSTDIR\opera2mbox.exe"
  Delete "$INSTDIR\manual.html"
  Delete "$INSTDIR\LICENSE-NOTICE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
