@echo off
rem Cleans this machine with T-Vornik, unattended, and copies its log to a
rem share as COMPUTERNAME.log, for deployment tools and startup scripts.
rem   T-Vornik-unattended.cmd [\\server\share\folder]
rem The exit code is the tool's: 0 clean, 1 removed, 2 removed but restart
rem needed, 3 an error occurred or the run was refused.
setlocal
"%~dp0T-Vornik.exe" /SILENT /EXITCODE
set RESULT=%ERRORLEVEL%
if not "%~1"=="" copy /Y "%SystemRoot%\T-Vornik.log" "%~1\%COMPUTERNAME%.log" >nul
exit /b %RESULT%
