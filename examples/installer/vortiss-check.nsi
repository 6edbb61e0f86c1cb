; An installer that asks Vortiss.dll its two questions, as installer authors call it: it extracts
; the DLL, calls both exports through the System plug-in with the C calling convention (?c), and
; writes what it got, one "name=value" line each, to the file named by /D=RESULTS.
;
; makensis -DTARGET=x86-unicode (or amd64-unicode) -DVORTISS_DLL=path\to\Vortiss.dll
;          -DOUTFILE=check.exe -DRESULTS=C:\path\results.txt -DWRITABLE=C:\some\folder\
;          vortiss-check.nsi
; Run it silently: check.exe /S
;
; `i` reads the export's answer as a 32-bit integer (EAX) and `p` as a pointer-sized one (RAX on
; x64): both are exactly 0 or 1. UserInfo::GetAccountType, NSIS's own reading of the token, is
; written beside them for comparison.

Unicode true
!ifndef TARGET
  !define TARGET x86-unicode
!endif
Target ${TARGET}

!ifndef VORTISS_DLL
  !error "give the DLL with -DVORTISS_DLL=PATH"
!endif
!ifndef OUTFILE
  !define OUTFILE vortiss-check.exe
!endif
!ifndef RESULTS
  !define RESULTS "$EXEDIR\vortiss-results.txt"
!endif
!ifndef WRITABLE
  !define WRITABLE "$EXEDIR\"
!endif

Name "Vortiss check"
OutFile "${OUTFILE}"
RequestExecutionLevel user
SilentInstall silent
ShowInstDetails nevershow

Section
  InitPluginsDir
  SetOutPath "$PLUGINSDIR"
  File "/oname=Vortiss.dll" "${VORTISS_DLL}"

  FileOpen $9 "${RESULTS}" w
  StrCmp $9 "" 0 +3
    SetErrorLevel 2
    Quit

  ; The DLL is loaded by its full path: an installer searches no folder of its own for DLLs.
  System::Call '"$PLUGINSDIR\Vortiss.dll"::IsUserAdministrator() i .r0 ?c'
  FileWrite $9 "admin=$0$\n"
  System::Call '"$PLUGINSDIR\Vortiss.dll"::IsUserAdministrator() p .r0 ?c'
  FileWrite $9 "admin_pointer=$0$\n"
  System::Call '"$PLUGINSDIR\Vortiss.dll"::IsUserAllowedAccess(w "${WRITABLE}") i .r1 ?c'
  FileWrite $9 "writable=$1$\n"
  System::Call '"$PLUGINSDIR\Vortiss.dll"::IsUserAllowedAccess(w "${WRITABLE}") p .r1 ?c'
  FileWrite $9 "writable_pointer=$1$\n"
  System::Call '"$PLUGINSDIR\Vortiss.dll"::IsUserAllowedAccess(w "C:\no\such\dir\file") i .r2 ?c'
  FileWrite $9 "missing=$2$\n"
  System::Call '"$PLUGINSDIR\Vortiss.dll"::IsUserAllowedAccess(w "C:\no\such\dir\file") p .r2 ?cu'
  FileWrite $9 "missing_pointer=$2$\n"

  UserInfo::GetAccountType
  Pop $3
  FileWrite $9 "nsis_account_type=$3$\n"
  FileClose $9
SectionEnd
