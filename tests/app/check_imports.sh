#!/bin/sh
# VANTOR.exe must run on a bare Windows: it may import system DLLs only.
exe="$1"
allowed='^(KERNEL32|USER32|GDI32|SHELL32|OLE32|ADVAPI32|WINHTTP|BCRYPT|CRYPT32|WS2_32|msvcrt|ntdll)\.dll$'
dlls="$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')"
[ -n "$dlls" ] || { echo "no imports read from $exe"; exit 1; }
status=0
for dll in $dlls; do
    if printf '%s\n' "$dll" | grep -Eiq "$allowed"; then
        echo "ok: $dll"
    else
        echo "not a system DLL: $dll"
        status=1
    fi
done
exit $status
