@echo off
rem The checks of a Windows release (doc\windows-checklist.md) that a script can make, each
rem printed as PASS or FAIL, and those it cannot, printed as MANUAL. Run it on a real Windows 10 or
rem 11 machine from a Command Prompt, with the release's zelpin.exe and, beside it, the
rem windows_tests.exe of the same build:
rem
rem   windows-checklist.cmd C:\path\to\zelpin.exe
rem
rem Inside a script cmd waits for a GUI program, and %errorlevel% is then its status; at a prompt
rem it does neither (there, start /wait makes it wait). It works in a new folder under %TEMP%
rem and removes it. Its status is 1 when any check failed.
setlocal EnableDelayedExpansion
if "%~1"=="" (
  echo usage: windows-checklist.cmd C:\path\to\zelpin.exe
  exit /b 2
)
set "zelpin=%~f1"
set "here=%~dp1"
set "T=%TEMP%\zelpin-checklist-%RANDOM%%RANDOM%"
mkdir "%T%"
if not exist "%T%\" exit /b 2
set failed=0

rem 1. The rows that only Windows itself can show: owner, encryption, compression, named streams,
rem a dangling link, a reader sharing deletion (the POSIX rename), a menu the user may not delete;
rem and device names, readers during saves, runs that wait for a lock.
if exist "%here%windows_tests.exe" (
  "%here%windows_tests.exe" --gtest_brief=1
  call :verdict "1. the Windows tests, with the rows only Windows shows" !errorlevel!
) else (
  echo MANUAL  1. put windows_tests.exe of the same build beside zelpin.exe and run this again
)

rem 2. A toggle twice gives the menu back, byte for byte.
call :menu
copy /y "%T%\menu.txt" "%T%\before.txt" >nul
call :zelpin -1n "%T%\menu.txt" C:\Check
set first=!errorlevel!
call :zelpin -1n "%T%\menu.txt" C:\Check
set /a status=first + !errorlevel!
fc /b "%T%\menu.txt" "%T%\before.txt" >nul
set /a status+=!errorlevel!
call :verdict "2. a toggle twice gives the menu back" !status!

rem 3. The archive attribute is set by a save, whatever the old file said.
call :menu
attrib -a "%T%\menu.txt"
call :zelpin -1n "%T%\menu.txt" C:\Check
set status=!errorlevel!
for /f "tokens=1" %%a in ('attrib "%T%\menu.txt"') do set shown=%%a
if not "!shown!"=="A" set status=1
call :verdict "3. a save sets the archive attribute" !status!

rem 4. A failure is told in one line on the error output: a read-only menu.
call :menu
attrib +r "%T%\menu.txt"
call :zelpin -1n "%T%\menu.txt" C:\Check 2>"%T%\error.txt"
set status=!errorlevel!
attrib -r "%T%\menu.txt"
findstr /b /c:"zelpin: cannot write" "%T%\error.txt" >nul
if errorlevel 1 set status=0
set /a status=1 - status
call :verdict "4. a read-only menu: status 1 and one line" !status!

rem 5. A menu on a share: the administrative share of this machine, where it is open to this user.
set "share=\\localhost\%T::=$%"
if exist "!share!\" (
  call :menu
  call :zelpin -1n "!share!\menu.txt" C:\Check
  set status=!errorlevel!
  call :zelpin -1n "!share!\new.txt" C:\Check
  set /a status+=!errorlevel!
  rem Beside each menu stays its lock, .NAME.zelpin-lock, and nothing else.
  dir /b /a "%T%\.menu.txt.zelpin-*" "%T%\.new.txt.zelpin-*" 2>nul | findstr /v /e "zelpin-lock" >nul && set /a status+=1
  call :verdict "5. a menu on a share, and a new one, saved with nothing left beside them" !status!
) else (
  echo MANUAL  5. a share: run zelpin on \\host\share\menu.txt and on a new name there
)

rem 6. Runs at once on one menu take turns: 40 runs started together, 40 entries after them (runs
rem that have not ended after 30 seconds count as lost entries).
call :menu
for /l %%i in (1,1,40) do start "" /b "%zelpin%" "%T%\menu.txt" C:\Parallel%%i
set tries=0
:wait
call :count
if !count! geq 40 goto counted
if !tries! geq 30 goto counted
set /a tries+=1
ping -n 2 127.0.0.1 >nul
goto wait
:counted
set status=1
if !count!==40 set status=0
call :verdict "6. 40 runs at once keep 40 entries, found !count!" !status!

rem 7 to 12 are left to you; doc\windows-checklist.md says how.
echo MANUAL  7. elevated and normal runs at once
echo MANUAL  8. runs from two sessions: a Remote Desktop session and the console
echo MANUAL  9. two PCs on one share
echo MANUAL  10. ReFS, FAT and exFAT volumes
echo MANUAL  11. a virtual disk
echo MANUAL  12. a failure is seen: a bookmark key on a read-only menu brings up a box

rmdir /s /q "%T%"
exit /b %failed%

rem A menu of a header and one entry, fresh for each check.
:menu
del /f /q "%T%\menu.txt" 2>nul
> "%T%\menu.txt" echo zel
>> "%T%\menu.txt" echo "5 A"	^&CD "C:\A"
exit /b 0

rem One run, waited for, as a script waits; its status is the errorlevel.
:zelpin
"%zelpin%" %*
exit /b %errorlevel%

rem How many entries the parallel runs have left in the menu so far.
:count
set count=0
for /f "delims=" %%l in ('type "%T%\menu.txt" ^| find "Parallel"') do set /a count+=1
exit /b 0

:verdict
if "%~2"=="0" (echo PASS    %~1) else (
  echo FAIL    %~1
  set failed=1
)
exit /b 0
