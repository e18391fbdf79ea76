@echo off
rem collect-machine.cmd OUTPUT-FOLDER
rem
rem Writes a scenario folder of this machine, for a preview of vpRemovalTool.exe with vpsim:
rem   registry\NN-*.reg    reg export of each registry branch the tool reads or changes, in both
rem                        registry views (the 32-bit view as its Wow6432Node paths); the user's
rem                        branches from HKEY_CURRENT_USER and from LocalSystem's profile
rem   drive_c\Windows\Inf  copies of the OEM driver package descriptions oem*.inf (the tool reads them)
rem   drive_c.listing      ATTRIBUTES, SIZE and PATH of every file and folder in the folders the tool lists
rem                        or deletes from; no other file is copied
rem   machine.ini          the Windows version and build number, the product type, the ANSI code page,
rem                        the account whose HKEY_CURRENT_USER was exported (name and SID), and the
rem                        computer's name and the date and time of the collection
rem   registry\7N-user-*   the maker's key of each other user's profile whose hive is loaded
rem   drive_c\...\NTUSER.DAT the maker's key of each profile whose hive is not loaded (reg load, export,
rem                        unload), as a hive file of the preview
rem   collect.log          the branches and folders that this machine does not have, the hives that
rem                        could not be loaded or unloaded
rem It uses only cmd, reg, whoami, dir and copy, changes nothing on the machine and installs nothing. Run it
rem from an elevated 64-bit command prompt.
setlocal EnableExtensions DisableDelayedExpansion
if "%~1"=="--list" goto list
if "%~1"=="--hive" goto hive_text
if "%~1"=="" (
    echo usage: collect-machine.cmd OUTPUT-FOLDER
    exit /b 2
)
if defined PROCESSOR_ARCHITEW6432 (
    echo collect-machine: this is a 32-bit command prompt; run it from a 64-bit one ^(%SystemRoot%\Sysnative\cmd.exe^)
    exit /b 2
)
set "OUT=%~f1"
if exist "%OUT%\" for /f "delims=" %%E in ('dir /b /a "%OUT%" 2^>nul') do (
    echo collect-machine: %OUT% is not empty
    exit /b 2
)
if not exist "%OUT%\" mkdir "%OUT%"
mkdir "%OUT%\registry"
mkdir "%OUT%\drive_c\Windows\Inf"
if not exist "%OUT%\drive_c\Windows\Inf\" (
    echo collect-machine: cannot make %OUT%
    exit /b 2
)
set "LOG=%OUT%\collect.log"
type nul >"%LOG%"

echo Registry...
set "CV=SOFTWARE\Microsoft\Windows\CurrentVersion"
set "CV32=SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion"
rem Smart-card types and readers, default providers.
call :export 01-calais "HKLM\SOFTWARE\Microsoft\Cryptography\Calais"
call :export 02-calais-32 "HKLM\SOFTWARE\Wow6432Node\Microsoft\Cryptography\Calais"
call :export 03-providers "HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider"
call :export 04-providers-32 "HKLM\SOFTWARE\Wow6432Node\Microsoft\Cryptography\Defaults\Provider"
rem The maker's settings.
call :export 05-maker "HKLM\SOFTWARE\Corvanta LLP."
call :export 06-maker-32 "HKLM\SOFTWARE\Wow6432Node\Corvanta LLP."
call :export 07-maker-user "HKCU\Software\Corvanta LLP."
call :export 08-maker-user-32 "HKCU\Software\Wow6432Node\Corvanta LLP."
rem Windows Installer and the bundle.
call :export 10-installer-products "HKLM\SOFTWARE\Classes\Installer\Products"
call :export 11-installer-features "HKLM\SOFTWARE\Classes\Installer\Features"
call :export 12-installer-upgradecodes "HKLM\SOFTWARE\Classes\Installer\UpgradeCodes"
call :export 13-installer-dependencies "HKLM\SOFTWARE\Classes\Installer\Dependencies"
call :export 14-installer-upgradecodes-machine "HKLM\%CV%\Installer\UpgradeCodes"
call :export 15-installer-folders "HKLM\%CV%\Installer\Folders"
call :export 16-installer-userdata-products "HKLM\%CV%\Installer\UserData\S-1-5-18\Products"
call :export 17-installer-userdata-components "HKLM\%CV%\Installer\UserData\S-1-5-18\Components"
call :export 18-uninstall "HKLM\%CV%\Uninstall"
call :export 19-uninstall-32 "HKLM\%CV32%\Uninstall"
call :export 20-deployments "HKLM\%CV%\Group Policy\AppMgmt"
call :export 21-deployments-32 "HKLM\%CV32%\Group Policy\AppMgmt"
call :export 22-runonce "HKLM\%CV%\RunOnce"
call :export 23-runonce-32 "HKLM\%CV32%\RunOnce"
call :export 24-new-shortcuts "HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\StartPage\NewShortcuts"
rem The users' profiles: the preview looks in each profile's hive as the run does.
call :export 25-profile-list "HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList"
rem Shared files, control panel.
call :export 30-shareddlls "HKLM\%CV%\SharedDLLs"
call :export 31-shareddlls-32 "HKLM\%CV32%\SharedDLLs"
call :export 32-applet-class "HKLM\SOFTWARE\Classes\CLSID\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}"
call :export 33-applet-class-32 "HKLM\SOFTWARE\Classes\Wow6432Node\CLSID\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}"
call :export 34-applet-class-2 "HKLM\SOFTWARE\Classes\CLSID\{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}"
call :export 35-applet-class-2-32 "HKLM\SOFTWARE\Classes\Wow6432Node\CLSID\{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}"
call :export 36-applet-class-user "HKCU\Software\Classes\CLSID\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}"
call :export 37-applet-class-2-user "HKCU\Software\Classes\CLSID\{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}"
call :export 38-applet-namespace "HKLM\%CV%\Explorer\ControlPanel\NameSpace"
call :export 39-applet-namespace-32 "HKLM\%CV32%\Explorer\ControlPanel\NameSpace"
call :export 40-applet-namespace-user "HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\ControlPanel\NameSpace"
rem The same branches of LocalSystem's profile (HKEY_USERS\.DEFAULT is Windows' alias of
rem HKEY_USERS\S-1-5-18): HKEY_CURRENT_USER of a run as LocalSystem, as deployment tools start it.
set "LS=HKU\.DEFAULT\Software"
call :export 60-maker-localsystem "%LS%\Corvanta LLP."
call :export 61-maker-localsystem-32 "%LS%\Wow6432Node\Corvanta LLP."
call :export 62-new-shortcuts-localsystem "%LS%\Microsoft\Windows\CurrentVersion\Explorer\StartPage\NewShortcuts"
call :export 63-applet-class-localsystem "%LS%\Classes\CLSID\{D41B8E6C-25F7-4c9a-8E53-1A6F0B7C9D24}"
call :export 64-applet-class-2-localsystem "%LS%\Classes\CLSID\{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}"
call :export 65-applet-namespace-localsystem "%LS%\Microsoft\Windows\CurrentVersion\Explorer\ControlPanel\NameSpace"
rem Keys that every Windows has, as keys only (their branches are large and the tool reads none of
rem the rest), so that a preview shows just the run's own changes: where Windows keeps the deletions
rem waiting for the restart, and the machine's classes, which the tool opens also where none of the
rem exported branches below them exists.
set "SM=%OUT%\registry\50-always-present.reg"
>"%SM%" echo Windows Registry Editor Version 5.00
>>"%SM%" echo.
>>"%SM%" echo [HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager]
>>"%SM%" echo.
>>"%SM%" echo [HKEY_LOCAL_MACHINE\SOFTWARE\Classes]

echo Driver packages...
for /f "delims=" %%N in ('dir /b /a-d "%SystemRoot%\Inf\oem*.inf" 2^>nul') do (
    copy /y "%SystemRoot%\Inf\%%N" "%OUT%\drive_c\Windows\Inf\%%N" >nul
    if not exist "%OUT%\drive_c\Windows\Inf\%%N" echo cannot copy: %SystemRoot%\Inf\%%N>>"%LOG%"
)

echo Folders...
rem A child cmd /u writes the listing: its redirected output is UTF-16LE, so every file name comes
rem through whatever the code pages.
for %%D in ("%SystemRoot%\System32\Corvanta LLP" "%ProgramData%\Microsoft\Windows\Start Menu\Programs" "%ProgramData%\Corvanta LLP" "%ProgramData%\Package Cache") do if not exist "%%~D\" echo not present: %%~D>>"%LOG%"
cmd /d /u /c call "%~f0" --list >"%OUT%\drive_c.listing"

echo machine.ini...
set "MAJOR=" & set "MINOR=" & set "ACP=" & set "PRODUCT=workstation"
set "NTCV=HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion"
for /f "tokens=1,3" %%A in ('reg query "%NTCV%" /v CurrentMajorVersionNumber 2^>nul') do if /i "%%A"=="CurrentMajorVersionNumber" set /a MAJOR=%%B
for /f "tokens=1,3" %%A in ('reg query "%NTCV%" /v CurrentMinorVersionNumber 2^>nul') do if /i "%%A"=="CurrentMinorVersionNumber" set /a MINOR=%%B
rem Before Windows 10 only CurrentVersion ("6.3") says it. Split in a loop of its own: Wine's cmd
rem does not split a nested loop's text.
set "NTVER="
if not defined MAJOR for /f "tokens=1,3" %%A in ('reg query "%NTCV%" /v CurrentVersion 2^>nul') do if /i "%%A"=="CurrentVersion" set "NTVER=%%B"
if defined NTVER for /f "tokens=1,2 delims=." %%X in ("%NTVER%") do set "MAJOR=%%X" & set "MINOR=%%Y"
set "BUILD="
for /f "tokens=1,3" %%A in ('reg query "%NTCV%" /v CurrentBuildNumber 2^>nul') do if /i "%%A"=="CurrentBuildNumber" set "BUILD=%%B"
rem A build number that is not digits alone is left out (the preview would reject it).
if defined BUILD for /f "delims=0123456789" %%X in ("%BUILD%") do set "BUILD="
for /f "tokens=1,3" %%A in ('reg query "HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage" /v ACP 2^>nul') do if /i "%%A"=="ACP" set "ACP=%%B"
for /f "tokens=1,3" %%A in ('reg query "HKLM\SYSTEM\CurrentControlSet\Control\ProductOptions" /v ProductType 2^>nul') do if /i "%%A"=="ProductType" if /i not "%%B"=="WinNT" set "PRODUCT=server"
rem The account whose HKEY_CURRENT_USER was exported. whoami gives "DOMAIN\name","SID" on Windows (Wine's
rem gives the name alone, and its cmd leaves the missing token's name in the text: then the SID is the
rem profile list's entry whose folder is USERPROFILE).
set "USER_NAME=" & set "USER_SID="
for /f "tokens=1,2 delims=," %%A in ('whoami /user /fo csv /nh 2^>nul') do set "USER_NAME=%%~A" & set "USER_SID=%%~B"
if defined USER_SID if not "%USER_SID:~0,4%"=="S-1-" set "USER_SID="
if not defined USER_NAME set "USER_NAME=%USERDOMAIN%\%USERNAME%"
if not defined USER_SID for /f "delims=" %%K in ('reg query "%NTCV%\ProfileList" 2^>nul') do call :profile_sid "%%K"

echo User profiles...
rem The maker's key of every other user's profile. A hive that is loaded (the user is logged on) is
rem exported from HKEY_USERS\SID (registry\70-user-SID.reg); another profile's NTUSER.DAT is loaded under
rem a name of the script's own, its maker's key exported and the hive unloaded again at once, whatever
rem the export gave; the export is written, its keys below HKEY_CURRENT_USER\ as the preview reads a hive
rem file, at the profile's folder below drive_c\. Nothing else of a user's hive is collected. The
rem account's own profile is HKEY_CURRENT_USER above.
set "PROFILES=HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList"
for /f "delims=" %%K in ('reg query "%PROFILES%" 2^>nul') do call :user_hive "%%K"

rem One redirection per line: Wine's cmd does not redirect a bracketed block.
set "INI=%OUT%\machine.ini"
>"%INI%" echo ; Collected by collect-machine.cmd on %COMPUTERNAME%.
>>"%INI%" echo [os]
>>"%INI%" echo version=%MAJOR%.%MINOR%
>>"%INI%" echo product=%PRODUCT%
if defined BUILD >>"%INI%" echo build=%BUILD%
>>"%INI%" echo codepage=%ACP%
>>"%INI%" echo [collection]
>>"%INI%" echo ; The computer and its own clock's date and time when the collection was made.
if defined COMPUTERNAME >>"%INI%" echo computer=%COMPUTERNAME%
>>"%INI%" echo date=%DATE% %TIME%
>>"%INI%" echo [user]
>>"%INI%" echo ; Whose profile registry\ holds as HKEY_CURRENT_USER: a preview as administrator uses it. A
>>"%INI%" echo ; preview as LocalSystem uses LocalSystem's profile, exported as HKEY_USERS\.DEFAULT.
setlocal EnableDelayedExpansion
>>"%INI%" echo name=!USER_NAME!
endlocal
if defined USER_SID >>"%INI%" echo sid=%USER_SID%
>>"%INI%" echo ; The preview runs the tool as an elevated administrator in a local session. For a deployment
>>"%INI%" echo ; as LocalSystem, or a remote desktop session, add:
>>"%INI%" echo ;   [run]
>>"%INI%" echo ;   account=localsystem
>>"%INI%" echo ;   remote_session=yes
>>"%INI%" echo ; Files held open by running programs are not known here; name them to see the restart request:
>>"%INI%" echo ;   [files]
>>"%INI%" echo ;   locked=C:\Windows\System32\vpCSP.dll

echo Done: %OUT%
exit /b 0

rem :export NAME KEY: reg export of KEY to registry\NAME.reg; a branch the machine lacks is noted.
:export
reg export "%~2" "%OUT%\registry\%~1.reg" /y >nul 2>&1
if errorlevel 1 (
    echo not present: %~2>>"%LOG%"
    if exist "%OUT%\registry\%~1.reg" del "%OUT%\registry\%~1.reg"
)
exit /b 0

rem :user_hive KEY: the maker's key of the profile whose ProfileList entry is KEY (other lines of reg
rem query's output are passed over). Service accounts' profiles (LocalSystem's is HKEY_USERS\.DEFAULT
rem above), backup entries (SID.bak) and profiles without NTUSER.DAT are left out.
:user_hive
set "ENTRY=%~1"
if /i not "%ENTRY:~0,5%"=="HKEY_" exit /b 0
set "SID=%~nx1"
if /i not "%SID:~0,4%"=="S-1-" exit /b 0
if /i "%~x1"==".bak" exit /b 0
for %%S in (S-1-5-18 S-1-5-19 S-1-5-20) do if /i "%SID%"=="%%S" exit /b 0
if defined USER_SID if /i "%SID%"=="%USER_SID%" exit /b 0
reg query "HKU\%SID%" >nul 2>&1
if errorlevel 1 goto user_hive_file
rem Loaded: the hive's root as a key, so that the preview finds it loaded, and its maker's key.
>"%OUT%\registry\70-user-%SID%.reg" echo Windows Registry Editor Version 5.00
>>"%OUT%\registry\70-user-%SID%.reg" echo.
>>"%OUT%\registry\70-user-%SID%.reg" echo [HKEY_USERS\%SID%]
call :export "71-user-maker-%SID%" "HKU\%SID%\Software\Corvanta LLP."
exit /b 0
:user_hive_file
set "PROFILE_PATH="
for /f "tokens=1,2,*" %%A in ('reg query "%~1" /v ProfileImagePath 2^>nul') do if /i "%%A"=="ProfileImagePath" set "PROFILE_PATH=%%C"
if not defined PROFILE_PATH exit /b 0
call set "PROFILE_PATH=%PROFILE_PATH%"
if not exist "%PROFILE_PATH%\NTUSER.DAT" (
    echo no NTUSER.DAT: %SID% %PROFILE_PATH%>>"%LOG%"
    exit /b 0
)
set "HIVE=HKU\vpCollect-%SID%"
set "RAW=%OUT%\registry\hive-%SID%.tmp"
reg load "%HIVE%" "%PROFILE_PATH%\NTUSER.DAT" >nul 2>&1
if errorlevel 1 (
    echo not loaded: %PROFILE_PATH%\NTUSER.DAT>>"%LOG%"
    exit /b 0
)
reg export "%HIVE%\Software\Corvanta LLP." "%RAW%" /y >nul 2>&1
if errorlevel 1 (set "EXPORTED=") else set "EXPORTED=1"
reg unload "%HIVE%" >nul 2>&1
if errorlevel 1 reg unload "%HIVE%" >nul 2>&1
if errorlevel 1 echo left loaded: %HIVE%>>"%LOG%"
if not defined EXPORTED if exist "%RAW%" del "%RAW%"
rem The hive file's folder as the preview's drive C: holds it (the drive's letter left out), written
rem as UTF-16LE by a child cmd /u.
set "DEST=%OUT%\drive_c%PROFILE_PATH:~2%"
if not exist "%DEST%\" mkdir "%DEST%"
cmd /d /u /c call "%~f0" --hive "%RAW%" "vpCollect-%SID%" >"%DEST%\NTUSER.DAT"
if exist "%RAW%" del "%RAW%"
exit /b 0

rem :hive_text FILE NAME, in the child cmd /u: the reg export FILE of HKEY_USERS\NAME's branches with
rem their keys below HKEY_CURRENT_USER\ instead (the export's empty lines left out); without FILE (the
rem hive has no maker's key), the header alone.
:hive_text
if not exist "%~2" (
    echo Windows Registry Editor Version 5.00
    exit /b 0
)
set "OLDCP="
for /f "tokens=2 delims=:" %%C in ('chcp') do for /f "tokens=1 delims=. " %%D in ("%%C") do set "OLDCP=%%D"
chcp 65001 >nul 2>&1
for /f "usebackq delims=" %%L in (`type "%~2"`) do (
    set "LINE=%%L"
    call :hive_line
)
if defined OLDCP chcp %OLDCP% >nul 2>&1
exit /b 0

rem :hive_line: LINE, a key's line "[HKEY_USERS\NAME\PATH]" written as "[HKEY_CURRENT_USER\PATH]".
:hive_line
setlocal EnableDelayedExpansion
if "!LINE:~0,12!"=="[HKEY_USERS\" (
    set "KEY=!LINE:*\=!"
    set "KEY=!KEY:*\=!"
    echo [HKEY_CURRENT_USER\!KEY!
) else (
    echo(!LINE!
)
endlocal
exit /b 0

rem :profile_sid KEY: when KEY, an entry of the profile list, has USERPROFILE as its folder, its name
rem is the SID of the account that runs the script.
:profile_sid
set "PROFILE_PATH="
for /f "tokens=2,*" %%A in ('reg query "%~1" /v ProfileImagePath 2^>nul') do set "PROFILE_PATH=%%B"
if defined PROFILE_PATH if /i "%PROFILE_PATH%"=="%USERPROFILE%" set "USER_SID=%~n1"
exit /b 0

rem :list, in the child: the folders the tool lists or deletes from, one entry a line.
:list
rem For the names that only dir can find (hidden and system entries), ask for UTF-8 output where
rem Windows offers it; the console's code page is set back at the end.
set "OLDCP="
for /f "tokens=2 delims=:" %%C in ('chcp') do for /f "tokens=1 delims=. " %%D in ("%%C") do set "OLDCP=%%D"
chcp 65001 >nul 2>&1
call :entry "%SystemRoot%\TEMP"
call :files "%SystemRoot%\Inf" "oem*"
call :files "%SystemRoot%\System32" "vp*"
call :tree "%SystemRoot%\System32\Corvanta LLP"
call :files "%SystemRoot%\SysWOW64" "vp*"
call :files "%PUBLIC%\Desktop" "*VESPARIO*"
call :tree "%ProgramData%\Microsoft\Windows\Start Menu\Programs"
call :tree "%ProgramData%\Corvanta LLP"
call :tree "%ProgramData%\Package Cache"
if defined OLDCP chcp %OLDCP% >nul 2>&1
exit /b 0

rem :files FOLDER PATTERN: FOLDER itself and its files that match PATTERN. FOR passes over hidden and
rem system files: dir lists those.
:files
if not exist "%~1\" exit /b 0
call :entry "%~1"
pushd "%~1"
for %%F in (%~2) do echo %%~aF^|%%~zF^|%%~fF
for /f "delims=" %%N in ('dir /b /a:h-d "%~2" 2^>nul') do call :entry "%~1\%%N"
for /f "delims=" %%N in ('dir /b /a:s-h-d "%~2" 2^>nul') do call :entry "%~1\%%N"
popd
exit /b 0

rem :tree FOLDER: FOLDER itself and everything below it.
:tree
if not exist "%~1\" exit /b 0
call :entry "%~1"
for /d /r "%~1" %%F in (*) do echo %%~aF^|^|%%~fF
for /r "%~1" %%F in (*) do echo %%~aF^|%%~zF^|%%~fF
for /f "delims=" %%F in ('dir /b /s /a:h "%~1" 2^>nul') do call :entry "%%F"
for /f "delims=" %%F in ('dir /b /s /a:s-h "%~1" 2^>nul') do call :entry "%%F"
exit /b 0

rem :entry PATH: one line of the listing.
:entry
echo %~a1^|%~z1^|%~f1
exit /b 0
