@echo off
rem run-suite.cmd /yes [FILTER] [/allow-skip NAME...]: ScarvelRepair's GoogleTest suite on this
rem Windows machine, from an elevated prompt; FILTER is a GoogleTest filter (--gtest_filter).
rem Each NAME after /allow-skip is a test (a GoogleTest pattern) that this machine cannot make,
rem or a word for a list of them (docs/testing.md): without it, such a skip is no pass. The
rem report, JUnit XML, is report.xml beside this file. The test program itself saves what the
rem tests change and puts it back when they end, also after a failure or Ctrl+C (answer N to
rem "Terminate batch job", so that this script passes its code on).
rem run-suite.cmd /restore: puts back what a run that was cut off left saved.
rem The exit code is the test program's: 0 every test passed or skipped as allowed, 1 a test
rem failed or none ran, 2 not started or not everything put back, 3 interrupted, 4 a test
rem outlived its time, 5 a check skipped that /allow-skip did not name, 6 the tests' process
rem aborted (or left no report); a crash leaves its own (negative) code. 2 as well when this script refuses. The program's last line says it.
setlocal EnableExtensions DisableDelayedExpansion
rem A variable of that name would stand in %errorlevel% for the real one.
set "ERRORLEVEL="
set "here=%~dp0"
if /i not "%~1"=="/restore" if /i not "%~1"=="/yes" goto refuse_yes
rem Only an elevated token may write under HKLM\SOFTWARE (errorlevel, not ||, which Wine's cmd
rem misreads after a redirection).
reg add "HKLM\SOFTWARE\ScarvelRepairSuite" /f >nul 2>&1
if errorlevel 1 goto refuse_elevation
reg delete "HKLM\SOFTWARE\ScarvelRepairSuite" /f >nul 2>&1
set "SCARVEL_STANDINS=%here%standins"
if /i "%~1"=="/restore" goto restore
set "SCARVEL_TOOL=%here%ScarvelRepair.exe"
set "filter=*"
set "allowed="
shift
if "%~1"=="" goto run
if /i "%~1"=="/allow-skip" goto names
set "filter=%~1"
shift
if "%~1"=="" goto run
if /i not "%~1"=="/allow-skip" goto refuse_arguments
:names
shift
if "%~1"=="" goto run
set "allowed=%allowed%,%~1"
goto names

:run
rem Empty input: no test may wait for a key. The program removes an earlier run's report
rem itself, and refuses where it cannot. The exit code is read on the very next line.
"%here%inprocess_tests.exe" --put-back "--gtest_output=xml:%here%report.xml" "--gtest_filter=%filter%" "--allow-skip=%allowed%" <NUL
exit /b %errorlevel%

:restore
"%here%inprocess_tests.exe" --restore <NUL
exit /b %errorlevel%

:refuse_yes
echo run-suite: not started: it changes this machine while the tests run (the driver package's folders, Run values, service, shortcut and programs, the user's AutoRun command) and puts everything back; give /yes to say that this machine is one to throw away 1>&2
exit /b 2
:refuse_arguments
echo run-suite: not started: after /yes, a filter and then /allow-skip NAME..., not "%~1" 1>&2
exit /b 2
:refuse_elevation
echo run-suite: not started: run it from an elevated prompt (as administrator) 1>&2
exit /b 2
