; The Windows installer of the library upgrade utility (NSIS 3), made by
; tools/build-windows.sh:
;   makensis -DRELEASE=6.2017.1 -DBUILD=<build folder> -DSOURCE=<tree> -DOUTFILE=<setup.exe>
; It installs the 32-bit programs into Program Files (Program Files (x86) on
; 64-bit Windows), a Start-menu folder and an uninstaller. The data files
; zzm.dat, other.dat and MarcRule.txt belong in the same folder as the
; programs; the installer ships none (no sample data may reach a real
; library), and the uninstaller leaves the library's own copies in place.
; "setup.exe /S" installs silently, "uninstall.exe /S" removes silently.
Unicode true
!ifdef AMD64
  ; A 64-bit installer of a 64-bit build: only for trying the installer on
  ; machines that cannot run 32-bit programs (tools/windows-tests.sh).
  Target amd64-unicode
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define PRODUCT "图书管理系统升级"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvant libupgrade"

Name "${PRODUCT} V${RELEASE}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Quorvant\libupgrade"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show

VIProductVersion "${RELEASE}.0"
VIAddVersionKey /LANG=2052 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${RELEASE}"
VIAddVersionKey /LANG=2052 "FileVersion" "${RELEASE}"
VIAddVersionKey /LANG=2052 "FileDescription" "${PRODUCT} 安装程序"
VIAddVersionKey /LANG=2052 "CompanyName" "Quorvant"
VIAddVersionKey /LANG=2052 "LegalCopyright" "Quorvant"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

LoadLanguageFile "${NSISDIR}\Contrib\Language files\SimpChinese.nlf"

Section "Install"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${BUILD}\bin\libupgrade-cli.exe"
  File "${BUILD}\bin\libsql.exe"
  !if /FileExists "${BUILD}\bin\libupgrade.exe"
    File "${BUILD}\bin\libupgrade.exe"
  !endif
  File "/oname=README.txt" "${SOURCE}\README.md"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  !if /FileExists "${BUILD}\bin\libupgrade.exe"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\libupgrade.exe"
  !else
    ; The command-line program, in a console that stays open.
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$SYSDIR\cmd.exe" \
      '/k "$INSTDIR\libupgrade-cli.exe" --help' "$INSTDIR\libupgrade-cli.exe"
  !endif
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\README.lnk" "$INSTDIR\README.txt"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\卸载.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} V${RELEASE}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${RELEASE}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Quorvant"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$INSTDIR\libupgrade-cli.exe"
  Delete "$INSTDIR\libsql.exe"
  Delete "$INSTDIR\libupgrade.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  ; The library's data files stay: the folder goes only when empty.
  RMDir "$INSTDIR"
  RMDir "$PROGRAMFILES\Quorvant"
  Delete "$SMPROGRAMS\${PRODUCT}\*.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
