#!/usr/bin/env bash
# The Windows installer run under wine: a silent install to Program Files leaves PATH alone with
# /PATH=0, one to a chosen folder adds its bin folder to PATH with /PATH=1; each installs every
# file of the staged tree (the programs run), and its uninstaller takes away all it installed,
# its PATH entry and its registry key, and nothing of the user's.
#   installer_test.sh SETUP_EXE STAGE_DIR VERSION      (WINEPREFIX and CORVANE_WINE set)
set -euo pipefail
setup=$1 stage=$2 version=$3
wine=${CORVANE_WINE:?names wine64}
: "${WINEPREFIX:?names the wine prefix}"
export WINEDEBUG=-all
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\CorvaneUpdater'
environment='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
registry() { "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
files() { (cd "$1" && find . -type f ! -name uninstall.exe | sort); }

# The uninstaller hands its work to a copy of itself and returns at once: the last thing it does
# is to drop its registry key.
await_uninstalled() {
    local waited=0
    while "$wine" reg query "$key" >/dev/null 2>&1; do
        if [ $waited -ge 600 ]; then
            fail "the uninstaller did not finish in 120 s"
            return
        fi
        sleep 0.2
        waited=$((waited + 1))
    done
}

# check_install WINDOWS_DIR UNIX_DIR PATH_CHOICE [/D=...]   (/D= takes no quotes: a folder
# without spaces, as wine quotes an argument with one)
check_install() {
    local windir=$1 unixdir=$2 choice=$3
    shift 3
    local path_before
    path_before=$(registry "$environment" Path)
    "$wine" "$setup" /S "/PATH=$choice" "$@" || fail "the installer ended with status $?"
    [ "$(files "$unixdir")" = "$(files "$stage")" ] ||
        fail "$windir does not hold the staged files: $(diff <(files "$stage") <(files "$unixdir"))"
    # The Updater's banner names its version; the tools answer --version.
    local run output
    for run in "Updater -h" "virtual-module --version" "update-server --version" \
        "birdtool --version"; do
        set -- $run
        if ! output=$("$wine" "$unixdir/bin/$1.exe" "$2" 2>&1); then
            fail "$1.exe $2 failed: $output"
        elif [[ "$output" != *"$version"* ]]; then
            fail "$1.exe $2 does not name $version: $output"
        fi
    done
    [ "$(registry "$key" InstallLocation)" = "$windir" ] ||
        fail "InstallLocation is '$(registry "$key" InstallLocation)', not $windir"
    local path_after
    path_after=$(registry "$environment" Path)
    if [ "$choice" = 1 ]; then
        [ "$path_after" = "$path_before;$windir\\bin" ] || fail "PATH is '$path_after' after /PATH=1"
    else
        [ "$path_after" = "$path_before" ] || fail "PATH changed with /PATH=0: '$path_after'"
    fi

    echo "the user's own" >"$unixdir/notes.txt"
    "$wine" "$unixdir/uninstall.exe" /S || fail "the uninstaller ended with status $?"
    await_uninstalled
    [ "$(cd "$unixdir" && find . ! -name . | sort)" = "./notes.txt" ] ||
        fail "the uninstaller left $(cd "$unixdir" && find . ! -name . ! -name notes.txt)"
    [ "$(registry "$environment" Path)" = "$path_before" ] ||
        fail "PATH is '$(registry "$environment" Path)' after uninstalling, was '$path_before'"
    rm -rf "$unixdir"
}

drive_c=$WINEPREFIX/drive_c
check_install 'C:\Program Files\Corvane' "$drive_c/Program Files/Corvane" 0
check_install 'C:\CorvaneTest' "$drive_c/CorvaneTest" 1 '/D=C:\CorvaneTest'

# A bad choice is refused before anything is installed.
if "$wine" "$setup" /S /PATH=yes '/D=C:\CorvaneRefused'; then
    fail "/PATH=yes was taken"
fi
[ ! -e "$drive_c/CorvaneRefused" ] || fail "/PATH=yes installed something"

[ $failures -eq 0 ] && echo "installer: all checks passed"
exit $((failures > 0))
