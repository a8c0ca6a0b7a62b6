@echo off
rem run-suite.cmd /yes [FILTER]: ScarvelRepair's GoogleTest suite on this Windows machine,
rem from an elevated prompt. FILTER is a GoogleTest filter (--gtest_filter); the report,
rem JUnit XML, is report.xml beside this file. Exit code: 0 when every test passed or
rem skipped, 1 when one failed, 2 when the suite did not start.
setlocal EnableExtensions DisableDelayedExpansion
set "here=%~dp0"
set "here=%here:~0,-1%"
set "twain=%SystemRoot%\twain_32"
set "saved=%here%\saved"
set "run=HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
set "cmdproc=HKCU\Software\Microsoft\Command Processor"
set "startup=%ProgramData%\Microsoft\Windows\Start Menu\Programs\StartUp"
set "shortcut=Faultwise Companion.lnk"
echo run-suite: ScarvelRepair's tests on this machine. While they run they change:
echo   the folder "%twain%" (the driver package's stand-ins; one already there is kept aside)
echo   the values "Velmora Setup" and "Kestrun_setup" of %run%, in both registry views
echo   the service NVSCNSVC, which must not be installed before
echo   "%shortcut%" in "%startup%"
echo   for a Windows-only check, the AutoRun value of %cmdproc%
echo and the suite puts each of them back when it ends, also after a failure.
if /i not "%~1"=="/yes" goto refuse_yes
rem Only an elevated token may write under HKLM\SOFTWARE (errorlevel, not ||, which Wine's cmd
rem misreads after a redirection).
reg add "HKLM\SOFTWARE\ScarvelRepairSuite" /f >nul 2>&1
if errorlevel 1 goto refuse_elevation
reg delete "HKLM\SOFTWARE\ScarvelRepairSuite" /f >nul 2>&1
reg query "HKLM\SYSTEM\CurrentControlSet\Services\NVSCNSVC" >nul 2>&1
if not errorlevel 1 goto refuse_service
if exist "%saved%" goto refuse_saved

mkdir "%saved%"
if not exist "%saved%" goto refuse_saved
set "status=2"
if exist "%twain%" move "%twain%" "%saved%\twain_32" >nul
if exist "%twain%" goto refuse_busy
reg export "%run%" "%saved%\run32.reg" /y /reg:32 >nul 2>&1
reg export "%run%" "%saved%\run64.reg" /y /reg:64 >nul 2>&1
reg export "%cmdproc%" "%saved%\cmdproc.reg" /y >nul 2>&1
if exist "%startup%\%shortcut%" move "%startup%\%shortcut%" "%saved%" >nul
if exist "%startup%\%shortcut%" goto put_back

set "SCARVEL_STANDINS=%here%\standins"
set "SCARVEL_TOOL=%here%\ScarvelRepair.exe"
set "filter=--gtest_filter=*"
if not "%~2"=="" set "filter=--gtest_filter=%~2"
"%here%\inprocess_tests.exe" "--gtest_output=xml:%here%\report.xml" "%filter%"
set "status=1"
if not errorlevel 1 set "status=0"

:put_back
for %%P in (NVMONSTA.exe Kestrun.exe Haldrix.exe haldrix.exe NVSCNSVC.exe standin_shell.exe) do taskkill /f /im %%P >nul 2>&1
sc stop NVSCNSVC >nul 2>&1
sc delete NVSCNSVC >nul 2>&1
for %%V in (32 64) do call :put_back_values %%V
reg delete "%cmdproc%" /v AutoRun /f >nul 2>&1
if exist "%saved%\cmdproc.reg" reg import "%saved%\cmdproc.reg" >nul 2>&1
if exist "%startup%\%shortcut%" del /f /q "%startup%\%shortcut%" >nul 2>&1
if exist "%saved%\%shortcut%" move "%saved%\%shortcut%" "%startup%" >nul
if exist "%twain%" rd /s /q "%twain%"
if exist "%saved%\twain_32" move "%saved%\twain_32" "%twain%" >nul
if exist "%saved%\twain_32" goto left_behind
if exist "%saved%\%shortcut%" goto left_behind
rd /s /q "%saved%"
echo run-suite: the machine is as it was; the report is "%here%\report.xml"
exit /b %status%

:put_back_values
reg delete "%run%" /v "Velmora Setup" /f /reg:%1 >nul 2>&1
reg delete "%run%" /v "Kestrun_setup" /f /reg:%1 >nul 2>&1
if exist "%saved%\run%1.reg" reg import "%saved%\run%1.reg" /reg:%1 >nul 2>&1
exit /b

:left_behind
echo run-suite: could not put everything back: what is left is in "%saved%" 1>&2
exit /b 2
:refuse_yes
echo run-suite: not started: give /yes to say that this machine is one to throw away 1>&2
exit /b 2
:refuse_elevation
echo run-suite: not started: run it from an elevated prompt (as administrator) 1>&2
exit /b 2
:refuse_service
echo run-suite: not started: the service NVSCNSVC is installed; run it where the driver package is not 1>&2
exit /b 2
:refuse_busy
rd "%saved%"
echo run-suite: not started: "%twain%" could not be moved aside; end the driver's programs first 1>&2
exit /b 2
:refuse_saved
echo run-suite: not started: "%saved%" is left from an earlier run; put back what it holds first 1>&2
exit /b 2
