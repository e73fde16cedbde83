# Shared by the scripts: package installation and the Wine/Xvfb harness.
# shellcheck shell=bash

VANTOR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# Installs the Debian packages that are missing; apt-get update runs once, only when needed.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(cmake ninja-build mingw-w64 g++-mingw-w64-x86-64-posix googletest librsvg2-bin python3 openssl
    g++ libssl-dev libcurl4-openssl-dev osslsigncode strace softhsm2 libengine-pkcs11-openssl opensc nsis)
RUN_PACKAGES=(wine wine64 xvfb x11-apps imagemagick fonts-wqy-microhei xdotool nginx-light iproute2 libssl-dev g++
    curl radosgw ceph-mon ceph-osd ceph-common)

# logged LOG COMMAND...: COMMAND's exit status; its output, kept in LOG, is shown only on failure.
logged() {
    local log="$1"
    shift
    "$@" >"$log" 2>&1 && return 0
    cat "$log"
    return 1
}

# build_release_tool DIR LOGS [CMAKE_ARG...]: the operators' release tool, a native program, built
# in DIR (DIR/vantor-release); CMAKE_ARGs, given last, win over the Release defaults.
build_release_tool() {
    local dir="$1" logs="$2"
    shift 2
    logged "$logs/tools-configure.log" cmake -S "$VANTOR_ROOT/tools" -B "$dir" -G Ninja \
        -DCMAKE_BUILD_TYPE=Release "$@" &&
        logged "$logs/tools-build.log" cmake --build "$dir"
}

# manifest_key_modulus TOOL KEY: the modulus of the manifest signing key KEY, which the release
# tool TOOL makes on first use.
manifest_key_modulus() {
    local tool="$1" key="$2"
    if [ ! -f "$key" ]; then
        mkdir -p "$(dirname "$key")"
        "$tool" keygen "$key" >/dev/null || return 1
        log "made the manifest signing key $key"
    fi
    "$tool" key-modulus "$key"
}

# build_windows_program SOURCE EXE: a one-file Windows program of the harness at EXE (an absolute
# path), rebuilt when SOURCE is newer. Built aside and renamed: a run killed while linking leaves
# no half-written one.
build_windows_program() {
    local source="$1" exe="$2"
    [ -f "$exe" ] && [ ! "$VANTOR_ROOT/$source" -nt "$exe" ] && return 0
    log "building $source"
    mkdir -p "$(dirname "$exe")"
    (cd "$VANTOR_ROOT" && x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -Wall -Wextra -Werror -municode \
        -mwindows -static -Wl,--no-insert-timestamp -I. -o "$exe.tmp" "$source") && mv "$exe.tmp" "$exe"
}

# build_stand_in_client EXE: the stand-in game client at EXE (an absolute path).
build_stand_in_client() {
    build_windows_program tests/launch/stub_client.cpp "$1"
}

# Starts Xvfb on a free display and records it for the wine wrapper.
start_xvfb() {
    local build="$1" n
    mkdir -p "$build/harness"
    for n in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >"$build/harness/xvfb.log" 2>&1 &
        echo $! >"$build/harness/xvfb.pid"
        local i
        for i in $(seq 1 50); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            sleep 0.1
        done
        echo ":$n" >"$build/harness/display"
        export DISPLAY=":$n"
        return 0
    done
    log "no free X display"
    return 1
}

stop_xvfb() {
    local build="$1" pid
    if [ -f "$build/harness/xvfb.pid" ]; then
        # A killed run's record may name an id that another program has taken since.
        pid="$(cat "$build/harness/xvfb.pid")"
        if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = Xvfb ]; then kill "$pid" 2>/dev/null || true; fi
        rm -f "$build/harness/xvfb.pid" "$build/harness/display"
    fi
}

# One persistent wineserver for the prefix inside the build folder, booted once (one service
# manager), with one desktop held for the whole run by a detached program.
start_wine() {
    local build="$1"
    export WINEPREFIX="$build/wineprefix"
    export WINEDEBUG=-all
    # Wine's menu builder would copy every shortcut a setup makes into the Linux desktop's menus.
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    local fresh=0 holder="$build/harness/hold_desktop.exe" ready="$build/harness/desktop.ready" i
    [ -f "$WINEPREFIX/system.reg" ] || fresh=1
    mkdir -p "$WINEPREFIX" "$build/harness"
    build_windows_program tests/harness/hold_desktop.cpp "$holder" || return 1
    # A killed run's server may still hold the prefix, on a display that is gone.
    stop_wine "$build"
    rm -f "$ready"
    # Detached stdio: an inherited pipe would keep ctest waiting for the server, the services and
    # the desktop to exit. The holder is the first Wine program: its start boots the prefix, so
    # nothing else may boot it again (a second boot starts a second service manager).
    setsid wineserver -p </dev/null >/dev/null 2>&1 &
    setsid wine "$holder" "Z:${ready//\//\\}" </dev/null >/dev/null 2>&1 &
    for i in $(seq 1 1200); do
        [ -e "$ready" ] && break
        sleep 0.1
    done
    if [ ! -e "$ready" ]; then
        log "Wine did not bring up its desktop within 120 s"
        return 1
    fi
    # The prefix's desktop is the Linux home folder: the shortcuts a setup makes there stay in
    # the prefix instead.
    local desktop="$WINEPREFIX/drive_c/users/$(id -un)/Desktop"
    if [ -L "$desktop" ]; then rm "$desktop" && mkdir "$desktop"; fi
    if [ "$fresh" -eq 1 ]; then
        # The Chinese texts need a face with CJK glyphs where the launcher asks for Segoe UI.
        wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Segoe UI' /t REG_SZ \
            /d 'WenQuanYi Micro Hei' /f </dev/null >/dev/null 2>&1
    fi
    # On the harness's own Xvfb no window manager runs, and Wine waits 2 s for one each time a
    # top-level window is hidden or destroyed; there Wine places the windows itself, as Windows
    # does. A desktop of the user's own keeps its window manager.
    local managed=Y
    [ "${DISPLAY:-}" = "$(cat "$build/harness/display" 2>/dev/null)" ] && managed=N
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d "$managed" /f \
        </dev/null >/dev/null 2>&1
}

stop_wine() {
    local build="$1"
    WINEPREFIX="$build/wineprefix" wineserver -k </dev/null >/dev/null 2>&1 || true
}

# pki_root DIR NAME SUBJECT: a self-signed CA, DIR/NAME.pem and DIR/NAME.key.
pki_root() {
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=$3" -keyout "$1/$2.key" -out "$1/$2.pem" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

# pki_issue DIR CA NAME SUBJECT EXTENSIONS: DIR/NAME.pem and DIR/NAME.key, issued by DIR/CA.pem
# with the extensions given one a line.
pki_issue() {
    local dir="$1" ca="$2" name="$3"
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$4" -keyout "$dir/$name.key" -out "$dir/$name.csr" 2>/dev/null
    printf '%s\n' "$5" >"$dir/$name.cnf"
    openssl x509 -req -in "$dir/$name.csr" -CA "$dir/$ca.pem" -CAkey "$dir/$ca.key" -CAcreateserial \
        -days 3650 -extfile "$dir/$name.cnf" -out "$dir/$name.pem" 2>/dev/null
}

# A CA of the harness's own and a certificate for localhost signed by it.
make_test_pki() {
    local dir="$1"
    # ca.der comes last: a run killed while making the others makes them all again.
    [ -f "$dir/ca.der" ] && return 0
    mkdir -p "$dir"
    pki_root "$dir" ca "Vantor Test CA"
    pki_issue "$dir" ca server localhost \
        $'subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE'
    openssl x509 -in "$dir/ca.pem" -outform DER -out "$dir/ca.der"
}

# build_test_tree BUILD PRESET UPDATE_PORT GAME_PORT [TOOL_CMAKE_ARG...]: the stand-in game client,
# the release tool (TOOL_CMAKE_ARGs go to its configure step) and, from configure preset PRESET,
# the launcher and its test programs against the test hosts on those ports, all in BUILD.
build_test_tree() {
    local build="$1" preset="$2" update_port="$3" game_port="$4"
    shift 4
    mkdir -p "$build/stub" "$build/harness"

    # The stand-in game client comes first: its digest is a constant of the test build.
    local stub="$build/stub/2015-11-04aKovexe_patched.exe" client_sha256
    build_stand_in_client "$stub"
    client_sha256="$(sha256sum "$stub" | cut -d' ' -f1)"

    # The release tool's tests join the main CTest run.
    log "building the release tool"
    build_release_tool "$build/tools" "$build/harness" "$@"

    log "configuring and building"
    logged "$build/harness/configure.log" cmake --preset "$preset" -B "$build" \
        -DVANTOR_UPDATE_PORT="$update_port" -DVANTOR_GAME_SERVER_PORT="$game_port" \
        -DVANTOR_TOOLS_BINARY_DIR="$build/tools" \
        -DVANTOR_MANIFEST_KEY_MODULUS="$(cat "$VANTOR_ROOT/tests/keys/test-signing-key.modulus")" \
        -DVANTOR_CLIENT_SHA256="$client_sha256"
    cmake --build "$build"
}

# start_test_harness BUILD UPDATE_PORT: Xvfb, the Wine prefix trusting the harness's own CA, and
# the test update host on UPDATE_PORT (its process id in HOST_PID).
start_test_harness() {
    local build="$1" update_port="$2"
    log "starting the harness (Xvfb, wineserver, test CA)"
    make_test_pki "$build/harness/pki"
    start_xvfb "$build"
    start_wine "$build"
    wine "$build/tests/harness/add_root_cert.exe" "$(winepath -w "$build/harness/pki/ca.der")" </dev/null

    if [ -f "$VANTOR_ROOT/tests/harness/update_host.py" ]; then
        mkdir -p "$build/harness/update-host"
        setsid python3 "$VANTOR_ROOT/tests/harness/update_host.py" --port "$update_port" \
            --cert "$build/harness/pki/server.pem" --key "$build/harness/pki/server.key" \
            --state-dir "$build/harness/update-host" </dev/null >"$build/harness/update-host.log" 2>&1 &
        HOST_PID=$!
    fi
}

stop_test_harness() {
    local build="$1"
    [ -n "${HOST_PID:-}" ] && kill "$HOST_PID" 2>/dev/null || true
    stop_wine "$build"
    stop_xvfb "$build"
}

# run_ctest BUILD [CTEST_ARG...]: the tests, their output shown and kept in BUILD/harness/ctest.log;
# sets CTEST_STATUS (ctest's exit status), CTEST_PASSED and CTEST_FAILED.
run_ctest() {
    local build="$1" summary total
    shift
    log "running the tests"
    set +e
    (cd "$build" && ctest --output-on-failure --timeout 600 --parallel 2 "$@") 2>&1 | tee "$build/harness/ctest.log"
    CTEST_STATUS=${PIPESTATUS[0]}
    set -e
    summary="$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$build/harness/ctest.log" | tail -1)"
    total="$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")"
    CTEST_FAILED="$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$summary")"
    if [ -z "$summary" ]; then total=0; CTEST_FAILED=1; fi
    CTEST_PASSED=$((total - CTEST_FAILED))
}
