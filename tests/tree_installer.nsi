; An installer that, as bootstrappers do, reads what it installs from beside itself: the first
; line of $EXEDIR\packages\data.txt becomes $INSTDIR\installed.txt. Exit code 3 when it did, 4
; when there was nothing to read.
Unicode true
Target amd64-unicode
Name "W4W Tree Test App"
OutFile "${OUTFILE}"
InstallDir "$TEMP\W4W Tree Test App"
RequestExecutionLevel user

Section
    ClearErrors
    FileOpen $0 "$EXEDIR\packages\data.txt" r
    IfErrors missing
    FileRead $0 $1
    FileClose $0
    SetOutPath "$INSTDIR"
    FileOpen $0 "$INSTDIR\installed.txt" w
    FileWrite $0 $1
    FileClose $0
    SetErrorLevel 3
    Goto done
missing:
    SetErrorLevel 4
done:
SectionEnd
