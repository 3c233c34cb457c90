; The Windows installer of Kelvane (NSIS 3, built on Linux by makensis; see
; packaging/windows/build-installer.sh, which stages the files it takes).
; Installs the programs and the manual pages as text, the spooler's settings
; key with the values a first `kelvane-driver install` writes, a Start menu
; folder and an uninstaller. The uninstaller leaves the settings key (the
; user's choices) unless asked: its "Settings" component, or /REMOVESETTINGS
; on its command line.
;   makensis -DVERSION=2.0.0 -DSTAGE=<staged files> -DOUTFILE=<setup.exe> kelvane.nsi

!ifndef VERSION | STAGE | OUTFILE
  !error "give -DVERSION, -DSTAGE and -DOUTFILE"
!endif

; Our programs are 64-bit: so is the installer, which puts them under the
; 64-bit Program Files.
Target amd64-unicode
Unicode true
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include MUI2.nsh
!include FileFunc.nsh
!include Sections.nsh

Name "Kelvane"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Kelvane"
InstallDirRegKey HKLM "Software\Kelvane" "InstallDir"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "Kelvane"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "Kelvane ${VERSION} setup"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Kelvane"

; The key the spooler and the 32-bit drivers share: in the 32-bit view.
!define SETTINGS_KEY "SOFTWARE\VORNA\Kelvane\2.00\Tamrel"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kelvane"
!define MENU_FOLDER "$SMPROGRAMS\Kelvane"

!define MUI_ICON "${STAGE}\kelvane.ico"
!define MUI_UNICON "${STAGE}\kelvane.ico"
!define MUI_COMPONENTSPAGE_NODESC

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Kelvane" SecMain
  SectionIn RO
  ; The Start menu entry is for every user of the machine.
  SetShellVarContext all
  SetOutPath "$INSTDIR"
!if /FileExists "${STAGE}\kelvane.exe"
  File "${STAGE}\kelvane.exe"
!endif
  File "${STAGE}\kelvane-headless.exe"
  File "${STAGE}\kelvane-driver.exe"
  File "${STAGE}\kelvane-printer.exe"
  File "${STAGE}\kelvane.ico"
  SetOutPath "$INSTDIR\manual"
  File "${STAGE}\manual\*.txt"

  ; The values a first `kelvane-driver install` writes; values already there
  ; are the user's and stay.
  SetRegView 32
  ClearErrors
  ReadRegStr $0 HKLM "${SETTINGS_KEY}" "Port"
  ${If} ${Errors}
    WriteRegStr HKLM "${SETTINGS_KEY}" "Port" "LPT1:"
  ${EndIf}
  SetRegView 64

  CreateDirectory "${MENU_FOLDER}"
!if /FileExists "${STAGE}\kelvane.exe"
  CreateShortcut "${MENU_FOLDER}\Kelvane.lnk" "$INSTDIR\kelvane.exe" "" "$INSTDIR\kelvane.ico"
!else
  CreateShortcut "${MENU_FOLDER}\Kelvane.lnk" "$INSTDIR\kelvane-headless.exe" "" "$INSTDIR\kelvane.ico"
!endif
  CreateShortcut "${MENU_FOLDER}\Kelvane manual.lnk" "$INSTDIR\manual\kelvane.txt"
  CreateShortcut "${MENU_FOLDER}\Uninstall Kelvane.lnk" "$INSTDIR\uninstall.exe"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "Software\Kelvane" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Kelvane"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kelvane.ico"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Off unless the user ticks it or gives /REMOVESETTINGS.
Section /o "un.Settings (printer port and the spooler's choices)" UnSecSettings
  SetRegView 32
  DeleteRegKey HKLM "${SETTINGS_KEY}"
  ; The keys above it are the maker's, shared with other programs: each
  ; goes only when nothing is left in it.
  DeleteRegKey /ifempty HKLM "SOFTWARE\VORNA\Kelvane\2.00"
  DeleteRegKey /ifempty HKLM "SOFTWARE\VORNA\Kelvane"
  DeleteRegKey /ifempty HKLM "SOFTWARE\VORNA"
  SetRegView 64
SectionEnd

Section "un.Kelvane" UnSecMain
  SectionIn RO
  SetShellVarContext all
  Delete "$INSTDIR\kelvane.exe"
  Delete "$INSTDIR\kelvane-headless.exe"
  Delete "$INSTDIR\kelvane-driver.exe"
  Delete "$INSTDIR\kelvane-printer.exe"
  Delete "$INSTDIR\kelvane.ico"
  Delete "$INSTDIR\manual\*.txt"
  RMDir "$INSTDIR\manual"
  Delete "${MENU_FOLDER}\Kelvane.lnk"
  Delete "${MENU_FOLDER}\Kelvane manual.lnk"
  Delete "${MENU_FOLDER}\Uninstall Kelvane.lnk"
  RMDir "${MENU_FOLDER}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\Kelvane"
  ; Last: a silent uninstall runs from a copy of the uninstaller and its
  ; caller returns at once; the folder going is the sign that it is over.
  ; Only if empty: whatever else is in it is not ours.
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd

Function un.onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/REMOVESETTINGS" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${UnSecSettings}
  ${EndIf}
FunctionEnd
