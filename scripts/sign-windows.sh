#!/usr/bin/env bash
# Signs Windows programs and installers (.exe, .msi) in place with Authenticode:
#   KESTO_SIGN_PASSWORD=...            scripts/sign-windows.sh CERT.pfx FILE...
#   KESTO_SIGN_PASSWORD_FILE=pass.txt  scripts/sign-windows.sh CERT.pfx FILE...
# The PFX's password never goes on a command line, where every user of the
# machine can read it in the process list: osslsigncode reads it from a file
# only this user can read, removed at the end. KESTO_SIGN_TIMESTAMP_URL
# (optional) names an RFC 3161 time-stamp server; with it the signatures stay
# valid after the certificate expires.
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: scripts/sign-windows.sh CERT.pfx FILE..." >&2
  exit 64
fi
cert=$1
shift
fail() {
  echo "sign-windows.sh: $*" >&2
  exit 1
}
[ -f "$cert" ] && [ -r "$cert" ] || fail "cannot read the certificate $cert"
for file in "$@"; do
  [ -f "$file" ] && [ -w "$file" ] || fail "cannot write $file"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 700 "$work"
password=$work/password
(
  umask 077
  if [ -n "${KESTO_SIGN_PASSWORD_FILE:-}" ]; then
    [ -r "$KESTO_SIGN_PASSWORD_FILE" ] || fail "cannot read KESTO_SIGN_PASSWORD_FILE $KESTO_SIGN_PASSWORD_FILE"
    # Its first line, without the line end.
    IFS= read -r line <"$KESTO_SIGN_PASSWORD_FILE" || true
    printf '%s' "${line%$'\r'}" >"$password"
  elif [ -n "${KESTO_SIGN_PASSWORD+set}" ]; then
    printf '%s' "$KESTO_SIGN_PASSWORD" >"$password"
  else
    fail "set KESTO_SIGN_PASSWORD or KESTO_SIGN_PASSWORD_FILE to the certificate's password"
  fi
)

timestamp=()
[ -z "${KESTO_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$KESTO_SIGN_TIMESTAMP_URL")
for file in "$@"; do
  # Replaced only once signed, in one rename: a failure leaves it as it was.
  signed=$file.signing
  rm -f "$signed"
  if ! osslsigncode sign -pkcs12 "$cert" -readpass "$password" -h sha256 \
    -n "KESTO firmware writer" "${timestamp[@]}" -in "$file" -out "$signed" >/dev/null; then
    rm -f "$signed"
    fail "signing $file failed"
  fi
  mv -f "$signed" "$file"
  echo "signed $file"
done
