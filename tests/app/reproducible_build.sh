#!/usr/bin/env bash
# Two Release builds of this tree with the same constants, from two copies in differently named
# folders into differently named build folders, one after the other, must give the same
# VANTOR.exe byte for byte.
# usage: reproducible_build.sh [SOURCE_DIR [WORK_DIR]]
set -euo pipefail
src="$(cd "${1:-$(dirname "$0")/../..}" && pwd)"
work="${2:-$src/build/reproducible}"

command -v osslsigncode >/dev/null || { echo "osslsigncode missing: apt-get install osslsigncode"; exit 1; }
# Builds without a given epoch are the ones that must not depend on the time.
unset SOURCE_DATE_EPOCH

trees=("$work/one/vantor" "$work/second-copy/src")
builds=("$work/one/out" "$work/b/release-build")
rm -rf "$work/one" "$work/second-copy" "$work/b"
mkdir -p "${trees[@]}"

# The working tree as it stands: uncommitted edits and new files count, ignored files and
# deleted tracked files do not.
git -C "$src" ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do
        if [ -e "$src/$f" ] || [ -L "$src/$f" ]; then printf '%s\0' "$f"; fi
    done >"$work/files"
[ -s "$work/files" ] || { echo "no files listed by git in $src"; exit 1; }
for tree in "${trees[@]}"; do
    tar -C "$src" --null -T "$work/files" -cf - | tar -C "$tree" -xf -
done

for i in 0 1; do
    echo "building ${builds[$i]}/VANTOR.exe from ${trees[$i]}"
    (cd "${trees[$i]}" && cmake --preset release -B "${builds[$i]}" \
        -DVANTOR_UPDATE_HOST=updates.repro.test -DVANTOR_GAME_SERVER_HOST=game.repro.test \
        -DVANTOR_WEBSITE_BASE=https://www.repro.test \
        -DVANTOR_MANIFEST_KEY_MODULUS="$(cat "$src/tests/keys/test-signing-key.modulus")" \
        -DVANTOR_CLIENT_SHA256=00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff) \
        >"$work/configure-$i.log" 2>&1 || { cat "$work/configure-$i.log"; exit 1; }
    cmake --build "${builds[$i]}" --target VANTOR -j 2 >"$work/build-$i.log" 2>&1 ||
        { cat "$work/build-$i.log"; exit 1; }
done

a="${builds[0]}/VANTOR.exe"
b="${builds[1]}/VANTOR.exe"
if ! cmp -s "$a" "$b"; then
    echo "the two builds differ ($(stat -c %s "$a") and $(stat -c %s "$b") bytes)"
    # The first differing bytes, each with its file offset and the section that holds it.
    x86_64-w64-mingw32-objdump -h "$a" | awk '$1 ~ /^[0-9]+$/ && $6 !~ /^0+$/ { print $2, $3, $6 }' \
        >"$work/sections"
    { cmp -l "$a" "$b" || true; } | head -n 40 | while read -r pos x y; do
        off=$((pos - 1))
        where=header
        while read -r name size start; do
            if [ "$off" -ge $((16#$start)) ] && [ "$off" -lt $((16#$start + 16#$size)) ]; then
                where="$name"
            fi
        done <"$work/sections"
        printf '0x%08x %-8s %02x %02x\n' "$off" "$where" "$((8#$x))" "$((8#$y))"
    done
    echo "$(cmp -l "$a" "$b" | wc -l) bytes differ in all"
    exit 1
fi
echo "identical: $(sha256sum "$a" | cut -d' ' -f1)"

# Auditors compare a published launcher after removing its Authenticode signature: signing must
# leave nothing behind, such as padding before the signature.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Reproducible Build Test" \
    -addext extendedKeyUsage=codeSigning -keyout "$work/sign.key" -out "$work/sign.pem" 2>/dev/null
rm -f "$work/signed.exe" "$work/unsigned.exe"
{ osslsigncode sign -certs "$work/sign.pem" -key "$work/sign.key" -h sha256 -in "$b" -out "$work/signed.exe" &&
    osslsigncode remove-signature -in "$work/signed.exe" -out "$work/unsigned.exe"; } >"$work/sign.log" 2>&1 ||
    { cat "$work/sign.log"; exit 1; }
if ! cmp "$b" "$work/unsigned.exe"; then
    echo "signed and unsigned again, the launcher differs from the build:"
    { cmp -l "$b" "$work/unsigned.exe" || true; } | head -n 10
    exit 1
fi
echo "signing and removing the signature gives back the same bytes"

# An epoch given when configuring is the time stamp, though the build's environment lacks it.
epoch=1700000000
(cd "${trees[0]}" && SOURCE_DATE_EPOCH=$epoch cmake -B "${builds[0]}") >"$work/configure-epoch.log" 2>&1 ||
    { cat "$work/configure-epoch.log"; exit 1; }
cmake --build "${builds[0]}" --target VANTOR -j 2 >"$work/build-epoch.log" 2>&1 ||
    { cat "$work/build-epoch.log"; exit 1; }
pe=$(od -An -tu4 --endian=little -j 60 -N 4 "$a")
stamp=$(od -An -tu4 --endian=little -j $((pe + 8)) -N 4 "$a" | tr -d ' ')
if [ "$stamp" != "$epoch" ]; then
    echo "built with SOURCE_DATE_EPOCH=$epoch, the PE time stamp is $stamp"
    exit 1
fi
echo "SOURCE_DATE_EPOCH=$epoch is the PE time stamp"
