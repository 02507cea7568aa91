; The Windows installer of the Velkaris Defrag Service: the program files, the service and an
; entry under "Add or remove programs". Built by the Windows build (installer/CMakeLists.txt):
;   makensis -DSTAGE=<dist/windows> -DOUT_FILE=<setup.exe> -DVERSION=<x.y> velkaris.nsi
;
; Silent use:  VelkarisDefragSetup.exe /S [/D=C:\Some Folder]      (/D last, without quotes)
;              uninstall.exe /S [/REMOVEDATA]
; Installing over an installed version stops the service, replaces the program files, keeps
; the settings, statistics, logs and resume state, and starts the service again. Every failure
; ends with a message (a dialog, and on standard error when there is one) and exit code 2,
; with the previous installation as it was. The uninstaller keeps the logs, statistics,
; settings and resume state unless asked (/REMOVEDATA, or "Yes" to its question).

Target amd64-unicode
!include LogicLib.nsh
!include FileFunc.nsh

!ifndef VERSION
  !define VERSION "0.0"
!endif
!define PRODUCT "Velkaris Defrag Service"
!define SERVICE "VelkarisDefragService"
!define EXE "VelkarisDefragService.exe"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${SERVICE}"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\${SERVICE}"
!define PRODUCT_KEY "SOFTWARE\velkaris\Velkaris Lumeric Defrag"
; Windows error codes that the service executable's options return.
!define ERROR_SERVICE_DOES_NOT_EXIST 1060
!define ERROR_SERVICE_NOT_ACTIVE 1062
!define ERROR_SERVICE_ALREADY_RUNNING 1056

Name "${PRODUCT}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\Velkaris Defrag"
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var Ctl          ; a copy of the service executable that controls the service from outside
Var Stopped      ; 1 once this run has stopped a running service
Var Register     ; 1 when the service has to be registered with the files of $INSTDIR
Var OldImage     ; the service's command line when it was registered with other files
Var Unregistered ; 1 once that registration has been removed
Var Registered   ; 1 once the service has been registered with the new files
Var Previous     ; 1 while the files of the previous version wait in bin.previous
Var OldDir       ; where the previous version was installed, when somewhere else
Var RemoveData

; Shows a failure (a dialog unless silent, and standard error when the caller gave one) and ends
; with exit code 2. The callers have put everything back first.
!macro Fail text
  StrCpy $0 "${text}"
  Call ReportFailure
!macroend
!macro un.Fail text
  StrCpy $0 "${text}"
  Call un.ReportFailure
!macroend

!macro REPORT_FAILURE un
Function ${un}ReportFailure
  DetailPrint "$0"
  ; GUI programs have no console of their own; write to the handle a console or a script gave.
  System::Call 'kernel32::GetStdHandle(i -12) p .r1'
  ${If} $1 P<> 0
  ${AndIf} $1 P<> -1
    System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w "$0$\r$\n", i -1, p 0, i 0, p 0, p 0) i .r2'
    System::Alloc $2
    Pop $3
    System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w "$0$\r$\n", i -1, p r3, i r2, p 0, p 0)'
    IntOp $2 $2 - 1
    System::Call 'kernel32::WriteFile(p r1, p r3, i r2, *i 0, p 0)'
    System::Free $3
  ${EndIf}
  MessageBox MB_ICONSTOP|MB_OK "$0" /SD IDOK
  SetErrorLevel 2
  Quit
FunctionEnd
!macroend
!insertmacro REPORT_FAILURE ""
!insertmacro REPORT_FAILURE "un."

; Runs the service executable with one option; the exit code lands in $0.
!macro Service exe option
  ExecWait '"${exe}" ${option}' $0
  DetailPrint "${SERVICE} ${option}: $0"
!macroend

Function .onInit
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    !insertmacro Fail "Installing ${PRODUCT} needs administrator rights; start the installer as an administrator."
  ${EndIf}
FunctionEnd

; Stops the service when it runs. Fails (with nothing changed) when it does not stop.
Function StopService
  !insertmacro Service $Ctl "-stop"
  ${If} $0 = ${ERROR_SERVICE_NOT_ACTIVE}
    Return
  ${EndIf}
  ${If} $0 <> 0
    !insertmacro Fail "The running ${PRODUCT} could not be stopped (error $0); the installed version is left as it was."
  ${EndIf}
  StrCpy $Stopped 1
  ; Wait while it is stopping, then make sure it has stopped: a second stop finds it not active.
  ${For} $1 1 10
    !insertmacro Service $Ctl "-w"
    !insertmacro Service $Ctl "-stop"
    ${If} $0 = ${ERROR_SERVICE_NOT_ACTIVE}
      Return
    ${EndIf}
    Sleep 1000
  ${Next}
  !insertmacro Service $Ctl "-s"
  !insertmacro Fail "${PRODUCT} did not stop (error $0); the installed version is left as it was."
FunctionEnd

; Puts the previous installation back as it was and starts it again, then fails with the
; message in $R9.
Function RollBack
  ${If} $Registered = 1
    !insertmacro Service "$INSTDIR\bin\${EXE}" "-r"
  ${EndIf}
  ${If} $Previous = 1
    RMDir /r "$INSTDIR\bin"
    Rename "$INSTDIR\bin.previous" "$INSTDIR\bin"
  ${ElseIf} $Register = 1
  ${AndIf} $OldDir != $INSTDIR
    RMDir /r "$INSTDIR\bin"
  ${EndIf}
  ${If} $Unregistered = 1
    ExecWait '$OldImage -i'
  ${EndIf}
  ${If} $Stopped = 1
    !insertmacro Service $Ctl "-s"
  ${EndIf}
  !insertmacro Fail "$R9"
FunctionEnd

Section "Install"
  SetShellVarContext all
  StrCpy $Stopped 0
  StrCpy $Register 0
  StrCpy $Unregistered 0
  StrCpy $Registered 0
  StrCpy $Previous 0
  InitPluginsDir
  SetOutPath "$PLUGINSDIR\control\bin"
  File "${STAGE}\bin\${EXE}"
  StrCpy $Ctl "$PLUGINSDIR\control\bin\${EXE}"

  ; A service that is registered with other files (another folder, or none of ours) is
  ; registered anew with the files of this folder once they are in place.
  !insertmacro Service $Ctl "-ci"
  ${If} $0 = 0
    Call StopService
    ReadRegStr $OldImage HKLM "${SERVICE_KEY}" "ImagePath"
    ${If} $OldImage != '"$INSTDIR\bin\${EXE}"'
    ${AndIf} $OldImage != "$INSTDIR\bin\${EXE}"
      StrCpy $Register 1
    ${EndIf}
  ${Else}
    StrCpy $Register 1
  ${EndIf}

  ; The previous version in another folder: its resume state comes along; its program files go
  ; once the new version runs.
  ReadRegStr $OldDir HKLM "${UNINST_KEY}" "InstallLocation"
  ${If} $OldDir == $INSTDIR
  ${OrIfNot} ${FileExists} "$OldDir\bin\${EXE}"
    StrCpy $OldDir ""
  ${EndIf}
  ${If} $OldDir != ""
  ${AndIfNot} ${FileExists} "$INSTDIR\state\*.*"
  ${AndIf} ${FileExists} "$OldDir\state\*.*"
    CreateDirectory "$INSTDIR"
    CopyFiles /SILENT "$OldDir\state" "$INSTDIR"
  ${EndIf}

  ; The previous files stay in bin.previous until the new version runs.
  RMDir /r "$INSTDIR\bin.previous"
  ${If} ${FileExists} "$INSTDIR\bin\*.*"
    ClearErrors
    Rename "$INSTDIR\bin" "$INSTDIR\bin.previous"
    ${If} ${Errors}
      StrCpy $R9 "The files in $INSTDIR\bin are in use and cannot be replaced."
      Call RollBack
    ${EndIf}
    StrCpy $Previous 1
  ${EndIf}

  ; "try" sets the error flag instead of asking, so that a failed write rolls back.
  CreateDirectory "$INSTDIR\bin"
  ${IfNot} ${FileExists} "$INSTDIR\bin\*.*"
    StrCpy $R9 "The program files could not be written to $INSTDIR."
    Call RollBack
  ${EndIf}
  ClearErrors
  SetOverwrite try
  SetOutPath "$INSTDIR\bin"
  File "${STAGE}\bin\*.exe"
  ; A logging configuration that the user has changed is kept.
  SetOverwrite off
  SetOutPath "$INSTDIR\config"
  File "${STAGE}\config\*.xml"
  SetOverwrite on
  CreateDirectory "$INSTDIR\log"
  CreateDirectory "$INSTDIR\state"
  ${If} ${Errors}
    StrCpy $R9 "The program files could not be written to $INSTDIR."
    Call RollBack
  ${EndIf}

  ${If} $Register = 1
    !insertmacro Service $Ctl "-r"
    ${If} $0 = 0
      StrCpy $Unregistered 1
    ${EndIf}
    !insertmacro Service "$INSTDIR\bin\${EXE}" "-i"
    ${If} $0 <> 0
      StrCpy $R9 "The service could not be installed (error $0)."
      Call RollBack
    ${EndIf}
    StrCpy $Registered 1
  ${EndIf}
  !insertmacro Service "$INSTDIR\bin\${EXE}" "-s"
  ${If} $0 <> 0
  ${AndIf} $0 <> ${ERROR_SERVICE_ALREADY_RUNNING}
    StrCpy $R9 "The service could not be started (error $0)."
    Call RollBack
  ${EndIf}
  RMDir /r "$INSTDIR\bin.previous"
  ${If} $OldDir != ""
    RMDir /r "$OldDir\bin"
    Delete "$OldDir\config\logconfig.xml"
    RMDir "$OldDir\config"
    Delete "$OldDir\uninstall.exe"
    RMDir "$OldDir"
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "velkaris"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\bin\${EXE}"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  StrCpy $RemoveData 0
  ${GetParameters} $1
  ClearErrors
  ${GetOptions} $1 "/REMOVEDATA" $2
  ${IfNot} ${Errors}
    StrCpy $RemoveData 1
  ${EndIf}
  ${If} $RemoveData = 0
    MessageBox MB_YESNO|MB_ICONQUESTION "Also remove the logs, statistics, settings and resume state?" /SD IDNO IDNO keep
    StrCpy $RemoveData 1
    keep:
  ${EndIf}

  ; Removing stops the service first; if it cannot, nothing is removed.
  ${If} ${FileExists} "$INSTDIR\bin\${EXE}"
    !insertmacro Service "$INSTDIR\bin\${EXE}" "-ci"
    ${If} $0 = 0
      !insertmacro Service "$INSTDIR\bin\${EXE}" "-r"
      ${If} $0 <> 0
      ${AndIf} $0 <> ${ERROR_SERVICE_DOES_NOT_EXIST}
        !insertmacro un.Fail "The service could not be stopped and removed (error $0); nothing was removed."
      ${EndIf}
    ${EndIf}
  ${EndIf}

  RMDir /r "$INSTDIR\bin"
  RMDir /r "$INSTDIR\bin.previous"
  Delete "$INSTDIR\config\logconfig.xml"
  RMDir "$INSTDIR\config"
  Delete "$INSTDIR\uninstall.exe"
  DeleteRegKey HKLM "${UNINST_KEY}"
  ${If} $RemoveData = 1
    RMDir /r "$INSTDIR\state"
    RMDir /r "$INSTDIR\log"
    DeleteRegKey HKLM "${PRODUCT_KEY}"
    DeleteRegKey /ifempty HKLM "SOFTWARE\velkaris"
  ${EndIf}
  RMDir "$INSTDIR"
SectionEnd
