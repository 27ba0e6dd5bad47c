; The launcher's installer, made by scripts/build-windows with Debian's
; makensis from the deploy folder:
;   makensis -DVERSION=1.8 -DFILES=<files.nsh>
;            -DOUTFILE=<ZanrokLauncherSetup.exe> installer/zanrok.nsi
; FILES holds the install and uninstall lines of each deployed file, written
; by scripts/build-windows, so that the uninstaller removes exactly what was
; installed: never RageMP's folder, the player's files or anything put in
; the install folder since. The list of what was installed stays in the
; install folder (RECORD): installing over an earlier version removes the
; files that version recorded and this one no longer ships, and nothing else.
; Per user, no elevation; /S installs and uninstalls silently.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!define NAME "Zanrok Launcher"
!define EXE "zanrok-launcher.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZanrokLauncher"
!define RECORD "installed-files.txt"
!include "${FILES}"
!include "FileFunc.nsh"
!include "StrFunc.nsh"
!include "TextFunc.nsh"
${StrLoc}

Name "${NAME}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Zanrok Launcher"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails nevershow
ShowUninstDetails nevershow

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
    SetShellVarContext current
FunctionEnd

Function un.onInit
    SetShellVarContext current
FunctionEnd

; Skips the record's line in $R0 when it holds `TEXT`.
!macro SKIP_NAME_WITH TEXT
    ${StrLoc} $R2 $R0 "${TEXT}" ">"
    StrCmp $R2 "" 0 next
!macroend

; Deletes each file the earlier version recorded that this one does not
; ship, then its folders if that leaves them empty. A line is taken only as
; a plain name inside the install folder: no drive, no "..", no wildcard.
Function RemoveFilesNoLongerShipped
    ClearErrors
    FileOpen $R1 "$INSTDIR\${RECORD}" r
    IfErrors 0 next
    Return
    next:
        ClearErrors
        FileRead $R1 $R0
        IfErrors done
        ${TrimNewLines} $R0 $R0
        StrCmp $R0 "" next
        StrCpy $R2 $R0 1
        StrCmp $R2 "\" next
        !insertmacro SKIP_NAME_WITH ":"
        !insertmacro SKIP_NAME_WITH ".."
        !insertmacro SKIP_NAME_WITH "/"
        !insertmacro SKIP_NAME_WITH "*"
        !insertmacro SKIP_NAME_WITH "?"
        !insertmacro ZANROK_IF_SHIPPED $R0 next
        Delete "$INSTDIR\$R0"
    parent:
        ${GetParent} $R0 $R0
        StrCmp $R0 "" next
        RMDir "$INSTDIR\$R0"
        Goto parent
    done:
    FileClose $R1
FunctionEnd

Section "Install"
    Call RemoveFilesNoLongerShipped
    !insertmacro ZANROK_INSTALL_FILES
    ; The shortcut starts in $OUTDIR: the install folder, not the last one filled.
    SetOutPath "$INSTDIR"
    File "/oname=${RECORD}" "${ZANROK_FILE_LIST}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\${EXE}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    Delete "$SMPROGRAMS\${NAME}.lnk"
    !insertmacro ZANROK_UNINSTALL_FILES
    Delete "$INSTDIR\${RECORD}"
    Delete "$INSTDIR\uninstall.exe"
    ; Folders go only when empty: what others put there stays.
    RMDir "$INSTDIR"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
