#!/usr/bin/env bash
# The Windows packages in the Wine prefix WINEPREFIX (its wineserver running):
# signed with a throw-away certificate, they verify; the MSI installs silently
# with its shortcut and firewall action; a higher version replaces it, an older
# one is refused over it; /x removes it all.
set -euo pipefail
cd "$(dirname "$0")/../.."
: "${WINEPREFIX:?the Wine prefix to install into}"
wine=/usr/lib/wine/wine64
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
winpath() { echo "Z:${1//\//\\}"; }
msiexec() { # ACTION MSI LOG
  timeout 300 "$wine" msiexec "$1" "$(winpath "$2")" /qn /l*v "$(winpath "$3")" </dev/null
}
# Add/Remove Programs: the number of entries, their versions.
products() {
  timeout 60 "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s \
    </dev/null | tr -d '\r' | awk '/^HKEY/ { if (ours) printf "%s ", version; ours = 0 }
      /DisplayName +REG_SZ +KESTO firmware writer$/ { ours = 1 }
      /DisplayVersion +REG_SZ/ { version = $3 } END { if (ours) printf "%s ", version }'
}
folder="$WINEPREFIX/drive_c/Program Files/KESTO firmware writer"
shortcut() { find "$WINEPREFIX/drive_c" -name 'KESTO firmware writer.lnk' | head -n 1; }

# A throw-away certificate; its password only in a file of this user's.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=KESTO test signing" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
(umask 077 && echo "throw-away $$" >"$work/password")
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.pfx" \
  -passout "file:$work/password"
KESTO_SIGN_CERT=$work/cert.pfx KESTO_SIGN_PASSWORD_FILE=$work/password \
  scripts/package-windows.sh --out "$work/now" >/dev/null
version=$(sed -n 's/^project(KestoFirmwareWriter VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
IFS=. read -r major minor build _ <<<"$version"
next=$major.$minor.$((build + 1)).0
scripts/package-windows.sh --version "$next" --out "$work/next" >/dev/null
msi=$work/now/kesto-fw-$version-x64.msi
higher=$work/next/kesto-fw-$next-x64.msi
(mkdir "$work/zip" && cd "$work/zip" && cmake -E tar xf "$work/now/kesto-fw-windows-x64.zip")
for file in "$msi" "$work/zip"/*/*.exe; do
  osslsigncode verify -CAfile "$work/cert.pem" -in "$file" >/dev/null || fail "signature of $file"
done
osslsigncode verify -CAfile "$work/cert.pem" -in "$higher" >/dev/null 2>&1 &&
  fail "the package built without KESTO_SIGN_CERT is signed"

msiexec /i "$msi" "$work/install.log" || fail "install (log: $(cat "$work/install.log"))"
timeout 60 "$wine" "C:\\Program Files\\KESTO firmware writer\\kesto-fw.exe" --version </dev/null |
  grep -q '^kesto-fw Version' || fail "the installed kesto-fw.exe does not run"
[ -n "$(shortcut)" ] || fail "no Start-menu shortcut"
grep -q 'Action start .*: FirewallAdd\.' "$work/install.log" &&
  grep -q 'Action ended .*: FirewallAdd\. Return value' "$work/install.log" ||
  fail "the firewall action did not run"
[ "$(products)" = "$version " ] || fail "not one product $version: $(products)"

msiexec /i "$higher" "$work/upgrade.log" || fail "upgrade"
[ "$(products)" = "$next " ] || fail "not one product $next after the upgrade: $(products)"
[ -f "$folder/kesto-fw.exe" ] || fail "upgrade lost the files"

msiexec /i "$msi" "$work/downgrade.log" && fail "an older version went over a newer one"
[ "$(products)" = "$next " ] || fail "the downgrade changed the product: $(products)"
# Wine's log leaves out the refusal's text; Windows shows it (and logs it).
msiinfo export "$msi" LaunchCondition | grep -q 'A newer version .* is already installed' ||
  fail "the refused downgrade does not say why"

msiexec /x "$higher" "$work/remove.log" || fail "uninstall"
grep -q 'Action ended .*: FirewallRemove\. Return value' "$work/remove.log" ||
  fail "the firewall removal did not run"
[ ! -e "$folder/kesto-fw.exe" ] && [ ! -e "$folder/kesto-fw-gui.exe" ] || fail "files left behind"
[ -z "$(shortcut)" ] || fail "shortcut left behind"
[ -z "$(products)" ] || fail "the product is still listed"
echo "MSI under Wine: signed, installed, upgraded, downgrade refused, removed"
