; The Windows installer of the Updater, its tools and the library: installs the staged tree of
; scripts/build-windows.sh to Program Files, offers to add its bin folder to PATH, and removes
; everything it installed again (the PATH entry included). A 64-bit program itself, so it sees
; the 64-bit Program Files and registry as the programs it installs do.
;   makensis -DSTAGE=DIR -DVERSION=X.Y.Z -DOUTFILE=FILE installer.nsi
; Silent use: corvane-setup-x86_64.exe /S [/PATH=0|1] [/D=FOLDER]  (/D last, unquoted; /PATH=1,
; the components page's default, adds the bin folder to the system PATH, /PATH=0 leaves it alone)
Target amd64-unicode
!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "x64.nsh"
!include "WinMessages.nsh"
!include "FileFunc.nsh"
!include "Sections.nsh"

!define PRODUCT "Corvane Updater"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\CorvaneUpdater"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Corvane"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "!${PRODUCT}" SecMain
  SectionIn RO
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Corvane"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Asked on the components page: unticked, PATH is left alone.
Section "Add the bin folder to PATH" SecPath
  ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
  ; Only once, however often the installer runs.
  Push "$0;"
  Push "$INSTDIR\bin;"
  Call StrContains
  Pop $1
  ${If} $1 == ""
    ${If} $0 == ""
      WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$INSTDIR\bin"
    ${Else}
      WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$0;$INSTDIR\bin"
    ${EndIf}
    SendMessage ${HWND_BROADCAST} ${WM_WININICHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${EndIf}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "AddedToPath" 1
SectionEnd

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "${PRODUCT} needs 64-bit Windows." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  SetRegView 64
  ; /PATH=1 or /PATH=0 ticks or unticks the PATH component, for a silent run above all.
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/PATH=" $1
  ${IfNot} ${Errors}
    ${If} $1 == "1"
      !insertmacro SelectSection ${SecPath}
    ${ElseIf} $1 == "0"
      !insertmacro UnselectSection ${SecPath}
    ${Else}
      MessageBox MB_ICONSTOP "/PATH= takes 0 (leave PATH alone) or 1 (add the bin folder)." \
        /SD IDOK
      SetErrorLevel 2
      Abort
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetRegView 64
  ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "AddedToPath"
  ${If} $0 == 1
    ReadRegStr $1 HKLM "${ENVIRONMENT_KEY}" "Path"
    Push $1
    Push ";$INSTDIR\bin"
    Call un.StrRemove
    Pop $1
    Push $1
    Push "$INSTDIR\bin"
    Call un.StrRemove
    Pop $1
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" $1
    SendMessage ${HWND_BROADCAST} ${WM_WININICHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${EndIf}
  ; Only what the installer put there: a user's own files in the folder stay.
  RMDir /r "$INSTDIR\bin"
  RMDir /r "$INSTDIR\lib"
  RMDir /r "$INSTDIR\include"
  RMDir /r "$INSTDIR\share"
  RMDir /r "$INSTDIR\licences"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

; StrContains HAYSTACK NEEDLE -> NEEDLE when HAYSTACK holds it, else ""
Function StrContains
  Exch $1 ; needle
  Exch
  Exch $0 ; haystack
  Push $2
  Push $3
  Push $4
  Push $5
  StrLen $3 $1
  StrCpy $4 0
  StrCpy $2 ""
  ${Do}
    StrCpy $5 $0 $3 $4
    ${If} $5 == ""
      ${Break}
    ${EndIf}
    ${If} $5 == $1
      StrCpy $2 $1
      ${Break}
    ${EndIf}
    IntOp $4 $4 + 1
  ${Loop}
  Pop $5
  Pop $4
  Pop $3
  Exch $2
  Exch
  Pop $0
  Exch
  Pop $1
FunctionEnd

; un.StrRemove HAYSTACK NEEDLE -> HAYSTACK without the first NEEDLE in it
Function un.StrRemove
  Exch $1 ; needle
  Exch
  Exch $0 ; haystack
  Push $2
  Push $3
  Push $4
  Push $5
  StrLen $3 $1
  StrCpy $4 0
  ${Do}
    StrCpy $5 $0 $3 $4
    ${If} $5 == ""
      ${Break}
    ${EndIf}
    ${If} $5 == $1
      StrCpy $2 $0 $4
      IntOp $4 $4 + $3
      StrCpy $5 $0 "" $4
      StrCpy $0 "$2$5"
      ${Break}
    ${EndIf}
    IntOp $4 $4 + 1
  ${Loop}
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd
