@echo off
rem Cleans this machine with T-Vornik, unattended, and copies its log and its
rem report to a share as COMPUTERNAME.log and COMPUTERNAME.json, and the report
rem once more as COMPUTERNAME\<UTC start time>.json (the machine's history),
rem for deployment tools and startup scripts.
rem   T-Vornik-unattended.cmd [\\server\share\folder [options]]
rem The options after the share go to the tool after /SILENT /EXITCODE (for
rem example /DEPLOYCODES, /REPORTONLY, /ALLDRIVES).
rem The exit code is the tool's: 0 clean, 1 removed, 2 removed but restart
rem needed, 3 an error occurred or the run was refused (or the codes the
rem options ask for); 3 as well when the copies cannot be made, so that the
rem deployment tool sees the machine.
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
rem
rem Every machine writes the share: each copy goes to a temporary name there
rem and is then renamed into place, so a copy cut short is never read as a
rem report, and a folder of the copy's name (which would take the copy in and
rem hide the machine) fails the copy, said on standard error.
setlocal
set "ERRORLEVEL="
set "__APPDIR__="
set "RANDOM="
set "HERE=%~dp0"
set "SHARE=%~1"
set "OPTIONS="
:options
shift
if "%~1"=="" goto run
set OPTIONS=%OPTIONS% "%~1"
goto options
:run
"%HERE%T-Vornik.exe" /SILENT /EXITCODE%OPTIONS%
set RESULT=%ERRORLEVEL%
if "%SHARE%"=="" exit /b %RESULT%
set "WINDOWS=%SystemRoot%"
if not "%__APPDIR__%"=="" for %%W in ("%__APPDIR__%..") do set "WINDOWS=%%~fW"
set "COMPUTER="
for /f "usebackq tokens=1,2,6,7,8" %%A in ("%WINDOWS%\T-Vornik.log") do if "%%A %%B %%C %%E"=="Run started computer as" set "COMPUTER=%%D"
if "%COMPUTER%"=="" goto copyfailed
rem The report's first "utc" is its start's, as the tool wrote it: its copy
rem in the history is named after it, without the colons.
set "STAMP="
for /f "usebackq tokens=1,2" %%A in ("%WINDOWS%\T-Vornik.json") do if %%A=="utc": if not defined STAMP call :stamp %%B
if "%STAMP%"=="" goto copyfailed
call :put "%WINDOWS%\T-Vornik.log" "%COMPUTER%.log"
if errorlevel 1 goto copyfailed
call :put "%WINDOWS%\T-Vornik.json" "%COMPUTER%.json"
if errorlevel 1 goto copyfailed
if not exist "%SHARE%\%COMPUTER%\*" mkdir "%SHARE%\%COMPUTER%" >nul 2>nul
rem Two runs that started within one second keep both: the later one's
rem name gets a number.
set "SUFFIX="
set /a NUMBER=1
:historyname
if not exist "%SHARE%\%COMPUTER%\%STAMP%%SUFFIX%.json" goto historyfree
set /a NUMBER+=1
set "SUFFIX=-%NUMBER%"
if %NUMBER% lss 100 goto historyname
goto copyfailed
:historyfree
call :put "%WINDOWS%\T-Vornik.json" "%COMPUTER%\%STAMP%%SUFFIX%.json"
if errorlevel 1 goto copyfailed
exit /b %RESULT%
:copyfailed
echo T-Vornik: the log or the report could not be copied to %SHARE% (the tool ended with %RESULT%) 1>&2
exit /b 3

:stamp
set "STAMP=%~1"
set "STAMP=%STAMP::=%"
exit /b 0

rem Copies %1 to the share as %2: to a temporary name, then renamed into
rem place. Ends with 1 when it could not, or when %2 is a folder before or
rem after the rename.
:put
set "TARGET=%SHARE%\%~2"
set "PART=%SHARE%\%~2.%RANDOM%%RANDOM%.part"
if exist "%TARGET%\*" goto putfolder
copy /Y "%~1" "%PART%" >nul 2>nul
if errorlevel 1 goto putfailed
move /Y "%PART%" "%TARGET%" >nul 2>nul
if errorlevel 1 goto putfailed
if exist "%TARGET%\*" goto putfolder
if not exist "%TARGET%" goto putfailed
exit /b 0
:putfolder
echo T-Vornik: %TARGET% is a folder, not a file: the copy was not put there 1>&2
:putfailed
if exist "%PART%" del /F /Q "%PART%" >nul 2>nul
exit /b 1
