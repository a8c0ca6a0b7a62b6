@echo off
rem ScarvelRepair-unattended.cmd: runs ScarvelRepair.exe from this file's folder for a
rem deployment system (Configuration Manager, Intune, Group Policy, PsExec): with empty
rem input, so that its final pause returns at once; its text relayed line by line to
rem standard output; its outcome as this script's exit code:
rem     0        the repair is complete (the machine was healthy, or has been repaired)
rem     101..107 E01..E07: off Configuration Manager's default list of codes it retries
rem     3010     E08: a program could not be started for the user logged on; their next
rem              logon, or a restart, completes the repair
rem     99       ScarvelRepair.exe did not run (missing, not elevated) or printed no result
rem It matches only the ASCII parts of the text, "(E0n)" and the product's name; the
rem Chinese text (code page 936) is passed on as it is. The text goes through one file in
rem this folder, named for this computer and run, deleted again before the runner ends: the
rem folder must be one the account that runs the runner may write, and only administrators.
setlocal EnableExtensions DisableDelayedExpansion
set "outcome=99"
rem pushd maps a drive letter when this folder is a network share.
pushd "%~dp0"
if errorlevel 1 goto report
call :run
popd
:report
if "%outcome%"=="99" echo ScarvelRepair-unattended: ScarvelRepair.exe did not run or printed no result, exit code 99 1>&2
endlocal & exit /b %outcome%

:run
if not exist ScarvelRepair.exe exit /b
rem The program in this folder, never one found along PATH, started by this cmd itself: a
rem command in for /f's parentheses would run in a child %ComSpec% /c without /d, so that the
rem user's COMSPEC and AutoRun command would run with this script's rights. for /f reads the
rem text from the file instead.
set "text=ScarvelRepair-%COMPUTERNAME%-%RANDOM%.out"
if exist "%text%" exit /b
.\ScarvelRepair.exe <NUL >"%text%"
for /f "usebackq delims=" %%L in ("%text%") do (
    echo.%%L
    set "line=%%L"
    call :judge
)
if exist "%text%" del "%text%"
exit /b

:judge
rem The tool's text holds no double quote, so the line is inert inside quotes. A failure's
rem line also names the product: its code is tested last and wins.
if not "%line:Scarvel (TWAIN)=%"=="%line%" set "outcome=0"
if not "%line:(E01)=%"=="%line%" set "outcome=101"
if not "%line:(E02)=%"=="%line%" set "outcome=102"
if not "%line:(E03)=%"=="%line%" set "outcome=103"
if not "%line:(E04)=%"=="%line%" set "outcome=104"
if not "%line:(E05)=%"=="%line%" set "outcome=105"
if not "%line:(E06)=%"=="%line%" set "outcome=106"
if not "%line:(E07)=%"=="%line%" set "outcome=107"
if not "%line:(E08)=%"=="%line%" set "outcome=3010"
exit /b
