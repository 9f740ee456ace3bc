#!/usr/bin/env bash
# Builds the Debian package with cpack into a temporary folder and checks
# its control fields, its file list, and that what it carries is current.
# usage: deb_test.sh SOURCE_DIR BUILD_DIR VERSION
set -u
src=$1 build=$2 version=$3
. "$(dirname "$0")/../support/testlib.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  exit 1
fi
arch=$(dpkg --print-architecture)
deb=$work/kesp_${version}_$arch.deb
if [[ ! -f $deb ]]; then
  fail "no $(basename "$deb"); cpack made: $(ls "$work")"
  exit 1
fi
dpkg-deb -I "$deb" >"$work/info" 2>&1 || fail "dpkg-deb -I: $(cat "$work/info")"

field() { dpkg-deb -f "$deb" "$1"; }
while IFS='|' read -r name want; do
  got=$(field "$name")
  [[ $got == "$want" ]] || fail "$name is [$got], want [$want]"
done <<EOF
Package|kesp
Version|$version
Architecture|$arch
Maintainer|kesp maintainers <maintainers@kesp.invalid>
Section|embedded
EOF
# The libraries the programs link, whether found by dpkg-shlibdeps or listed,
# and libpq and libsqlite3, which they load only when a record of their kind
# is named.
depends=$(field Depends | tr ',' '\n' | sed -E 's/^ *([^ (]+).*/\1/')
for lib in libc6 libstdc++6 libgcc-s1 libnettle8 libpq5 libsqlite3-0; do
  grep -qxF "$lib" <<<"$depends" || fail "Depends lacks $lib: $(field Depends)"
done
description=$(field Description)
[[ $(head -n 1 <<<"$description") == *flash* ]] || fail "summary: $description"
(($(wc -l <<<"$description") > 2)) || fail "no long description: $description"

# Exactly these files, programs executable, all owned by root.
files=$(dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ { print $1, $2, $6 }' | sort)
want=$(sort <<'EOF'
-rwxr-xr-x root/root ./usr/bin/kesp
-rwxr-xr-x root/root ./usr/bin/kesp-batch
-rwxr-xr-x root/root ./usr/bin/kesp-sim
-rwxr-xr-x root/root ./usr/bin/kesp-units
-rw-r--r-- root/root ./usr/share/bash-completion/completions/kesp
-rw-r--r-- root/root ./usr/share/bash-completion/completions/kesp-batch
-rw-r--r-- root/root ./usr/share/bash-completion/completions/kesp-sim
-rw-r--r-- root/root ./usr/share/bash-completion/completions/kesp-units
-rw-r--r-- root/root ./usr/share/doc/kesp/README.md
-rw-r--r-- root/root ./usr/share/doc/kesp/changelog.Debian.gz
-rw-r--r-- root/root ./usr/share/doc/kesp/copyright
-rw-r--r-- root/root ./usr/share/man/man1/kesp-batch.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/kesp-sim.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/kesp-units.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/kesp.1.gz
EOF
  echo "-rw-r--r-- root/root ./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/wireshark/plugins/kesp.lua"
)
want=$(sort <<<"$want")
[[ $files == "$want" ]] || fail "package files differ:
$(diff <(echo "$want") <(echo "$files"))"

# What it carries is what the tree has now, and the programs run.
dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x failed"
for page in kesp kesp-sim kesp-batch kesp-units; do
  zcat "$work/root/usr/share/man/man1/$page.1.gz" | cmp -s - "$src/man/$page.1" ||
    fail "the package's $page.1 is not the tree's"
  cmp -s "$work/root/usr/share/bash-completion/completions/$page" \
    "$src/completion/$page.bash" || fail "the package's $page completion is not the tree's"
done
cmp -s "$work/root/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/wireshark/plugins/kesp.lua" \
  "$src/wireshark/kesp.lua" || fail "the package's kesp.lua is not the tree's"
# The copyright file in Debian's machine-readable format: its header, one
# Files paragraph for everything, and the licence text of the tree's LICENSE.
doc=$work/root/usr/share/doc/kesp
copyright=$doc/copyright
[[ $(head -n 1 "$copyright") == "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ]] ||
  fail "copyright has no Format line: $(head -n 1 "$copyright")"
grep -qx 'Files: \*' "$copyright" || fail "copyright has no Files: * paragraph"
grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' "$src/LICENSE")" "$copyright" ||
  fail "copyright does not name LICENSE's holders"
license=$(awk '/^License: Expat$/ { n++ } n == 2 && /^ / { sub(/^ /, ""); sub(/^\.$/, ""); print }' "$copyright")
[[ $license == "$(sed -n '/^Permission/,$p' "$src/LICENSE")" ]] ||
  fail "copyright's licence text is not LICENSE's:
$(diff <(sed -n '/^Permission/,$p' "$src/LICENSE") <(echo "$license"))"
# The changelog: gzipped, its newest entry the package's version.
[[ $(zcat "$doc/changelog.Debian.gz" | dpkg-parsechangelog -l - -S Version 2>&1) == "$version" ]] ||
  fail "changelog.Debian.gz's newest entry is not $version: $(zcat "$doc/changelog.Debian.gz" | head -n 1)"
zcat "$doc/changelog.Debian.gz" | cmp -s - "$src/packaging/changelog" ||
  fail "the package's changelog is not the tree's"
# lintian, where it is installed: no error (it is too large to install for
# this alone).
if command -v lintian >/dev/null; then
  errors=$(lintian --no-tag-display-limit "$deb" 2>&1 | grep '^E:')
  [[ -z $errors ]] || fail "lintian: $errors"
else
  echo "lintian is not installed: its checks skipped"
fi

"$work/root/usr/bin/kesp" >/dev/null 2>&1
rc=$?
((rc == 255)) || fail "the packaged kesp without arguments exits $rc, not 255"
"$work/root/usr/bin/kesp-sim" --help >/dev/null 2>&1 || fail "the packaged kesp-sim --help fails"
"$work/root/usr/bin/kesp-batch" --help >/dev/null 2>&1 || fail "the packaged kesp-batch --help fails"
"$work/root/usr/bin/kesp-units" --help >/dev/null 2>&1 || fail "the packaged kesp-units --help fails"
# A start pays for no database client and no OpenSSL: no program links them.
for program in kesp kesp-batch kesp-sim kesp-units; do
  needed=$(readelf -d "$work/root/usr/bin/$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  [[ -n $needed ]] || fail "readelf found no libraries in $program"
  bad=$(grep -E '^lib(sqlite3|pq|crypto|ssl)\.' <<<"$needed")
  [[ -z $bad ]] || fail "$program links $(tr '\n' ' ' <<<"$bad")"
done
exit $status
