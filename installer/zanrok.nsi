; The launcher's installer, made by scripts/build-windows with Debian's
; makensis from the deploy folder:
;   makensis -DVERSION=1.8 -DFILES=<files.nsh>
;            -DOUTFILE=<ZanrokLauncherSetup.exe> installer/zanrok.nsi
; Each version goes into a folder of its own, <install folder>\<VERSION>\,
; beside the one installed before, which keeps working until the last step:
; only then do the Start-menu entry and the uninstall entry name the new
; folder. A failed or interrupted install leaves them naming the earlier
; version; the new launcher removes the earlier versions once its window is
; on screen. FILES holds the install lines of each deployed file, written by
; scripts/build-windows, and the list of what is installed (RECORD, kept in
; the version's folder). Installing a version into its folder again removes
; what that folder's record names and this build does not ship. The
; uninstaller removes what the records name, in every version's folder and
; in the install folder itself (an install from before versions had folders
; of their own): never RageMP's folder, the player's files or anything put
; there since. Per user, no elevation; /S installs and uninstalls silently.
; /UPDATE (the launcher updating itself) first waits, up to a minute, for
; the launcher that started it to end, and starts the new version last.
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
!include "LogicLib.nsh"
!include "StrFunc.nsh"
!include "TextFunc.nsh"
${StrLoc}
${UnStrLoc}

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

Var Root ; the install folder, a folder a version in it
Var Update

Function .onInit
    SetShellVarContext current
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/UPDATE" $R1
    ${IfNot} ${Errors}
        StrCpy $Update 1
    ${EndIf}
FunctionEnd

Function un.onInit
    SetShellVarContext current
FunctionEnd

; The launcher that started the update is this process's parent: waited
; for until it has ended, for a minute at most.
Function WaitForTheLauncher
    System::Alloc 48 ; PROCESS_BASIC_INFORMATION
    Pop $R0
    System::Call 'ntdll::NtQueryInformationProcess(p -1, i 0, p R0, i 48, p 0) i .R1'
    ${If} $R1 = 0
        System::Call '*$R0(p, p, p, p, p, p .R2)' ; InheritedFromUniqueProcessId
        System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i R2) p .R3' ; SYNCHRONIZE
        ${If} $R3 <> 0
            System::Call 'kernel32::WaitForSingleObject(p R3, i 60000) i .R4'
            System::Call 'kernel32::CloseHandle(p R3)'
        ${EndIf}
    ${EndIf}
    System::Free $R0
FunctionEnd

; $R2: where the record's line in $R0 holds `TEXT` first, or "".
!macro FIND UN TEXT
    !if "${UN}" == ""
        ${StrLoc} $R2 $R0 "${TEXT}" ">"
    !else
        ${UnStrLoc} $R2 $R0 "${TEXT}" ">"
    !endif
!macroend

; Skips the record's line in $R0 when it holds `TEXT`.
!macro SKIP_NAME_WITH UN TEXT
    !insertmacro FIND "${UN}" "${TEXT}"
    StrCmp $R2 "" 0 next
!macroend

; Deletes the files the record in the folder $R3 names, then their folders
; if that leaves them empty; with $R4 "unshipped" only those this build does
; not ship, with "all" the record and the uninstaller too. A line is taken
; only as a plain name inside the folder: no drive, no "..", no wildcard; a
; line into a folder that has a record of its own is left to that record.
!macro DEFINE_REMOVE_RECORDED UN
Function ${UN}RemoveRecorded
    ClearErrors
    FileOpen $R1 "$R3\${RECORD}" r
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
        !insertmacro SKIP_NAME_WITH "${UN}" ":"
        !insertmacro SKIP_NAME_WITH "${UN}" ".."
        !insertmacro SKIP_NAME_WITH "${UN}" "/"
        !insertmacro SKIP_NAME_WITH "${UN}" "*"
        !insertmacro SKIP_NAME_WITH "${UN}" "?"
        !insertmacro FIND "${UN}" "\"
        StrCmp $R2 "" file
        StrCpy $R5 $R0 $R2
        IfFileExists "$R3\$R5\${RECORD}" next
    file:
        StrCmp $R4 "unshipped" 0 remove
        !insertmacro ZANROK_IF_SHIPPED $R0 next
    remove:
        Delete "$R3\$R0"
    parent:
        ${GetParent} $R0 $R0
        StrCmp $R0 "" next
        RMDir "$R3\$R0"
        Goto parent
    done:
    FileClose $R1
    StrCmp $R4 "all" 0 +3
    Delete "$R3\${RECORD}"
    Delete "$R3\uninstall.exe"
FunctionEnd
!macroend
!insertmacro DEFINE_REMOVE_RECORDED ""
!insertmacro DEFINE_REMOVE_RECORDED "un."

Section "Install"
    ${If} $Update == 1
        Call WaitForTheLauncher
    ${EndIf}
    StrCpy $Root $INSTDIR
    StrCpy $INSTDIR "$Root\${VERSION}"
    StrCpy $R3 $INSTDIR
    StrCpy $R4 "unshipped"
    Call RemoveRecorded
    ClearErrors
    !insertmacro ZANROK_INSTALL_FILES
    ; The shortcut starts in $OUTDIR: the version's folder, not the last one filled.
    SetOutPath "$INSTDIR"
    File "/oname=${RECORD}" "${ZANROK_FILE_LIST}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    ${If} ${Errors}
        Abort "The launcher could not be installed in $INSTDIR."
    ${EndIf}

    ; The switch, last: until here everything names the earlier version.
    CreateShortcut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\${EXE}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$Root"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
    ; The new launcher cleans up after the earlier ones only once this names it.
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    ${If} $Update == 1
        Exec '"$INSTDIR\${EXE}"'
    ${EndIf}
SectionEnd

Section "Uninstall"
    ${GetParent} "$INSTDIR" $Root
    Delete "$SMPROGRAMS\${NAME}.lnk"
    StrCpy $R4 "all"
    StrCpy $R3 $Root
    Call un.RemoveRecorded
    FindFirst $R6 $R7 "$Root\*"
    ${DoWhile} $R7 != ""
        ${If} $R7 != "."
        ${AndIf} $R7 != ".."
        ${AndIf} ${FileExists} "$Root\$R7\${RECORD}"
            StrCpy $R3 "$Root\$R7"
            Call un.RemoveRecorded
            ; Folders go only when empty: what others put there stays.
            RMDir "$Root\$R7"
        ${EndIf}
        FindNext $R6 $R7
    ${Loop}
    FindClose $R6
    RMDir "$Root"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
