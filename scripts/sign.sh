#!/usr/bin/env bash
# Signs Windows programs (the installer SolvendaleSetup.exe, the setup
# package, its uninstaller) with Authenticode, in place, using osslsigncode
# and a code-signing certificate with its private key in a PKCS#12 file:
#
#   SOLVENDALE_SIGN_PKCS12     the PKCS#12 (.p12/.pfx) file (required)
#   SOLVENDALE_SIGN_PASSWORD   its password (optional)
#   SOLVENDALE_TIMESTAMP_URL   an RFC 3161 time-stamp server (optional; a
#                              release should have one, so that the
#                              signature stays valid after the certificate
#                              expires)
#
#   scripts/sign.sh <file>...
#
# The certificate and its password come from the environment only; never
# commit them. Needs osslsigncode (scripts/setup-windows.sh installs it).
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: scripts/sign.sh <file>..." >&2
  exit 2
fi
: "${SOLVENDALE_SIGN_PKCS12:?sign: set SOLVENDALE_SIGN_PKCS12 to the PKCS#12 file}"
command -v osslsigncode >/dev/null || {
  echo "sign: osslsigncode missing; run scripts/setup-windows.sh" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
options=(-pkcs12 "$SOLVENDALE_SIGN_PKCS12" -h sha256 -n "Solvendale")
if [ -n "${SOLVENDALE_SIGN_PASSWORD:-}" ]; then
  # From a file, so that the password never shows in a process list.
  (umask 077 && printf '%s' "$SOLVENDALE_SIGN_PASSWORD" > "$work/password")
  options+=(-readpass "$work/password")
fi
if [ -n "${SOLVENDALE_TIMESTAMP_URL:-}" ]; then
  options+=(-ts "$SOLVENDALE_TIMESTAMP_URL")
fi

for file in "$@"; do
  signed=$work/signed
  rm -f "$signed"
  if ! osslsigncode sign "${options[@]}" -in "$file" -out "$signed" >"$work/log" 2>&1; then
    cat "$work/log" >&2
    echo "sign: signing $file failed" >&2
    exit 1
  fi
  cat "$signed" > "$file"
  echo "sign: signed $file"
done
