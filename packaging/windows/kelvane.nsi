; The Windows installer of Kelvane (NSIS 3, built on Linux by makensis; see
; packaging/windows/build-installer.sh, which stages the files it takes).
; Pages: Welcome, the licence, components, folder, where LPT1: prints to,
; the installation, Finish (with "Run Kelvane"). Installs the programs and
; the manual pages as text, the spooler's settings key with the values a
; first `kelvane-driver install` writes, Start menu entries and an
; uninstaller.
;
; Command line (also silent, /S):
;   /PORT=VALUE   where LPT1: prints to, as the printer port page would set
;                 it: socket://HOST:PORT (a network printer), a full path
;                 (a file), another port of this computer (LPT2:, COM1:,
;                 USB001), or LPT1: (the computer's own LPT1:). Without
;                 it a silent install leaves [ports] as it is.
;
; The uninstaller removes what the installer and the programs created: the
; files, the Start menu entries, the uninstall entry, the user's
; %APPDATA%\Kelvane, the [Tovrel] section of win.ini if it was not there
; before the first install, and LPT1: in [ports] goes back to what it was
; then (unless the user has changed it since). Two things are the user's
; and stay unless asked:
;   - the settings key (printer port, time-outs, window placement): its
;     "Settings" component, or /REMOVESETTINGS;
;   - print jobs still waiting (queue.txt and the spool files in
;     %APPDATA%\Kelvane): it asks; silently it keeps them unless given
;     /REMOVEJOBS.
; win.ini and %APPDATA% are those of the user who runs the uninstaller.
;   makensis -DVERSION=2.0.0 -DSTAGE=<staged files> -DOUTFILE=<setup.exe> kelvane.nsi

!ifndef VERSION | STAGE | OUTFILE
  !error "give -DVERSION, -DSTAGE and -DOUTFILE"
!endif
!ifndef PUBLISHER
  !define PUBLISHER "The Kelvane project"
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
!include nsDialogs.nsh
!include TextFunc.nsh

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
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

; The key the spooler and the 32-bit drivers share: in the 32-bit view.
!define SETTINGS_KEY "SOFTWARE\VORNA\Kelvane\2.00\Tamrel"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kelvane"
; Ours: the folder we installed to and what win.ini held before us.
!define OWN_KEY "Software\Kelvane"
!define MENU_FOLDER "$SMPROGRAMS\Kelvane"
; What GetProfileString answers for a key that is not there: no value of a
; real entry looks like it.
!define NO_ENTRY "<kelvane: no entry>"

!define MUI_ICON "${STAGE}\kelvane.ico"
!define MUI_UNICON "${STAGE}\kelvane.ico"
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_ABORTWARNING

Var PortValue      ; what LPT1: in [ports] becomes; "" = the computer's LPT1:
Var PortGiven      ; 1 when the page or /PORT chose a value
Var PortLocal      ; the page's controls
Var PortLocalName
Var PortNetwork
Var PortHost
Var PortNumber
Var PortFile
Var PortFileName
Var RemoveJobs

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${STAGE}\licence.txt"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
Page custom PortPageCreate PortPageLeave
!insertmacro MUI_PAGE_INSTFILES
!if /FileExists "${STAGE}\kelvane.exe"
  !define MUI_FINISHPAGE_RUN
  !define MUI_FINISHPAGE_RUN_TEXT "Run Kelvane"
  !define MUI_FINISHPAGE_RUN_FUNCTION RunKelvane
!endif
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; The user's profile (win.ini) through the system's own calls, the ones the
; spooler and the drivers use: Windows keeps some of its sections ([ports],
; [devices]) in the registry, where only these calls find them.
!macro GetProfile SECTION KEY OUT
  System::Call 'kernel32::GetProfileStringW(w "${SECTION}", w "${KEY}", w "${NO_ENTRY}", w .s, i ${NSIS_MAX_STRLEN}) i'
  Pop ${OUT}
!macroend
; The value goes through the stack: a path may hold what the call's own
; syntax uses (parentheses, quotes).
!macro SetProfile SECTION KEY VALUE
  Push "${VALUE}"
  System::Call 'kernel32::WriteProfileStringW(w "${SECTION}", w "${KEY}", w s) i'
!macroend
!macro RemoveProfileKey SECTION KEY
  System::Call 'kernel32::WriteProfileStringW(w "${SECTION}", w "${KEY}", p 0) i'
!macroend
!macro RemoveProfileSection SECTION
  System::Call 'kernel32::WriteProfileStringW(w "${SECTION}", p 0, p 0) i'
!macroend
; OUT = 1 when the section holds any entry.
!macro HasProfileSection SECTION OUT
  System::Call 'kernel32::GetProfileSectionW(w "${SECTION}", w .s, i ${NSIS_MAX_STRLEN}) i .s'
  Pop ${OUT}
  Pop $R9
  ${If} ${OUT} > 0
    StrCpy ${OUT} 1
  ${Else}
    StrCpy ${OUT} 0
  ${EndIf}
!macroend

; The spooler holds its programs and its files while it runs; a driver or
; the user has to close it first (command 0, or its window).
!macro RefuseWhileRunning
  FindWindow $0 "CVorn95App"
  ${If} $0 <> 0
    MessageBox MB_OK|MB_ICONSTOP "Kelvane is running. Close it (File > Exit) and start again." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
!macroend

Function .onInit
  !insertmacro RefuseWhileRunning
  StrCpy $PortGiven 0
  Call ReadPortOption
FunctionEnd

; /PORT=VALUE, /PORT="VALUE" or "/PORT=VALUE": read by hand, as GetOptions
; would end the value at the first "/" of socket://.
Function ReadPortOption
  ${GetParameters} $0
  StrLen $1 $0
  StrCpy $2 0
  ${DoWhile} $2 < $1
    StrCpy $3 $0 6 $2
    ${If} $3 == "/PORT="  ; StrCmp: any case
      StrCpy $6 " "
      ${If} $2 > 0
        IntOp $5 $2 - 1
        StrCpy $5 $0 1 $5
        ${If} $5 == '"'
          StrCpy $6 '"'
        ${EndIf}
      ${EndIf}
      IntOp $2 $2 + 6
      StrCpy $4 $0 "" $2
      StrCpy $5 $4 1
      ${If} $5 == '"'
        StrCpy $4 $4 "" 1
        StrCpy $6 '"'
      ${EndIf}
      ; Up to the closing quote, or the next blank.
      StrLen $7 $4
      StrCpy $8 0
      ${DoWhile} $8 < $7
        StrCpy $9 $4 1 $8
        ${IfThen} $9 == $6 ${|} ${Break} ${|}
        IntOp $8 $8 + 1
      ${Loop}
      StrCpy $PortValue $4 $8
      StrCpy $PortGiven 1
      Return
    ${EndIf}
    IntOp $2 $2 + 1
  ${Loop}
FunctionEnd

; The printer port page: where the jobs that name LPT1: go. It starts from
; what [ports] says now (or what /PORT said).
Function PortPageCreate
  !insertmacro MUI_HEADER_TEXT "Printer port" "Choose where Kelvane sends the jobs for LPT1:."
  nsDialogs::Create 1018
  Pop $0
  ${If} $0 == error
    Abort
  ${EndIf}
  ${If} $PortGiven == 1
    StrCpy $1 $PortValue
  ${Else}
    !insertmacro GetProfile "ports" "LPT1:" $1
    ${If} $1 == "${NO_ENTRY}"
      StrCpy $1 ""
    ${EndIf}
  ${EndIf}
  ; Sort the current value into the page's three kinds.
  StrCpy $2 "local"
  StrCpy $3 "LPT1:"
  StrCpy $4 ""
  StrCpy $5 "9100"
  StrCpy $6 "$DOCUMENTS\kelvane-output.prn"
  StrCpy $7 $1 9
  StrCpy $8 $1 1 1
  ${If} $7 == "socket://"
    StrCpy $2 "network"
    StrCpy $4 $1 "" 9
    Call SplitHostAndPort
  ${ElseIf} $8 == ":"
    StrCpy $2 "file"
    StrCpy $6 $1
  ${ElseIf} $1 != ""
    StrCpy $3 $1
  ${EndIf}

  ${NSD_CreateLabel} 0 0 100% 24u "Jobs for LPT1: go to the printer on this computer's port, to a network printer that takes raw print data (port 9100 as a rule), or into a file."
  Pop $0
  ${NSD_CreateRadioButton} 0 30u 45% 12u "This computer's port:"
  Pop $PortLocal
  ${NSD_CreateText} 50% 29u 29% 12u $3
  Pop $PortLocalName
  ${NSD_CreateRadioButton} 0 48u 45% 12u "A network printer (host and port):"
  Pop $PortNetwork
  ${NSD_CreateText} 50% 47u 29% 12u $4
  Pop $PortHost
  ${NSD_CreateNumber} 81% 47u 17% 12u $5
  Pop $PortNumber
  ${NSD_CreateRadioButton} 0 66u 45% 12u "A file:"
  Pop $PortFile
  ${NSD_CreateText} 0 80u 98% 12u $6
  Pop $PortFileName
  ${NSD_CreateLabel} 0 100u 100% 36u "Kelvane keeps this in the [ports] section of win.ini (LPT1:=...), where you can change it later; uninstalling Kelvane puts the earlier entry back."
  Pop $0
  ${If} $2 == "network"
    ${NSD_Check} $PortNetwork
  ${ElseIf} $2 == "file"
    ${NSD_Check} $PortFile
  ${Else}
    ${NSD_Check} $PortLocal
  ${EndIf}
  nsDialogs::Show
FunctionEnd

; $4 "host:port" -> $4 host, $5 port (as it was when no port follows).
Function SplitHostAndPort
  StrLen $9 $4
  ${DoWhile} $9 > 0
    IntOp $9 $9 - 1
    StrCpy $8 $4 1 $9
    ${If} $8 == ":"
      IntOp $8 $9 + 1
      StrCpy $5 $4 "" $8
      StrCpy $4 $4 $9
      ${Break}
    ${EndIf}
  ${Loop}
FunctionEnd

Function PortPageLeave
  ${NSD_GetState} $PortNetwork $0
  ${NSD_GetState} $PortFile $1
  ${If} $0 == ${BST_CHECKED}
    ${NSD_GetText} $PortHost $2
    ${NSD_GetText} $PortNumber $3
    ${If} $2 == ""
    ${OrIf} $3 == ""
    ${OrIf} $3 < 1
    ${OrIf} $3 > 65535
      MessageBox MB_OK|MB_ICONEXCLAMATION "Give the network printer's host name or address, and a port from 1 to 65535."
      Abort
    ${EndIf}
    StrCpy $PortValue "socket://$2:$3"
  ${ElseIf} $1 == ${BST_CHECKED}
    ${NSD_GetText} $PortFileName $2
    StrCpy $3 $2 2 1
    ${If} $3 != ":\"
      MessageBox MB_OK|MB_ICONEXCLAMATION "Give the file's full path, starting with its drive (C:\...)."
      Abort
    ${EndIf}
    StrCpy $PortValue $2
  ${Else}
    ${NSD_GetText} $PortLocalName $2
    ${If} $2 == ""
      StrCpy $2 "LPT1:"
    ${EndIf}
    StrCpy $PortValue $2
  ${EndIf}
  StrCpy $PortGiven 1
FunctionEnd

Function RunKelvane
  ; Through the shell, so that the spooler runs as the user and not with
  ; the installer's administrator rights.
  Exec '"$WINDIR\explorer.exe" "$INSTDIR\kelvane.exe"'
FunctionEnd

Section "Kelvane" SecMain
  SectionIn RO
  SetOutPath "$INSTDIR"
!if /FileExists "${STAGE}\kelvane.exe"
  File "${STAGE}\kelvane.exe"
!endif
  File "${STAGE}\kelvane-headless.exe"
  File "${STAGE}\kelvane-driver.exe"
  File "${STAGE}\kelvane-printer.exe"
  File "${STAGE}\kelvane.ico"
  File "${STAGE}\licence.txt"

  ; The values a first `kelvane-driver install` writes; values already there
  ; are the user's and stay.
  SetRegView 32
  ClearErrors
  ReadRegStr $0 HKLM "${SETTINGS_KEY}" "Port"
  ${If} ${Errors}
    WriteRegStr HKLM "${SETTINGS_KEY}" "Port" "LPT1:"
  ${EndIf}
  SetRegView 64

  ; What win.ini held before the first install, for the uninstaller to put
  ; back: an update keeps the first record.
  ClearErrors
  ReadRegDWORD $0 HKLM "${OWN_KEY}" "IniRecorded"
  ${If} ${Errors}
    !insertmacro GetProfile "ports" "LPT1:" $1
    ${If} $1 == "${NO_ENTRY}"
      WriteRegDWORD HKLM "${OWN_KEY}" "IniPortHad" 0
    ${Else}
      WriteRegDWORD HKLM "${OWN_KEY}" "IniPortHad" 1
      WriteRegStr HKLM "${OWN_KEY}" "IniPortBefore" $1
    ${EndIf}
    !insertmacro HasProfileSection "ports" $2
    WriteRegDWORD HKLM "${OWN_KEY}" "IniPortsHad" $2
    !insertmacro HasProfileSection "Tovrel" $2
    WriteRegDWORD HKLM "${OWN_KEY}" "IniTovrelHad" $2
    WriteRegDWORD HKLM "${OWN_KEY}" "IniRecorded" 1
  ${EndIf}

  ${If} $PortGiven == 1
    ${If} $PortValue == "LPT1:"
    ${OrIf} $PortValue == "LPT1"
    ${OrIf} $PortValue == ""
      ; The computer's own LPT1:. An entry with no value is how Windows
      ; lists its ports: it stays, emptied; none is made.
      !insertmacro GetProfile "ports" "LPT1:" $1
      ${If} $1 != "${NO_ENTRY}"
        !insertmacro SetProfile "ports" "LPT1:" ""
      ${EndIf}
      DetailPrint "LPT1: prints to this computer's LPT1:"
      WriteRegStr HKLM "${OWN_KEY}" "IniPortSet" ""
    ${Else}
      !insertmacro SetProfile "ports" "LPT1:" $PortValue
      DetailPrint "LPT1: prints to $PortValue"
      WriteRegStr HKLM "${OWN_KEY}" "IniPortSet" $PortValue
    ${EndIf}
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${OWN_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Kelvane"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kelvane.ico"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Manual (text)" SecManual
  SetOutPath "$INSTDIR\manual"
  File "${STAGE}\manual\*.txt"
SectionEnd

Section "Start menu entries" SecMenu
  ; For every user of the machine.
  SetShellVarContext all
  CreateDirectory "${MENU_FOLDER}"
!if /FileExists "${STAGE}\kelvane.exe"
  CreateShortcut "${MENU_FOLDER}\Kelvane.lnk" "$INSTDIR\kelvane.exe" "" "$INSTDIR\kelvane.ico"
!else
  CreateShortcut "${MENU_FOLDER}\Kelvane.lnk" "$INSTDIR\kelvane-headless.exe" "" "$INSTDIR\kelvane.ico"
!endif
  ${If} ${SectionIsSelected} ${SecManual}
    CreateShortcut "${MENU_FOLDER}\Kelvane manual.lnk" "$INSTDIR\manual\kelvane.txt"
  ${EndIf}
  CreateShortcut "${MENU_FOLDER}\Uninstall Kelvane.lnk" "$INSTDIR\uninstall.exe"
SectionEnd

; Last: the size the uninstall entry shows is what the sections put there.
Section "-Size"
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
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
  Call un.RestoreProfile
  Call un.RemoveUserFiles

  SetShellVarContext all
  Delete "$INSTDIR\kelvane.exe"
  Delete "$INSTDIR\kelvane-headless.exe"
  Delete "$INSTDIR\kelvane-driver.exe"
  Delete "$INSTDIR\kelvane-printer.exe"
  Delete "$INSTDIR\kelvane.ico"
  Delete "$INSTDIR\licence.txt"
  Delete "$INSTDIR\manual\*.txt"
  RMDir "$INSTDIR\manual"
  Delete "${MENU_FOLDER}\Kelvane.lnk"
  Delete "${MENU_FOLDER}\Kelvane manual.lnk"
  Delete "${MENU_FOLDER}\Uninstall Kelvane.lnk"
  RMDir "${MENU_FOLDER}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${OWN_KEY}"
  ; Last: a silent uninstall runs from a copy of the uninstaller and its
  ; caller returns at once; the folder going is the sign that it is over.
  ; Only if empty: whatever else is in it is not ours.
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd

!macro RemoveOurDevice NAME
  !insertmacro GetProfile "devices" "${NAME}" $2
  ${If} $2 == "kelvane,LPT1:"
    !insertmacro RemoveProfileKey "devices" "${NAME}"
  ${EndIf}
!macroend

; win.ini as the first install found it: LPT1: in [ports] back to its
; earlier entry (or none) unless the user has set another since; [Tovrel],
; which the spooler and the driver fill, gone unless it was there before.
Function un.RestoreProfile
  ClearErrors
  ReadRegDWORD $0 HKLM "${OWN_KEY}" "IniRecorded"
  ${If} ${Errors}
    Return
  ${EndIf}
  ClearErrors
  ReadRegStr $1 HKLM "${OWN_KEY}" "IniPortSet"
  ${IfNot} ${Errors}
    !insertmacro GetProfile "ports" "LPT1:" $2
    ${If} $2 == "${NO_ENTRY}"
      StrCpy $2 ""
    ${EndIf}
    ${If} $2 == $1
      ReadRegDWORD $3 HKLM "${OWN_KEY}" "IniPortHad"
      ${If} $3 == 1
        ReadRegStr $4 HKLM "${OWN_KEY}" "IniPortBefore"
        !insertmacro SetProfile "ports" "LPT1:" $4
      ${Else}
        !insertmacro RemoveProfileKey "ports" "LPT1:"
        ; A section we made goes with its last entry.
        ReadRegDWORD $3 HKLM "${OWN_KEY}" "IniPortsHad"
        !insertmacro HasProfileSection "ports" $4
        ${If} $3 != 1
        ${AndIf} $4 == 0
          !insertmacro RemoveProfileSection "ports"
        ${EndIf}
      ${EndIf}
    ${Else}
      DetailPrint "LPT1: in [ports] was changed after the installation: kept ($2)"
    ${EndIf}
  ${EndIf}
  ReadRegDWORD $0 HKLM "${OWN_KEY}" "IniTovrelHad"
  ${If} $0 != 1
    !insertmacro RemoveProfileSection "Tovrel"
  ${EndIf}
  ; Earlier versions of `kelvane-driver install` listed our printers in
  ; [devices], which is the user's real printer list here: those entries go.
  !insertmacro RemoveOurDevice "VORNA Tamrel"
  !insertmacro RemoveOurDevice "VORNA Cantella"
  !insertmacro RemoveOurDevice "Tovrel"
FunctionEnd

; %APPDATA%\Kelvane: the programs' run files, log, recent files and
; temporaries go; jobs still waiting (queue.txt, spool\) go only when the
; user says so (or /REMOVEJOBS).
Function un.RemoveUserFiles
  SetShellVarContext current
  ${If} $APPDATA == ""
    Return
  ${EndIf}
  StrCpy $0 "$APPDATA\Kelvane"
  ${IfNot} ${FileExists} "$0\*.*"
    Return
  ${EndIf}
  ; Jobs wait while the spool folder holds files or the queue file a
  ; record (the spooler's removals leave empty lines behind).
  StrCpy $1 0
  ${GetSize} "$0\spool" "/S=0B /G=0" $2 $3 $4
  ${If} $3 > 0
    StrCpy $1 1
  ${EndIf}
  ClearErrors
  FileOpen $2 "$0\queue.txt" r
  ${IfNot} ${Errors}
    ${Do}
      ClearErrors
      FileRead $2 $3
      ${If} ${Errors}
        ${Break}
      ${EndIf}
      ${TrimNewLines} $3 $3
      ${If} $3 != ""
        StrCpy $1 1
        ${Break}
      ${EndIf}
    ${Loop}
    FileClose $2
  ${EndIf}
  ${If} $1 == 1
  ${AndIf} $RemoveJobs != 1
    MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 \
      "Print jobs are still waiting in $0 (the queue file and its spool files).$\r$\n$\r$\nDelete them too?" \
      /SD IDNO IDNO keepJobs
    StrCpy $RemoveJobs 1
  keepJobs:
  ${EndIf}
  ${If} $1 == 0
  ${OrIf} $RemoveJobs == 1
    RMDir /r "$0"
    Return
  ${EndIf}
  ; Everything but the jobs.
  FindFirst $2 $3 "$0\*.*"
  ${DoWhile} $3 != ""
    ${If} $3 != "."
    ${AndIf} $3 != ".."
    ${AndIf} $3 != "queue.txt"
    ${AndIf} $3 != "spool"
      ${If} ${FileExists} "$0\$3\*.*"
        RMDir /r "$0\$3"
      ${Else}
        Delete "$0\$3"
      ${EndIf}
    ${EndIf}
    FindNext $2 $3
  ${Loop}
  FindClose $2
  DetailPrint "Print jobs kept in $0"
FunctionEnd

Function un.onInit
  !insertmacro RefuseWhileRunning
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/REMOVESETTINGS" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${UnSecSettings}
  ${EndIf}
  StrCpy $RemoveJobs 0
  ClearErrors
  ${GetOptions} $0 "/REMOVEJOBS" $1
  ${IfNot} ${Errors}
    StrCpy $RemoveJobs 1
  ${EndIf}
FunctionEnd
