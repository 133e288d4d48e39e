#!/bin/bash
# Builds the Debian package from a build tree and checks what a user of it gets: the control data
# and maintainer scripts, the installed layout, the desktop entries, the systemd units, the bash
# completion, and lintian's verdict.
# Usage: package.sh CPACK BUILD_DIR MAN_PAGES(yes|no)
set -u

cpack=$1
build=$2
man_pages=$3

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
have() {
    if command -v "$1" >/dev/null; then
        return 0
    fi
    echo "SKIP: $1 is missing"
    return 1
}

if ! command -v dpkg-deb >/dev/null; then
    echo "[package] SKIP: dpkg-deb is missing"
    exit 0
fi

tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT

# --- building ------------------------------------------------------------------------------------
if ! "$cpack" --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log"
    echo "FAIL: cpack could not build the package"
    exit 1
fi
debs=("$tmp"/out/*.deb)
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    cat "$tmp/cpack.log"
    echo "FAIL: cpack made ${#debs[@]} packages, not one: ${debs[*]}"
    exit 1
fi
deb=${debs[0]}
echo "package: $deb"

# --- control data --------------------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = harbolt ] || fail "Package is '$(field Package)'"
depends=$(field Depends)
echo "Depends: $depends"
# dpkg-shlibdeps ran: the C library and Qt come from the binaries, adduser from the list.
for dependency in libc6 libqt6core6 libqt6widgets6 adduser; do
    case ", $depends" in
    *", $dependency "* | *", $dependency,"* | *", $dependency") ;;
    *) fail "Depends lacks $dependency" ;;
    esac
done
description=$(field Description)
synopsis=${description%%$'\n'*}
[ -n "$synopsis" ] && [ "${#synopsis}" -le 80 ] || fail "bad synopsis '$synopsis'"
[ "$(printf '%s\n' "$description" | wc -l)" -gt 3 ] || fail "no long description"
long_first=$(printf '%s\n' "$description" | sed -n '2s/^ *//p')
[ "$long_first" != "$synopsis" ] || fail "the long description repeats the synopsis"

dpkg-deb -e "$deb" "$tmp/control"
for script in postinst prerm postrm; do
    mode=$(stat -c %a "$tmp/control/$script" 2>/dev/null)
    [ "$mode" = 755 ] || fail "maintainer script $script has mode '${mode:-missing}', not 755"
done
grep -qx /etc/xdg/autostart/harbolt.desktop "$tmp/control/conffiles" 2>/dev/null ||
    fail "the autostart entry is no conffile"
[ -s "$tmp/control/md5sums" ] || fail "no md5sums"

# Every file belongs to root, whoever built the package.
owners=$(dpkg-deb -c "$deb" | awk '$2 != "root/root" { print $2, $NF }')
[ -z "$owners" ] || fail "files not owned by root: $owners"

# --- layout --------------------------------------------------------------------------------------
root=$tmp/root
dpkg-deb -x "$deb" "$root"
expected="usr/bin/harbolt usr/libexec/harbolt-desktop
usr/share/harbolt/online.ico usr/share/harbolt/offline.ico usr/share/harbolt/email.ico
usr/share/harbolt/online.wav usr/share/harbolt/offline.wav usr/share/harbolt/email.wav
usr/share/applications/harbolt.desktop etc/xdg/autostart/harbolt.desktop
usr/lib/systemd/system/harbolt.service usr/lib/systemd/user/harbolt.service
usr/share/bash-completion/completions/harbolt
usr/share/doc/harbolt/README.md usr/share/doc/harbolt/copyright usr/share/doc/harbolt/changelog.gz
usr/share/doc/harbolt/examples/harbolt-follow-time-master.conf"
for size in 16 24 32 48 64 128 256; do
    expected="$expected usr/share/icons/hicolor/${size}x$size/apps/harbolt.png"
done
if [ "$man_pages" = yes ]; then
    expected="$expected usr/share/man/man1/harbolt.1.gz usr/share/man/man5/phonebook.conf.5.gz"
else
    echo "SKIP: the man pages are not built in this tree"
fi
for path in $expected; do
    [ -f "$root/$path" ] || fail "the package lacks /$path"
done
for program in usr/bin/harbolt usr/libexec/harbolt-desktop; do
    [ -x "$root/$program" ] || fail "/$program is not executable"
done
# A program run from the package finds its own version.
"$root/usr/bin/harbolt" --version | grep -q "^harbolt [0-9]" || fail "harbolt --version fails"
if have file; then
    for program in usr/bin/harbolt usr/libexec/harbolt-desktop; do
        file "$root/$program" | grep -q ", stripped" || fail "/$program is not stripped"
    done
    for size in 16 48 256; do
        file "$root/usr/share/icons/hicolor/${size}x$size/apps/harbolt.png" |
            grep -q "PNG image data, $size x $size," || fail "the ${size}px icon has another size"
    done
fi
gzip -t "$root/usr/share/doc/harbolt/changelog.gz" 2>/dev/null || fail "changelog.gz is no gzip"

# --- desktop entries and units -------------------------------------------------------------------
if have desktop-file-validate; then
    for entry in usr/share/applications/harbolt.desktop etc/xdg/autostart/harbolt.desktop; do
        desktop-file-validate "$root/$entry" || fail "desktop-file-validate rejects /$entry"
    done
fi
grep -qx "ExecStart=/usr/bin/harbolt --headless --data-dir /var/lib/harbolt --control-group harbolt" \
    "$root/usr/lib/systemd/system/harbolt.service" || fail "the system unit runs something else"
grep -qx "ExecStart=/usr/bin/harbolt --headless" "$root/usr/lib/systemd/user/harbolt.service" ||
    fail "the user unit runs something else"
if have systemd-analyze; then
    # verify wants the program of ExecStart to exist: each unit is checked as a copy that runs the
    # unpacked one, and looks up its Documentation= pages among the package's own. The system
    # unit is checked with the example drop-in that grants the clock.
    man=--man=no
    [ "$man_pages" = yes ] && man=--man=yes
    mkdir -p "$tmp/units/system/harbolt.service.d" "$tmp/units/user" "$tmp/runtime"
    cp "$root/usr/share/doc/harbolt/examples/harbolt-follow-time-master.conf" \
        "$tmp/units/system/harbolt.service.d/"
    for unit in system user; do
        sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" \
            "$root/usr/lib/systemd/$unit/harbolt.service" >"$tmp/units/$unit/harbolt.service"
        # Unknown keys are only warned about: any output is a failure here.
        if ! MANPATH="$root/usr/share/man" XDG_RUNTIME_DIR="$tmp/runtime" \
            systemd-analyze verify --$unit $man "$tmp/units/$unit/harbolt.service" \
            >"$tmp/verify.log" 2>&1 || [ -s "$tmp/verify.log" ]; then
            cat "$tmp/verify.log"
            fail "systemd-analyze verify rejects the $unit unit"
        fi
    done
fi

# --- bash completion -----------------------------------------------------------------------------
# Prints what the completion offers for a command line whose last word is being typed.
complete_words() {
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
             _harbolt; printf "%s\n" "${COMPREPLY[@]}"' \
        complete "$root/usr/share/bash-completion/completions/harbolt" "$@"
}
expect_completion() {
    local want=$1
    shift
    complete_words "$@" | grep -qx -- "$want" || fail "'$*' does not complete to $want"
}
expect_completion line harbolt ctl li
expect_completion list harbolt ctl line ""
expect_completion pac harbolt ctl --system p
expect_completion pac harbolt ctl --data-dir /tmp p
expect_completion --json harbolt ctl line list --
expect_completion up harbolt ctl line dsl ""
expect_completion --control-group harbolt --control
expect_completion sim harbolt --dialup s
[ -z "$(complete_words harbolt ctl quit "")" ] || fail "quit takes no words, yet some are offered"
# Every command ctl knows is offered.
offered=$(complete_words harbolt ctl "")
for command in $("$root/usr/bin/harbolt" ctl --help | sed -n 's/^      \([a-z][a-z-]*\).*/\1/p' | sort -u); do
    grep -qx -- "$command" <<<"$offered" || fail "ctl $command is not completed"
done

# --- maintainer scripts --------------------------------------------------------------------------
# Run against stand-ins of the account tools, which keep their accounts in files; the data
# directory is moved into the scratch directory so that no real one is touched.
mkdir -p "$tmp/bin" "$tmp/db"
cat >"$tmp/bin/stand-in" <<EOF
#!/bin/sh
tool=\${0##*/}
echo "\$tool \$*" >>"$tmp/calls"
for last; do :; done
case \$tool in
getent) test -e "$tmp/db/\$1.\$2" ;;
addgroup) touch "$tmp/db/group.\$last" ;;
adduser) touch "$tmp/db/passwd.\$last" ;;
delgroup) rm "$tmp/db/group.\$last" ;;
deluser) rm "$tmp/db/passwd.\$last" ;;
esac
EOF
chmod 755 "$tmp/bin/stand-in"
for tool in getent addgroup adduser delgroup deluser systemctl deb-systemd-invoke; do
    ln -s stand-in "$tmp/bin/$tool"
done
run_script() {
    sed "s|/var/lib/harbolt|$tmp/state|g" "$tmp/control/$1" >"$tmp/script"
    shift
    PATH="$tmp/bin:$PATH" sh "$tmp/script" "$@" || fail "maintainer script fails: $*"
}
run_script postinst configure ""
grep -q "^adduser --system .*--ingroup harbolt .*--home $tmp/state .*--shell /usr/sbin/nologin .*harbolt$" \
    "$tmp/calls" || fail "postinst does not create the system user harbolt: $(cat "$tmp/calls")"
[ -e "$tmp/db/group.harbolt" ] && [ -e "$tmp/db/passwd.harbolt" ] ||
    fail "postinst leaves the account incomplete"
: >"$tmp/calls"
run_script postinst configure 0.1.0
! grep -q "^add" "$tmp/calls" || fail "a second configure creates the account again"
mkdir -p "$tmp/state"
run_script postrm remove
[ -d "$tmp/state" ] && [ -e "$tmp/db/passwd.harbolt" ] || fail "remove takes the data or account"
run_script postrm purge
[ ! -e "$tmp/state" ] || fail "purge leaves the data directory"
[ ! -e "$tmp/db/passwd.harbolt" ] && [ ! -e "$tmp/db/group.harbolt" ] ||
    fail "purge leaves the account"

# --- lintian -------------------------------------------------------------------------------------
if have lintian; then
    lintian --allow-root --tag-display-limit 0 "$deb" >"$tmp/lintian.log" 2>&1
    cat "$tmp/lintian.log"
    grep -q "^E:" "$tmp/lintian.log" && fail "lintian reports errors"
fi

if [ "$failures" -ne 0 ]; then
    echo "[package] $failures checks failed"
    exit 1
fi
echo "[package] all checks passed"
