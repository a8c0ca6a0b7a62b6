@echo off
rem run-suite.cmd /yes [FILTER]: ScarvelRepair's GoogleTest suite on this Windows machine, from
rem an elevated prompt; FILTER is a GoogleTest filter (--gtest_filter). The report, JUnit XML,
rem is report.xml beside this file. The test program itself saves what the tests change and
rem puts it back when they end, also after a failure or Ctrl+C (answer N to "Terminate batch
rem job", so that this script passes its code on).
rem run-suite.cmd /restore: puts back what a run that was cut off left saved.
rem The exit code is the test program's: 0 every test passed or skipped, 1 a test failed or
rem none ran, 2 not started or not everything put back, 3 interrupted, 4 a test outlived its
rem time; a crash leaves its own (negative) code. 2 as well when this script refuses.
setlocal EnableExtensions DisableDelayedExpansion
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
if not "%~2"=="" set "filter=%~2"
rem No report of an earlier run may stand for this one.
if exist "%here%report.xml" del "%here%report.xml"
rem Empty input: no test may wait for a key. The exit code is read on the very next line.
"%here%inprocess_tests.exe" --put-back "--gtest_output=xml:%here%report.xml" "--gtest_filter=%filter%" <NUL
exit /b %errorlevel%

:restore
"%here%inprocess_tests.exe" --restore <NUL
exit /b %errorlevel%

:refuse_yes
echo run-suite: not started: it changes this machine while the tests run (the driver package's folders, Run values, service, shortcut and programs, the user's AutoRun command) and puts everything back; give /yes to say that this machine is one to throw away 1>&2
exit /b 2
:refuse_elevation
echo run-suite: not started: run it from an elevated prompt (as administrator) 1>&2
exit /b 2
