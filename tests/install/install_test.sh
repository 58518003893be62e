#!/usr/bin/env bash
# Installs the build into a temporary prefix, measures the virtual room with
# the installed program, plugin and configuration alone, checks that each
# program's man page renders without warnings and names every option of its
# --help, and checks the file list and dependencies of the Debian package.
#   install_test.sh BUILD_DIR SYSTEM_ALSA_CONF PROGRAM...
set -euo pipefail
build=$1 system_conf=$2
shift 2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for program in "$@"; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program not installed"
  page=$prefix/share/man/man1/$program.1.gz
  warnings=$(LC_ALL=C MANWIDTH=100 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man -l $page"
  [ -z "$warnings" ] || fail "man page of $program: $warnings"
  text=$(LC_ALL=C MANWIDTH=100 man -l "$page")
  grep -q "^ *$program - " <<<"$text" || fail "man page of $program: no NAME line"
  help=$("$prefix/bin/$program" --help)
  [[ $help == "Usage: $program"* ]] || fail "$program --help"
  for option in $(grep -oE '(^  |\[|, )--?[a-z][a-z-]*' <<<"$help" | tr -d '[ ,' | sort -u); do
    grep -qFe "$option" <<<"$text" || fail "man page of $program lacks $option"
  done
done

# The installed configuration names the installed plugin; nothing of the
# build tree is on the path.
mkdir "$tmp/run"
(cd "$tmp/run" && printf 'c room r c x\n' |
  ALSA_CONFIG_PATH="$system_conf:$prefix/share/quelmar/vcard.conf" "$prefix/bin/quelmar" >out.txt) ||
  fail "installed program: exit status $?"
[ "$(grep -c '^Results:' "$tmp/run/sweep_out.txt")" = 1 ] || fail "no result block"
[ "$(grep -cP '^\d+\t' "$tmp/run/sweep_out.txt")" = 31 ] || fail "not 31 bands"

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >/dev/null
deb=$(ls "$tmp"/pkg/quelmar_*.deb)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
plugin=/usr/lib/$multiarch/alsa-lib/libasound_module_pcm_vcard.so
doc=./usr/share/doc/quelmar
expected=$( (printf './usr/bin/%s\n' "$@"; printf './usr/share/man/man1/%s.1.gz\n' "$@"
             echo ".$plugin"; echo ./usr/share/quelmar/vcard.conf; echo "$doc/copyright"
             printf "$doc/%s\n" README.md tools/virtual-card/README.md docs/example-response.svg \
                    docs/example-eq.svg docs/example-impulse.svg docs/example-phase.svg \
                    docs/example-waterfall.svg docs/example-distortion.svg) | sort)
got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
[ "$got" = "$expected" ] || fail "package files: $got"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'libasound2' <<<"$depends" || fail "Depends lacks libasound2: $depends"
conf=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/quelmar/vcard.conf)
grep -qF "lib \"$plugin\"" <<<"$conf" || fail "packaged configuration does not name $plugin"
# The packaged README tells how to include the configuration from ~/.asoundrc
# after either kind of install.
includes=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO "$doc/README.md" | grep -oE '^ *</[^>]*>' | tr -d ' ')
[ "$includes" = "$(printf '</usr/local/share/quelmar/vcard.conf>\n</usr/share/quelmar/vcard.conf>')" ] ||
  fail "README's ~/.asoundrc lines: $includes"
echo "install: $# programs, plugin and configuration installed; room measured; package holds $(echo "$got" | wc -l) files"
