@echo off
rem What ScarvelRepair.exe checks, done with the console tools a support technician has.
setlocal
set "TWAIN=%windir%\twain_32"
set "RUN=HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
set "TASKS=%TEMP%\bench-tasks.txt"
echo Checking for problems, please wait...
echo.
if not exist "%TWAIN%\Norvale\NVMONSTA.exe" goto reinstall
if not exist "%TWAIN%\Norvale\NVSCNSVC.exe" goto reinstall
if not exist "%TWAIN%\tessmar32\QOV\Kestrun.exe" goto reinstall
if not exist "%TWAIN%\tessmar32\KLD\Haldrix.exe" goto reinstall
reg query "%RUN%" /v "Velmora Setup" >nul 2>&1
if errorlevel 1 reg add "%RUN%" /v "Velmora Setup" /d "%TWAIN%\Norvale\NVMONSTA.exe /Station" /f >nul
reg query "%RUN%" /v Kestrun_setup >nul 2>&1
if errorlevel 1 reg add "%RUN%" /v Kestrun_setup /d "%TWAIN%\tessmar32\QOV\Kestrun.exe" /f >nul
sc query NVSCNSVC | find "RUNNING" >nul
if errorlevel 1 sc start NVSCNSVC >nul
rem A batch file cannot write a shortcut; it only looks.
if not exist "%ProgramData%\Microsoft\Windows\Start Menu\Programs\StartUp\Faultwise Companion.lnk" echo Startup shortcut missing.
echo Restarting background programs...
echo.
call :ensure NVMONSTA.exe "%TWAIN%\Norvale\NVMONSTA.exe" /Station
call :ensure Kestrun.exe "%TWAIN%\tessmar32\QOV\Kestrun.exe"
call :ensure Haldrix.exe "%TWAIN%\tessmar32\KLD\Haldrix.exe"
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
