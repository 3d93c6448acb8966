@echo off
rem Cleans this machine with T-Vornik, unattended, and copies its log and its
rem report to a share as COMPUTERNAME.log and COMPUTERNAME.json, for
rem deployment tools and startup scripts.
rem   T-Vornik-unattended.cmd [\\server\share\folder]
rem The exit code is the tool's: 0 clean, 1 removed, 2 removed but restart
rem needed, 3 an error occurred or the run was refused; 3 as well when the
rem copies cannot be made, so that the deployment tool sees the machine.
setlocal
"%~dp0T-Vornik.exe" /SILENT /EXITCODE
set RESULT=%ERRORLEVEL%
if "%~1"=="" exit /b %RESULT%
copy /Y "%SystemRoot%\T-Vornik.log" "%~1\%COMPUTERNAME%.log" >nul 2>nul
if errorlevel 1 goto copyfailed
copy /Y "%SystemRoot%\T-Vornik.json" "%~1\%COMPUTERNAME%.json" >nul 2>nul
if errorlevel 1 goto copyfailed
exit /b %RESULT%
:copyfailed
echo T-Vornik: the log or the report could not be copied to %~1 (the tool ended with %RESULT%) 1>&2
exit /b 3
