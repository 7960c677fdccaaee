#!/usr/bin/env bash
# Smoke test of the ASIO library's Windows image under wine, in a fresh wine prefix inside the
# build directory: regsvr32 registers it (class and ASIO driver keys), kvasiohost creates the
# class through COM and gets the no-device answers, regsvr32 /u removes the keys again.
#   tools/winsmoke/run.sh BUILD_DIR      (build-windows, after ./kv windows built it)
set -euo pipefail
dir=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
command -v wine >/dev/null || { echo "winsmoke: wine is not installed" >&2; exit 1; }
export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
wine wineboot --init >/dev/null 2>&1
wineserver -w

dll=$(winepath -w "$dir/KV-380DASIO64.dll")
clsid='{64EF5AEC-95AB-4843-A608-7CA3CDB07F3A}'
registered() {  # registered: both the class's server key and an ASIO driver entry naming the class
  wine reg query "HKCR\\CLSID\\$clsid\\InprocServer32" >/dev/null 2>&1 &&
    wine reg query 'HKLM\SOFTWARE\ASIO' /s 2>/dev/null | grep -qi "$clsid"
}
fail() { echo "winsmoke: $*" >&2; wineserver -k || true; exit 1; }

wine regsvr32 /s "$dll" >/dev/null 2>&1 || fail "regsvr32 failed"
registered || fail "regsvr32 did not write the class and driver keys"
echo "winsmoke: registered"
wine "$dir/kvasiohost.exe" 2>/dev/null | tr -d '\r' | sed 's/^/winsmoke: host: /' || fail "the host did not get the no-device answers"
wine regsvr32 /u /s "$dll" >/dev/null 2>&1 || fail "regsvr32 /u failed"
! wine reg query "HKCR\\CLSID\\$clsid" >/dev/null 2>&1 || fail "regsvr32 /u left the class key"
! wine reg query 'HKLM\SOFTWARE\ASIO' /s 2>/dev/null | grep -qi "$clsid" || fail "regsvr32 /u left the driver entry"
echo "winsmoke: unregistered"
wineserver -k || true
