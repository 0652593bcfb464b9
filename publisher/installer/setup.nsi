; The Setup program that "vellumix-publish installer" builds: a per-user installation of one
; verified release into %LOCALAPPDATA%\Programs\<name>, where the updater can rewrite it without
; an elevation prompt, with the release's installed record, a Start menu shortcut, an entry in the
; current user's list of programs and an uninstaller.
;
; The release tool writes setup-values.nsh beside this script (every value it takes from the
; command line or the stage, checked and quoted there), the release's files under files\ and the
; installed record under record\, and runs makensis on it.
;
; Exit codes of Setup: 0 installed, 1 cancelled by the user, 2 failed (a file could not be
; written), 3 refused: the folder holds a newer release, 4 refused: the folder holds other files,
; 5 refused: an update of the installation there is unfinished.
; The uninstaller: 0 removed, 1 cancelled, 2 failed.

Unicode true
Target amd64-unicode
RequestExecutionLevel user
ManifestDPIAware true
SetCompressor /SOLID lzma
; A file that cannot be written (the program runs) fails Setup; it is never skipped, also not
; silently.
AllowSkipFiles off

!include "setup-values.nsh"
!include "MUI2.nsh"
!include "LogicLib.nsh"

!define VX_UNINSTALL_KEY `Software\Microsoft\Windows\CurrentVersion\Uninstall\${VX_NAME}`
!define VX_WORK `.vellumix-update`
!define VX_MAIN `Vellumix.exe`
!define VX_REFUSED_NEWER 3
!define VX_REFUSED_FOREIGN 4
!define VX_REFUSED_UNFINISHED 5

Name `${VX_NAME}`
OutFile `${VX_OUT}`
InstallDir `$LOCALAPPDATA\Programs\${VX_NAME}`
InstallDirRegKey HKCU `${VX_UNINSTALL_KEY}` "InstallLocation"
BrandingText `${VX_NAME} ${VX_VERSION}`
ShowInstDetails show
ShowUninstDetails show

!ifdef VX_ICON
!define MUI_ICON `${VX_ICON}`
!define MUI_UNICON `${VX_ICON}`
!endif
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_WELCOME
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN `$INSTDIR\${VX_MAIN}`
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The first language is the one taken when the system's is neither.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

LangString NewerInstalled ${LANG_ENGLISH} "$INSTDIR holds a newer release of $(^Name) (sequence $R7) than this Setup program carries (${VX_VERSION}, sequence ${VX_SEQUENCE}). Setup leaves it as it is."
LangString NewerInstalled ${LANG_SIMPCHINESE} "$INSTDIR 中已安装较新的 $(^Name)（序号 $R7），比本安装程序所带的版本（${VX_VERSION}，序号 ${VX_SEQUENCE}）更新。安装程序不会替换它。"
LangString ForeignFolder ${LANG_ENGLISH} "$INSTDIR already holds other files. Choose a new or empty folder, or the folder of an earlier installation of $(^Name)."
LangString UnfinishedUpdate ${LANG_ENGLISH} "An update of $(^Name) in $INSTDIR is unfinished ($R6). Start $(^Name) once, so that it completes the update or undoes it, then run Setup again."
LangString UnfinishedUpdate ${LANG_SIMPCHINESE} "$INSTDIR 中 $(^Name) 的一次更新尚未完成（$R6）。请先启动 $(^Name) 一次，让它完成或撤销这次更新，然后再运行安装程序。"
LangString ForeignFolder ${LANG_SIMPCHINESE} "$INSTDIR 中已有其他文件。请选择新的或空的文件夹，或 $(^Name) 以前安装所在的文件夹。"
LangString DamagedRecord ${LANG_ENGLISH} "The record of the installed release is damaged; it is replaced."
LangString DamagedRecord ${LANG_SIMPCHINESE} "已安装版本的记录已损坏，将被替换。"
LangString StageRemoved ${LANG_ENGLISH} "Removed the downloaded update in $R1"
LangString StageRemoved ${LANG_SIMPCHINESE} "已删除 $R1 中下载的更新"
LangString StageLeft ${LANG_ENGLISH} "Left alone (not a folder of downloaded updates): $R1"
LangString StageLeft ${LANG_SIMPCHINESE} "未删除（不是下载更新的文件夹）：$R1"

; --- The installed record ---------------------------------------------------------------------

; Pops a program root, pushes the sequence of its installed record: a number from 1 to
; 9999999, "" when there is no record, "damaged" when there is one that is not as the updater
; writes it ({, "sequence": N, "version": "V", }, one member a line).
Function InstalledSequence
    Exch $0
    Push $1
    Push $2
    Push $3
    Push $4
    StrCpy $4 ""
    IfFileExists "$0\${VX_WORK}\installed.json\*.*" 0 +3
        StrCpy $4 "damaged"
        Goto done
    IfFileExists "$0\${VX_WORK}\installed.json" 0 done
    StrCpy $4 "damaged"
    ClearErrors
    FileOpen $1 "$0\${VX_WORK}\installed.json" r
    IfErrors done
    FileRead $1 $2
    FileRead $1 $3
    ${If} $2 != "{$\n"
    ${OrIf} $3 == ""
        FileClose $1
        Goto done
    ${EndIf}
    StrCpy $2 $3 16
    ${If} $2 != `    "sequence": `
        FileClose $1
        Goto done
    ${EndIf}
    ; "<digits>,\n": the digits are a number written as the updater writes it (no sign, no
    ; leading zero, nothing else), which IntOp gives back unchanged.
    StrCpy $2 $3 2 -2
    StrCpy $3 $3 "" 16
    StrCpy $3 $3 -2
    ${If} $2 != ",$\n"
        FileClose $1
        Goto done
    ${EndIf}
    IntOp $2 $3 + 0
    ${If} $2 != $3
    ${OrIf} $2 < 1
    ${OrIf} $2 > 9999999
        FileClose $1
        Goto done
    ${EndIf}
    FileRead $1 $3
    StrCpy $3 $3 16
    ${If} $3 != `    "version": "`
        FileClose $1
        Goto done
    ${EndIf}
    FileRead $1 $3
    FileClose $1
    ${If} $3 == "}$\n"
        StrCpy $4 $2
    ${EndIf}
done:
    Pop $3
    Pop $2
    Pop $1
    Exch
    Pop $0
    Exch $4
FunctionEnd

; Sets $R6 to the state that the journal of an unfinished update in $INSTDIR names ("installing",
; "starting" or "rollback-needed"), else to "". The updater's recovery would undo such an update
; at the next start, putting its backup over the files Setup installs. The journal is compact JSON
; whose "state" member follows its list of files: its last 8 KiB are searched, in pieces, each
; with the end of the piece before (a match never falls between two).
Function UnfinishedState
    Push $0
    Push $1
    Push $2
    Push $3
    Push $4
    Push $5
    StrCpy $R6 ""
    ClearErrors
    FileOpen $0 "$INSTDIR\${VX_WORK}\transaction.json" r
    IfErrors done
    FileSeek $0 0 END $1
    ${If} $1 > 8192
        FileSeek $0 -8192 END
    ${Else}
        FileSeek $0 0 SET
    ${EndIf}
    StrCpy $2 ""
    ${Do}
        ClearErrors
        ; At most 960 characters, so that with the 32 kept from the piece before it stays within
        ; NSIS's 1,024 a string holds (a longer one is cut at its end).
        FileRead $0 $1 960
        ${If} ${Errors}
            ${Break}
        ${EndIf}
        StrCpy $1 "$2$1"
        StrLen $3 $1
        StrCpy $4 0
        ${DoWhile} $4 < $3
            StrCpy $5 $1 9 $4
            ${If} $5 S== `"state":"`
                IntOp $5 $4 + 9
                StrCpy $5 $1 16 $5
                ${If} $5 S== `rollback-needed"`
                    StrCpy $R6 "rollback-needed"
                ${Else}
                    StrCpy $2 $5 11
                    ${If} $2 S== `installing"`
                        StrCpy $R6 "installing"
                    ${EndIf}
                    StrCpy $2 $5 9
                    ${If} $2 S== `starting"`
                        StrCpy $R6 "starting"
                    ${EndIf}
                ${EndIf}
            ${EndIf}
            IntOp $4 $4 + 1
        ${Loop}
        StrCpy $2 $1 "" -32
    ${Loop}
    FileClose $0
done:
    Pop $5
    Pop $4
    Pop $3
    Pop $2
    Pop $1
    Pop $0
FunctionEnd

; Sets $R9 to "" when Setup may install into $INSTDIR, else to the exit code that refuses it, and
; $R8 to the text that says why. $R7: the installed record's sequence, "" or "damaged".
Function CheckFolder
    StrCpy $R9 ""
    StrCpy $R8 ""
    Push $INSTDIR
    Call InstalledSequence
    Pop $R7
    ${If} $R7 == ""
    ${OrIf} $R7 == "damaged"
        ; Without a record: a new or empty folder, or one where this Setup installed before.
        IfFileExists "$INSTDIR\uninstall.exe" checked
        IfFileExists "$INSTDIR\${VX_WORK}\*.*" checked
        ClearErrors
        FindFirst $0 $1 "$INSTDIR\*"
        ${DoUntil} ${Errors}
            ${If} $1 != "."
            ${AndIf} $1 != ".."
            ${AndIf} $1 != ""
                StrCpy $R9 ${VX_REFUSED_FOREIGN}
                StrCpy $R8 "$(ForeignFolder)"
                ${Break}
            ${EndIf}
            FindNext $0 $1
        ${Loop}
        FindClose $0
    ${ElseIf} $R7 > ${VX_SEQUENCE}
        StrCpy $R9 ${VX_REFUSED_NEWER}
        StrCpy $R8 "$(NewerInstalled)"
    ${EndIf}
checked:
    ${If} $R9 == ""
        Call UnfinishedState
        ${If} $R6 != ""
            StrCpy $R9 ${VX_REFUSED_UNFINISHED}
            StrCpy $R8 "$(UnfinishedUpdate)"
        ${EndIf}
    ${EndIf}
FunctionEnd

Function DirectoryLeave
    Call CheckFolder
    ${If} $R9 != ""
        MessageBox MB_OK|MB_ICONSTOP "$R8"
        Abort
    ${EndIf}
FunctionEnd

; --- Setup ------------------------------------------------------------------------------------

Section "-program"
    SetShellVarContext current
    Call CheckFolder
    ${If} $R9 != ""
        DetailPrint "$R8"
        SetErrorLevel $R9
        Abort "$R8"
    ${EndIf}
    ${If} $R7 == "damaged"
        DetailPrint "$(DamagedRecord)"
    ${EndIf}

    ; The program's files replace those of an earlier installation; the work folder keeps its
    ; records (the update history, the installation's choices) and gets this release's record.
    SetOverwrite on
    SetOutPath "$INSTDIR"
    File /r "files\*"
    SetOutPath "$INSTDIR\${VX_WORK}"
    File "record\installed.json"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateShortcut "$SMPROGRAMS\${VX_NAME}.lnk" "$INSTDIR\${VX_MAIN}"

    WriteRegStr HKCU `${VX_UNINSTALL_KEY}` "DisplayName" `${VX_NAME}`
    WriteRegStr HKCU `${VX_UNINSTALL_KEY}` "DisplayVersion" `${VX_VERSION}`
    WriteRegStr HKCU `${VX_UNINSTALL_KEY}` "Publisher" `${VX_PUBLISHER}`
    WriteRegStr HKCU `${VX_UNINSTALL_KEY}` "DisplayIcon" "$INSTDIR\${VX_MAIN}"
    WriteRegStr HKCU `${VX_UNINSTALL_KEY}` "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU `${VX_UNINSTALL_KEY}` "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU `${VX_UNINSTALL_KEY}` "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU `${VX_UNINSTALL_KEY}` "EstimatedSize" ${VX_SIZE_KB}
    WriteRegDWORD HKCU `${VX_UNINSTALL_KEY}` "NoModify" 1
    WriteRegDWORD HKCU `${VX_UNINSTALL_KEY}` "NoRepair" 1
SectionEnd

; --- The uninstaller --------------------------------------------------------------------------

; Removes the stage that the update client noted in the work folder, when it is one: below the
; user's local application data, with no "..", ":" or "/" after that prefix, and with the stage's
; marker file. $R1: the noted folder.
Function un.RemoveStage
    ClearErrors
    FileOpen $0 "$INSTDIR\${VX_WORK}\stage-location.txt" r
    IfErrors done
    FileRead $0 $R1
    FileClose $0
    StrCpy $1 $R1 1 -1
    ${If} $1 != "$\n"
        Return ; cut short, or longer than a line is read
    ${EndIf}
    StrCpy $R1 $R1 -1
    StrLen $2 "$LOCALAPPDATA\"
    StrCpy $1 $R1 $2
    StrCpy $3 $R1 "" $2
    ${If} $1 != "$LOCALAPPDATA\"
    ${OrIf} $3 == ""
        DetailPrint "$(StageLeft)"
        Return
    ${EndIf}
    ; Every character of the rest is looked at: no way up, no stream, no other separator.
    StrCpy $4 0
    StrCpy $6 ""
    ${Do}
        StrCpy $1 $3 1 $4
        ${If} $1 == ""
            ${Break}
        ${EndIf}
        StrCpy $5 $3 2 $4
        ${If} $1 == ":"
        ${OrIf} $1 == "/"
        ${OrIf} $5 == ".."
        ${OrIf} $5 == "\\"
            DetailPrint "$(StageLeft)"
            Return
        ${EndIf}
        StrCpy $5 $3 14 $4
        ${If} $5 == `\update-stage\`
            StrCpy $6 "default"
        ${EndIf}
        IntOp $4 $4 + 1
    ${Loop}
    IfFileExists "$R1\.vellumix-stage\*.*" left
    IfFileExists "$R1\.vellumix-stage" 0 left
    RMDir /r "$R1"
    DetailPrint "$(StageRemoved)"
    ; The client's default stage (update-stage\<root>\<channel>): its parent folders go too
    ; when nothing else is left in them.
    ${If} $6 == "default"
        RMDir "$R1\.."
        RMDir "$R1\..\.."
    ${EndIf}
    Return
left:
    DetailPrint "$(StageLeft)"
done:
FunctionEnd

Section "Uninstall"
    SetShellVarContext current
    ; A program root is never a drive's root.
    StrLen $0 "$INSTDIR"
    ${If} $0 < 4
        SetErrorLevel 2
        Abort
    ${EndIf}
    Call un.RemoveStage
    Delete "$SMPROGRAMS\${VX_NAME}.lnk"
    DeleteRegKey HKCU `${VX_UNINSTALL_KEY}`
    ; The program root is Setup's own: it refuses a folder that holds other files.
    RMDir /r "$INSTDIR"
    IfFileExists "$INSTDIR\*.*" 0 +2
        SetErrorLevel 2
SectionEnd
