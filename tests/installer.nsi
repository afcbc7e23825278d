; A small real installer: it parses its own command line (/S silent, /D= the install directory,
; taken unquoted from the rest of the line) and records where it installed.
Unicode true
Target amd64-unicode
Name "W4W Test App"
OutFile "${OUTFILE}"
InstallDir "$TEMP\W4W Test App"
RequestExecutionLevel user

Section
    SetOutPath "$INSTDIR"
    FileOpen $0 "$INSTDIR\installed.txt" w
    FileWrite $0 "$INSTDIR"
    FileClose $0
    SetErrorLevel 3
SectionEnd
