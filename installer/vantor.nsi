; The players' setup of the Vantor game. vantor-release package writes VANTOR_INPUTS (what this
; setup ships, checked against the launcher's built-in constants) and runs makensis on this file.
;
; Per user and never elevated: the launcher asks for no elevation and updates the game's data in
; its own folder, so the folder must be one the player can write; a folder under Program Files
; would fail every update.

Unicode true
Target amd64-unicode
RequestExecutionLevel user
ManifestDPIAware true
; No file times in the setup: the same inputs give the same bytes.
SetDateSave off
SetCompressor /SOLID lzma
; The operator names the setup; "Setup" in its name is what players expect.
!pragma warning disable 9000

!include "${VANTOR_INPUTS}"
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantor"
!define LAUNCHER_MUTEX "Local\VANTORFinalLauncher"
!define ERROR_SHARING_VIOLATION 32
; The exit code of a silent run that refused and changed nothing.
!define REFUSED 2

Name "Vantor"
OutFile "${VANTOR_OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Vantor"
; An upgrade goes where the game already is.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Vantor ${VANTOR_VERSION}"
ShowInstDetails nevershow
ShowUninstDetails nevershow

!ifdef VANTOR_SIGN
    ; The tool's own signing signs the setup and the uninstaller it carries, and checks each.
    !finalize '"${VANTOR_SIGN}" "%1"' = 0
    !uninstfinalize '"${VANTOR_SIGN}" "%1"' = 0
!endif

!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_ICON "${NSISDIR}\Contrib\Graphics\Icons\modern-install.ico"
!define MUI_UNICON "${NSISDIR}\Contrib\Graphics\Icons\modern-uninstall.ico"

!insertmacro MUI_PAGE_WELCOME
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\VANTOR.exe"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; English first: it is the language of every Windows whose language the setup does not speak.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

LangString SectionGame ${LANG_ENGLISH} "Vantor"
LangString SectionGame ${LANG_SIMPCHINESE} "Vantor 游戏"
LangString SectionDesktop ${LANG_ENGLISH} "Desktop shortcut"
LangString SectionDesktop ${LANG_SIMPCHINESE} "桌面快捷方式"
LangString NotWritable ${LANG_ENGLISH} "Setup cannot write to this folder:$\r$\n$INSTDIR$\r$\n$\r$\nThe Vantor launcher updates the game inside its folder, so the game needs a folder you can write without administrator rights. Please choose another folder, for example one inside your user folder."
LangString NotWritable ${LANG_SIMPCHINESE} "安装程序无法写入此文件夹：$\r$\n$INSTDIR$\r$\n$\r$\nVantor 启动器会在游戏文件夹内更新游戏，因此游戏需要一个无需管理员权限即可写入的文件夹。请选择其他文件夹，例如您的用户文件夹中的文件夹。"
LangString GameRunning ${LANG_ENGLISH} "Vantor is running. Please close the Vantor launcher and the game, then click Retry."
LangString GameRunning ${LANG_SIMPCHINESE} "Vantor 正在运行。请关闭 Vantor 启动器和游戏，然后点击“重试”。"

VIProductVersion "${VANTOR_VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "Vantor"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${VANTOR_PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Vantor Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VANTOR_VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VANTOR_VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${VANTOR_PUBLISHER}"

; The same checks in the setup and in the uninstaller, which NSIS keeps apart by the un. prefix.
!macro VANTOR_CHECKS un
; $0 = 1 while a launcher runs in this session (it holds its single-instance mutex) or the client
; of $INSTDIR runs (Windows refuses to open a running program's file for writing).
Function ${un}GameRunning
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${LAUNCHER_MUTEX}") p .r1'
    ${If} $1 P<> 0
        System::Call 'kernel32::CloseHandle(p r1)'
        StrCpy $0 1
        Return
    ${EndIf}
    StrCpy $0 0
    ${IfNot} ${FileExists} "$INSTDIR\${VANTOR_CLIENT}"
        Return
    ${EndIf}
    System::Call 'kernel32::CreateFileW(w "$INSTDIR\${VANTOR_CLIENT}", i 0x40000000, i 7, p 0, i 3, i 0, p 0) p .r1 ?e'
    Pop $2
    ${If} $1 P= -1
        ${If} $2 = ${ERROR_SHARING_VIOLATION}
            StrCpy $0 1
        ${EndIf}
    ${Else}
        System::Call 'kernel32::CloseHandle(p r1)'
    ${EndIf}
FunctionEnd

; Waits for the player to close the game; a silent run refuses at once. Returns only when it
; does not run.
Function ${un}EnsureNotRunning
    ${Do}
        Call ${un}GameRunning
        ${If} $0 = 0
            Return
        ${EndIf}
        ${If} ${Silent}
            SetErrorLevel ${REFUSED}
            Quit
        ${EndIf}
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(GameRunning)" /SD IDCANCEL IDRETRY retry
        Quit
        retry:
    ${Loop}
FunctionEnd
!macroend
!insertmacro VANTOR_CHECKS ""
!insertmacro VANTOR_CHECKS "un."

; $0 = 1 when a file can be made in $INSTDIR or, while it does not exist, in the nearest folder
; above it that does (where it would be made). Tried by making one; nothing is left behind.
Function CanWriteInstallFolder
    StrCpy $1 "$INSTDIR"
    ${Do}
        ${If} ${FileExists} "$1\*.*"
            ${ExitDo}
        ${EndIf}
        ${GetParent} "$1" $2
        ${If} $2 == ""
        ${OrIf} $2 == $1
            StrCpy $0 0
            Return
        ${EndIf}
        StrCpy $1 $2
    ${Loop}
    ClearErrors
    GetTempFileName $3 "$1"
    ${If} ${Errors}
    ${OrIfNot} ${FileExists} $3
        StrCpy $0 0
        Return
    ${EndIf}
    Delete $3
    StrCpy $0 1
FunctionEnd

Function .onInit
    ${IfNot} ${Silent}
        Return
    ${EndIf}
    ; A silent install (/S, /D=FOLDER) that cannot finish refuses before it changes anything.
    Call CanWriteInstallFolder
    ${If} $0 = 0
        SetErrorLevel ${REFUSED}
        Quit
    ${EndIf}
    Call EnsureNotRunning
FunctionEnd

Function DirectoryLeave
    Call CanWriteInstallFolder
    ${If} $0 = 0
        MessageBox MB_OK|MB_ICONEXCLAMATION "$(NotWritable)"
        Abort
    ${EndIf}
    Call EnsureNotRunning
FunctionEnd

Section "!$(SectionGame)" SectionGame
    SectionIn RO
    ; The player may have started the game since the folder page.
    Call EnsureNotRunning
    SetOverwrite on
    !insertmacro VANTOR_INSTALL_FILES
    ; The data files belong to the launcher's updates once installed: an upgrade keeps what it
    ; downloaded and only adds what is missing.
    SetOverwrite off
    !insertmacro VANTOR_RELEASE_FILES
    SetOverwrite on
    WriteUninstaller "$INSTDIR\uninstall.exe"

    ; Shortcuts start in the game's folder.
    SetOutPath "$INSTDIR"
    CreateShortcut "$SMPROGRAMS\Vantor.lnk" "$INSTDIR\VANTOR.exe" "" "$INSTDIR\VANTOR.exe" 0

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Vantor"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VANTOR_VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${VANTOR_PUBLISHER}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\VANTOR.exe,0"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "URLInfoAbout" "${VANTOR_WEBSITE}"
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" ${VANTOR_SIZE_KB}
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "$(SectionDesktop)" SectionDesktop
    SetOutPath "$INSTDIR"
    CreateShortcut "$DESKTOP\Vantor.lnk" "$INSTDIR\VANTOR.exe" "" "$INSTDIR\VANTOR.exe" 0
SectionEnd

Function un.onInit
    Call un.EnsureNotRunning
FunctionEnd

; Exactly the game's files: what this setup installed, every file the launcher may have
; downloaded and their staging and backup leftovers. A folder goes only once it is empty, so
; whatever else the player keeps in it stays, with the folder.
Section "Uninstall"
    !insertmacro VANTOR_REMOVE_FILES
    Delete "$INSTDIR\uninstall.exe"
    Delete "$SMPROGRAMS\Vantor.lnk"
    Delete "$DESKTOP\Vantor.lnk"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    !insertmacro VANTOR_REMOVE_FOLDERS
    RMDir "$INSTDIR"
SectionEnd
