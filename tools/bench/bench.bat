@echo off
rem What ScarvelRepair.exe checks, done with the console tools a support technician has. The
rem package's names come from the environment, SCARVEL_<name> for each row of the tests'
rem table of names (tests/support/names.txt), which bench.py sets.
setlocal
set "TWAIN=%windir%\%SCARVEL_TwainFolder%"
set "RUN=HKLM\%SCARVEL_RunKeyPath%"
set "TASKS=%TEMP%\bench-tasks.txt"
echo Checking for problems, please wait...
echo.
if not exist "%TWAIN%\%SCARVEL_MonitorProgram%" goto reinstall
if not exist "%TWAIN%\%SCARVEL_ServiceProgram%" goto reinstall
if not exist "%TWAIN%\%SCARVEL_PanelProgram%" goto reinstall
if not exist "%TWAIN%\%SCARVEL_GuideProgram%" goto reinstall
reg query "%RUN%" /v "%SCARVEL_MonitorValueName%" >nul 2>&1
if errorlevel 1 reg add "%RUN%" /v "%SCARVEL_MonitorValueName%" /d "%TWAIN%\%SCARVEL_MonitorProgram% %SCARVEL_MonitorArguments%" /f >nul
reg query "%RUN%" /v "%SCARVEL_PanelValueName%" >nul 2>&1
if errorlevel 1 reg add "%RUN%" /v "%SCARVEL_PanelValueName%" /d "%TWAIN%\%SCARVEL_PanelProgram%" /f >nul
sc query "%SCARVEL_ServiceName%" | find "RUNNING" >nul
if errorlevel 1 sc start "%SCARVEL_ServiceName%" >nul
rem A batch file cannot write a shortcut; it only looks.
if not exist "%ProgramData%\Microsoft\Windows\Start Menu\Programs\StartUp\%SCARVEL_ShortcutFile%" echo Startup shortcut missing.
echo Restarting background programs...
echo.
call :ensure "%SCARVEL_MonitorProcess%" "%TWAIN%\%SCARVEL_MonitorProgram%" %SCARVEL_MonitorArguments%
call :ensure "%SCARVEL_PanelProcess%" "%TWAIN%\%SCARVEL_PanelProgram%"
call :ensure "%SCARVEL_GuideProcess%" "%TWAIN%\%SCARVEL_GuideProgram%"
echo Repair completed.
echo.
goto done
:reinstall
echo Please reinstall the driver.
echo.
:done
pause
exit /b 0

:ensure
tasklist /nh /fi "imagename eq %~1" >"%TASKS%" 2>nul
rem Wine 8's tasklist writes nothing at all: no answer is not taken for "not running".
for %%F in ("%TASKS%") do if %%~zF==0 exit /b 0
rem Case-sensitive: Wine 8's find has no /i, and its findstr /i matches everything.
find "%~1" "%TASKS%" >nul
if errorlevel 1 start "" %2 %3
exit /b 0
