# Writes the record beside VANTOR.exe that vantor-release package reads: the constants the
# launcher was built with, and its own size and SHA-256, so that a record is never taken for
# another launcher's. Run after each link: -DEXE=VANTOR.exe -DCONSTANTS=file -DOUT=record
file(SHA256 "${EXE}" digest)
file(SIZE "${EXE}" size)
file(READ "${CONSTANTS}" constants)
file(WRITE "${OUT}.tmp" "${constants}launcher-size ${size}\nlauncher-sha256 ${digest}\n")
file(RENAME "${OUT}.tmp" "${OUT}")
