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
rem Chinese text (code page 936) is passed on as it is. It writes no file and changes no
rem directory, so that it runs from a folder it may only read (SYSVOL, a distribution point,
rem a share named by its UNC path) and leaves nothing behind.
setlocal EnableExtensions DisableDelayedExpansion
set "outcome=99"
rem for /f runs its command in a child %ComSpec% /c (seen, not documented by Microsoft):
rem Windows' own cmd, never one that this
rem account's environment names. That child runs the AutoRun commands of HKLM and of this
rem account's own HKCU (no /d can be given to it): the price of reading the text without a
rem file, said in docs/security.md.
set "ComSpec=%SystemRoot%\System32\cmd.exe"
set "tool=%~dp0ScarvelRepair.exe"
call :run
if "%outcome%"=="99" echo ScarvelRepair-unattended: ScarvelRepair.exe did not run or printed no result, exit code 99 1>&2
endlocal & exit /b %outcome%

:run
rem The program beside this file, by its full path: neither PATH nor the child's current
rem directory, which an AutoRun command may change, decides which one runs. The child expands
rem %tool%, inside quotes, so that no character of the path is parsed as syntax.
rem Without SystemRoot, ComSpec would name \System32\cmd.exe on the current drive, a folder
rem any user may create: then nothing runs.
if not defined SystemRoot exit /b
if not exist "%tool%" exit /b
for /f "delims=" %%L in ('""%%tool%%" <NUL"') do (
    echo.%%L
    set "line=%%L"
    call :judge
)
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
