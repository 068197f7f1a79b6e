#!/usr/bin/env bash
# The install tree (cmake --install into a DESTDIR) and the man pages: every file in its
# place, pages groff reads without a warning, every option of the help in its page, a
# desktop entry desktop-file-validate accepts.
#   check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}

DESTDIR="$dest" cmake --install "$build" --prefix /usr >/dev/null
expected=(usr/bin/relicta usr/share/man/man1/relicta.1.gz
  usr/share/bash-completion/completions/relicta usr/share/doc/relicta/copyright
  usr/share/doc/relicta/changelog.gz)
if [[ -x $build/bin/relicta-gui ]]; then
  expected+=(usr/bin/relicta-gui usr/share/man/man1/relicta-gui.1.gz
    usr/share/applications/relicta-gui.desktop usr/share/icons/hicolor/scalable/apps/relicta.svg
    usr/share/polkit-1/actions/org.relicta.relicta-gui.policy)
fi
for file in "${expected[@]}"; do
  [[ -f $dest/$file ]] || fail "not installed: $file"
done

# The page as a reader sees it, and the options the program's help gives.
page_text() { zcat "$1" | groff -man -Tascii -P-c -P-b -P-u 2>/dev/null; }
check_page() {
  local page=$1 help=$2 warnings option
  warnings=$(zcat "$page" | groff -man -ww -z 2>&1) || true
  [[ -z $warnings ]] || fail "$(basename "$page"): $warnings"
  for option in $(grep -o -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
    grep -q -- "$option" <<<"$(page_text "$page")" || fail "$(basename "$page") lacks $option"
  done
}
help=$("$build/bin/relicta" --help)
for command in drives info scan recover; do
  help+=$'\n'$("$build/bin/relicta" "$command" --help)
done
check_page "$dest/usr/share/man/man1/relicta.1.gz" "$help"
if [[ -x $build/bin/relicta-gui ]]; then
  check_page "$dest/usr/share/man/man1/relicta-gui.1.gz" "$(env -u DISPLAY "$build/bin/relicta-gui" --help)"
  if command -v desktop-file-validate >/dev/null; then
    out=$(desktop-file-validate "$dest/usr/share/applications/relicta-gui.desktop" 2>&1) || fail "$out"
    [[ -z $out ]] || fail "desktop entry: $out"
  fi
fi
policy=$dest/usr/share/polkit-1/actions/org.relicta.relicta-gui.policy
if [[ -f $policy ]]; then
  grep -q '"org.freedesktop.policykit.exec.path">/usr/bin/relicta-gui<' "$policy" ||
    fail "polkit action does not name /usr/bin/relicta-gui"
  if command -v xmllint >/dev/null; then
    xmllint --noout "$policy" || fail "polkit action is not well-formed"
  fi
fi
bash -n "$dest/usr/share/bash-completion/completions/relicta" || fail "completion does not parse"
[[ $("$build/bin/relicta" --version) == "relicta "* ]] || fail "relicta --version"
exit "$failed"
