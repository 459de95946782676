; Setup package of the Solvendale virtual printer, built with NSIS 3
; (makensis). It installs the product's files, runs the driver installer
; SolvendaleSetup.exe, registers an entry in Add/Remove Programs, and turns
; the installer's exit code into the Windows Installer convention that
; deployment tools read (docs/deploying.md).
;
;   makensis -DPROGRAM=<SolvendaleSetup.exe> -DCOMPONENTS=<directory> \
;            -DTRAY=<soltray.exe> -DOUTFILE=<package.exe> solvendale.nsi
;
; COMPONENTS holds qrlmon64.dll, qrldrv64.dll, qrlui64.dll and qrlhelp.chm.
; With -DSIGN_UNINSTALLER=<command> the uninstaller is signed by that command
; (%1 is the file) before it is packed. scripts/package.sh passes all of these.
;
; Layout on the target machine:
;   <install dir>\soltray.exe
;   <install dir>\Driver\SolvendaleSetup.exe  and the component files
;   <install dir>\uninstall.exe
;   <install dir>\SolvendaleSetup.log         report of the install runs
; (the installer registers the tray companion found in the directory above
; its own).

Target amd64-unicode
RequestExecutionLevel admin
ManifestDPIAware true
SetCompressor /SOLID lzma

!ifndef PROGRAM | COMPONENTS | TRAY | OUTFILE
  !error "define PROGRAM, COMPONENTS, TRAY and OUTFILE (see the head of this file)"
!endif

!define PRODUCT "Solvendale"
!define PUBLISHER "Quarlen Software Kft."
!define BUILD 2093
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Solvendale"
; The installer's exit codes and the package's own (Windows Installer codes).
!define INSTALLED 1
!define UNINSTALLED 2
!define REBOOT_NEEDED 101
!define ERROR_LINE 100
!define SUCCESS 0
!define SUCCESS_REBOOT_REQUIRED 3010
!define FATAL_ERROR 1603
!define USER_EXIT 1602

!include MUI2.nsh
!include LogicLib.nsh

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PUBLISHER}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "0.0.0.${BUILD}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) ${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${BUILD}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${BUILD}"

!ifdef SIGN_UNINSTALLER
  !uninstfinalize '${SIGN_UNINSTALLER}' = 0
!endif

!define MUI_WELCOMEPAGE_TEXT "Setup will install the ${PRODUCT} virtual printer \
(build ${BUILD}): its port monitor, its printer driver and the tray companion.$\r$\n$\r$\n\
Printer queues of an earlier installation are kept.$\r$\n$\r$\nClick Next to continue."
!define MUI_CUSTOMFUNCTION_ABORT UserAbort
!define MUI_CUSTOMFUNCTION_UNABORT un.UserAbort
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_UNPAGE_FINISH
!insertmacro MUI_LANGUAGE "English"

; RunDriverInstaller <prefix> <command word> <report file>
; Runs SolvendaleSetup.exe with the command word and the report file, quietly
; when the package runs silently (otherwise the installer's log dialog shows
; errors, owned by this window), and maps its exit code:
;   1, 2 -> 0; 101 -> 3010 and the reboot flag; anything else -> 1603, with
;   a message naming the report (not shown in silent mode).
!macro DEFINE_RUN_DRIVER_INSTALLER PREFIX
Function ${PREFIX}RunDriverInstaller
  Exch $R2  ; report file
  Exch
  Exch $R1  ; command word
  Push $R0
  Push $R3
  StrCpy $R0 ""
  ${If} ${Silent}
    StrCpy $R3 '"$INSTDIR\Driver\SolvendaleSetup.exe" $R1 /quiet "/log=$R2"'
  ${Else}
    StrCpy $R3 '"$INSTDIR\Driver\SolvendaleSetup.exe" $R1 "/log=$R2" $HWNDPARENT'
  ${EndIf}
  DetailPrint "Running: $R3"
  ClearErrors
  ExecWait $R3 $R0
  ${If} ${Errors}
    StrCpy $R0 "not started"
  ${EndIf}
  DetailPrint "SolvendaleSetup.exe $R1: exit code $R0"
  ${If} $R0 == ${INSTALLED}
  ${OrIf} $R0 == ${UNINSTALLED}
    SetErrorLevel ${SUCCESS}
  ${ElseIf} $R0 == ${REBOOT_NEEDED}
    SetRebootFlag true
    SetErrorLevel ${SUCCESS_REBOOT_REQUIRED}
    DetailPrint "Some files are removed when Windows restarts."
  ${Else}
    SetErrorLevel ${FATAL_ERROR}
    ${If} $R0 == ${ERROR_LINE}
      StrCpy $R3 "The printer driver installer reported an error."
    ${Else}
      StrCpy $R3 "The printer driver installer failed (exit code $R0)."
    ${EndIf}
    DetailPrint "$R3 Its report: $R2"
    MessageBox MB_OK|MB_ICONSTOP "$R3$\r$\n$\r$\nIts report: $R2" /SD IDOK
  ${EndIf}
  Pop $R3
  Pop $R0
  Pop $R1
  Pop $R2
FunctionEnd
!macroend
!insertmacro DEFINE_RUN_DRIVER_INSTALLER ""
!insertmacro DEFINE_RUN_DRIVER_INSTALLER "un."

Function .onInit
  SetRegView 64
  ; Whatever stops the package before the installer has answered is a
  ; failure for the caller.
  SetErrorLevel ${FATAL_ERROR}
FunctionEnd

Function UserAbort
  SetErrorLevel ${USER_EXIT}
FunctionEnd

Section "Install"
  SetOutPath "$INSTDIR\Driver"
  File "/oname=SolvendaleSetup.exe" "${PROGRAM}"
  ; A running tray companion keeps its file open: on an upgrade, stop it
  ; before its file is replaced (the install starts it again).
  ${If} ${FileExists} "$INSTDIR\soltray.exe"
    ExecWait '"$INSTDIR\Driver\SolvendaleSetup.exe" removetray'
  ${EndIf}
  File "${COMPONENTS}\qrlmon64.dll"
  File "${COMPONENTS}\qrldrv64.dll"
  File "${COMPONENTS}\qrlui64.dll"
  File "${COMPONENTS}\qrlhelp.chm"
  SetOutPath "$INSTDIR"
  File "/oname=soltray.exe" "${TRAY}"

  ; The entry comes before the installer runs, so that a failed install
  ; can still be uninstalled.
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${BUILD}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  ; An uninstaller started without _?= copies itself to the temporary
  ; directory, starts the copy and ends at once with 0. With it, it runs in
  ; place, so a deployment tool waits for the end and reads the real exit
  ; code; its own file and the directory go at the next restart.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; Over an installed version this is the upgrade: the installer removes
  ; the old components and installs the new ones, keeping the queues.
  Push "install"
  Push "$INSTDIR\SolvendaleSetup.log"
  Call RunDriverInstaller
  GetErrorLevel $0
  ${If} $0 == ${FATAL_ERROR}
    Abort "The printer driver was not installed completely."
  ${EndIf}
SectionEnd

Function un.onInit
  SetRegView 64
  SetErrorLevel ${FATAL_ERROR}
FunctionEnd

Function un.UserAbort
  SetErrorLevel ${USER_EXIT}
FunctionEnd

Section "Uninstall"
  ; The report goes to the temporary directory: the install directory is
  ; removed below.
  Push "uninstall"
  Push "$TEMP\SolvendaleSetup.log"
  Call un.RunDriverInstaller
  ; The package's files and entry go even when the installer reported an
  ; error: what it left is in its report, and a later install of the
  ; package removes and installs the components again.
  Delete /REBOOTOK "$INSTDIR\Driver\SolvendaleSetup.exe"
  Delete /REBOOTOK "$INSTDIR\Driver\qrlmon64.dll"
  Delete /REBOOTOK "$INSTDIR\Driver\qrldrv64.dll"
  Delete /REBOOTOK "$INSTDIR\Driver\qrlui64.dll"
  Delete /REBOOTOK "$INSTDIR\Driver\qrlhelp.chm"
  RMDir /REBOOTOK "$INSTDIR\Driver"
  Delete /REBOOTOK "$INSTDIR\soltray.exe"
  Delete "$INSTDIR\SolvendaleSetup.log"
  Delete /REBOOTOK "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
