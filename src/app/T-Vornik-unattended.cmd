@echo off
rem Cleans this machine with T-Vornik, unattended, and copies its log and its
rem report to a share as COMPUTERNAME.log and COMPUTERNAME.json, for
rem deployment tools and startup scripts.
rem   T-Vornik-unattended.cmd [\\server\share\folder]
rem The exit code is the tool's: 0 clean, 1 removed, 2 removed but restart
rem needed, 3 an error occurred or the run was refused; 3 as well when the
rem copies cannot be made, so that the deployment tool sees the machine.
rem
rem Nothing is taken from the environment, which the user's own programs may
rem set (an unelevated worm writes the user's variables, which an elevated
rem prompt inherits): a variable of cmd's own name hides cmd's own value, so
rem those are cleared first. The computer's name is the one the tool logged.
rem The Windows folder holds cmd's own folder (System32 or SysWOW64); cmd
rem names that folder from Windows Vista on, the first Windows on which an
rem unelevated program of the administrator can set the environment; before,
rem such a program has the administrator's rights already and the Windows
rem folder is taken as SystemRoot.
setlocal
set "ERRORLEVEL="
set "__APPDIR__="
"%~dp0T-Vornik.exe" /SILENT /EXITCODE
set RESULT=%ERRORLEVEL%
if "%~1"=="" exit /b %RESULT%
set "WINDOWS=%SystemRoot%"
if not "%__APPDIR__%"=="" for %%W in ("%__APPDIR__%..") do set "WINDOWS=%%~fW"
set "COMPUTER="
for /f "usebackq tokens=1,2,6,7,8" %%A in ("%WINDOWS%\T-Vornik.log") do if "%%A %%B %%C %%E"=="Run started computer as" set "COMPUTER=%%D"
if "%COMPUTER%"=="" goto copyfailed
copy /Y "%WINDOWS%\T-Vornik.log" "%~1\%COMPUTER%.log" >nul 2>nul
if errorlevel 1 goto copyfailed
copy /Y "%WINDOWS%\T-Vornik.json" "%~1\%COMPUTER%.json" >nul 2>nul
if errorlevel 1 goto copyfailed
exit /b %RESULT%
:copyfailed
echo T-Vornik: the log or the report could not be copied to %~1 (the tool ended with %RESULT%) 1>&2
exit /b 3
