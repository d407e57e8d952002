#!/usr/bin/env bash
# The package lane. Usage: package_test.sh deb|install|manpages|demo BUILD_DIR SOURCE_DIR VERSION
#   deb       builds the Debian package with CPack, checks its control fields and contents,
#             unpacks it into a scratch root, runs the programs and completions from there and
#             runs lintian on it
#   install   cmake --install --strip with DESTDIR and a prefix of its own; the same checks on
#             that tree, and that the programs are stripped
#   manpages  every manual page renders without a warning, and names every message its program
#             can print on standard error
#   demo      make demo's targets build without compiling any test or benchmark
# Nothing is installed on the machine itself.
set -euo pipefail

lane=$1
build=$(cd "$2" && pwd)
source=$(cd "$3" && pwd)
version=$4
programs=(fwpush bufterm seslist sesim)

work=$(mktemp -d "${TMPDIR:-/tmp}/sesmaint-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

need() {
    command -v "$1" >/dev/null || { echo "FAIL: $1 is missing (make deps installs it)" >&2; exit 1; }
}

# expect_status STATUS NAME COMMAND...: runs COMMAND, output in $work/NAME.out and .err.
expect_status() {
    local want=$1 name=$2 got=0
    shift 2
    "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null || got=$?
    if [ "$got" -ne "$want" ]; then
        fail "$name: exit status $got, expected $want: $*"
        sed 's/^/    /' "$work/$name.out" "$work/$name.err" >&2
        return 1
    fi
}

expect_line() { # FILE PATTERN (fixed string, whole line)
    grep -qxF -- "$2" "$1" || { fail "$1 lacks the line '$2'"; sed 's/^/    /' "$1" >&2; }
}

expect_text() { # FILE TEXT (fixed string, anywhere)
    grep -qF -- "$2" "$1" || { fail "$1 lacks '$2'"; sed 's/^/    /' "$1" >&2; }
}

# Everything an installation must hold, below ROOT/PREFIX.
check_tree() {
    local root=$1 prefix=$2 program
    local base=$root$prefix
    for program in "${programs[@]}"; do
        [ -x "$base/bin/$program" ] || fail "$prefix/bin/$program is missing"
        [ -f "$base/share/man/man1/$program.1.gz" ] || fail "$prefix/share/man/man1/$program.1.gz is missing"
        [ -f "$base/share/bash-completion/completions/$program" ] ||
            fail "$prefix/share/bash-completion/completions/$program is missing"
    done
    [ -n "$(preload_in "$base")" ] || fail "no libsesim_preload.so below $prefix/lib"
    [ -f "$base/share/doc/ses-maint/copyright" ] || fail "$prefix/share/doc/ses-maint/copyright is missing"
    # Nothing outside the prefix.
    local stray
    stray=$(cd "$root" && find . -mindepth 1 \( -type f -o -type l \) | sed 's|^\.||' | grep -v "^$prefix/" || true)
    [ -z "$stray" ] || fail "installed outside $prefix: $stray"
}

preload_in() {
    find "$1/lib" -name libsesim_preload.so 2>/dev/null | head -n 1
}

# The programs as installed under BIN: usage texts, then a rehearsal on a simulated enclosure
# (staged download, activation, console), with the preload library found beside sesim.
run_programs() {
    local bin=$1 libroot=$2 enc=$work/enclosure image=$work/fw-0200.img
    local -a clean=(env -u SESIM_PRELOAD -u SESIM_ATTACH -u LD_PRELOAD PATH=/usr/bin:/bin)

    # Help and version where people look for them: standard output, exit status 0, nothing on
    # standard error. --version acts when fwpush's parser reaches it, as -h does. The usage texts
    # that come with an error are the e2e tests'.
    local -A asked=(
        [fwpush-version]="fwpush --version|fwpush version 1.04"
        [fwpush-version-late]="fwpush -d -p=512 --version|fwpush version 1.04"
        [fwpush-help]="fwpush -h -h|Command usage: fwpush [options] <dev> <fw file>"
        [bufterm-version]="bufterm --version|bufterm version 01.01"
        [bufterm-h]="bufterm -h|Usage: bufterm <device> [command]"
        [bufterm-help]="bufterm --help|SES enclosure console, version 01.01"
        [sesim-version]="sesim --version|sesim version $version"
        [seslist-version]="seslist --version|seslist version $version"
    )
    local name words
    for name in "${!asked[@]}"; do
        read -r -a words <<<"${asked[$name]%%|*}"
        if expect_status 0 "$name" "${clean[@]}" "$bin/${words[0]}" "${words[@]:1}"; then
            expect_line "$work/$name.out" "${asked[$name]#*|}"
            [ ! -s "$work/$name.err" ] || fail "$name wrote to standard error: $(cat "$work/$name.err")"
        fi
    done
    if expect_status 1 fwpush-rejected-first "${clean[@]}" "$bin/fwpush" -x --version; then
        expect_line "$work/fwpush-rejected-first.err" "Invalid argument '-x'"
    fi
    expect_status 0 sesim-init "${clean[@]}" "$bin/sesim" init "$enc" --revision 0100 || return 0
    expect_status 0 sesim-mkimage "${clean[@]}" "$bin/sesim" mkimage --revision 0200 --size 10000 "$image" ||
        return 0

    if expect_status 0 preload "${clean[@]}" "$bin/sesim" run "$enc" -- sh -c 'printf "%s\n" "$LD_PRELOAD"'; then
        case $(cat "$work/preload.out") in
            "$libroot"/*/libsesim_preload.so) ;;
            *) fail "sesim run preloads $(cat "$work/preload.out"), not the library installed below $libroot" ;;
        esac
    fi
    if expect_status 0 download "${clean[@]}" "$bin/sesim" run "$enc" -- "$bin/fwpush" -d /dev/sesim0 "$image"; then
        expect_line "$work/download.out" "Download complete"
    fi
    if expect_status 0 show-staged "${clean[@]}" "$bin/sesim" show "$enc"; then
        expect_line "$work/show-staged.out" "revision: 0100"
        expect_text "$work/show-staged.out" "deferred image: revision 0200 size 10000"
    fi
    expect_status 0 activate "${clean[@]}" "$bin/sesim" run "$enc" -- "$bin/fwpush" -A /dev/sesim0 || true
    if expect_status 0 console "${clean[@]}" "$bin/sesim" run "$enc" -- "$bin/bufterm" /dev/sesim0 rev; then
        expect_line "$work/console.out" "revision 0200"
    fi
    if expect_status 0 seslist "${clean[@]}" "$bin/sesim" run "$enc" -- "$bin/seslist"; then
        expect_text "$work/seslist.out" "/dev/sg0  SESIM   SIM ENCLOSURE  0200"
    fi
    if expect_status 0 show-active "${clean[@]}" "$bin/sesim" show "$enc"; then
        expect_line "$work/show-active.out" "revision: 0200"
        expect_line "$work/show-active.out" "deferred image: none"
    fi
}

# The shipped completions, sourced into a plain bash and asked as bash would ask them.
complete_words() { # COMPLETIONS_DIR FUNCTION WORD...  (the last word is the one being completed)
    local dir=$1 function=$2
    shift 2
    PATH="$bin_for_completion:/usr/bin:/bin" SESIM_ATTACH="/dev/sesim0=/nowhere" bash -c '
        dir=$1 function=$2; shift 2
        for f in "$dir"/*; do . "$f"; done
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
        "$function"
        printf "%s\n" "${COMPREPLY[@]}"' completion "$dir" "$function" "$@"
}

check_completions() {
    local dir=$1 got
    bin_for_completion=$2
    got=$(complete_words "$dir" _fwpush fwpush -)
    for want in -p= -t= -d -a -A -h --version; do
        grep -qxF -- "$want" <<<"$got" || fail "fwpush completion of '-' lacks $want: $got"
    done
    local row words
    for row in "_fwpush fwpush -d /dev/sesim|/dev/sesim0" "_bufterm bufterm /dev/ses|/dev/sesim0" \
        "_seslist seslist --j|--json" "_bufterm bufterm --|--help --version" "_sesim sesim --v|--version" \
        "_sesim sesim power|power-cycle" "_sesim sesim init /tmp/enc --complete-status 0x1|0x10 0x11 0x12" \
        "_sesim sesim run /tmp/enc -- fwpu|fwpush"; do
        read -r -a words <<<"${row%%|*}"
        got=$(complete_words "$dir" "${words[@]}")
        [ "$(echo $got)" = "${row#*|}" ] || fail "completion of '${words[*]:1}' gives '$got'"
    done
}

manual_pages_render() { # PAGE...
    local page warnings
    for page in "$@"; do
        warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man -l $page failed"
        [ -z "$warnings" ] || fail "man --warnings -l $page: $warnings"
    done
}

lane_deb() {
    need cpack
    need dpkg-deb
    need lintian
    local deb root=$work/root
    (cd "$work" && cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake") >"$work/cpack.log" 2>&1 ||
        { sed 's/^/    /' "$work/cpack.log" >&2; fail "cpack failed"; return; }
    deb=$(find "$work/out" -maxdepth 1 -name '*.deb' | head -n 1)
    [ -n "$deb" ] || { fail "cpack made no .deb"; return; }
    echo "package: $(basename "$deb")"

    [ "$(dpkg-deb -f "$deb" Package)" = ses-maint ] || fail "package name $(dpkg-deb -f "$deb" Package)"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version $(dpkg-deb -f "$deb" Version)"
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] ||
        fail "architecture $(dpkg-deb -f "$deb" Architecture)"
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "depends: $depends"
    grep -q 'libc6 (>= ' <<<"$depends" || fail "Depends does not name libc6 with a version: $depends"

    dpkg-deb -x "$deb" "$root"
    check_tree "$root" /usr
    # The changelog's newest entry must be this version, or dpkg tools report another one.
    zcat "$root/usr/share/doc/ses-maint/changelog.gz" | head -n 1 | grep -qF "ses-maint ($version)" ||
        fail "changelog.gz does not start with version $version"
    manual_pages_render "$root"/usr/share/man/man1/*.1.gz
    run_programs "$root/usr/bin" "$root/usr/lib"
    check_completions "$root/usr/share/bash-completion/completions" "$root/usr/bin"

    # Lintian reads the overrides shipped in the package; every other warning or error fails.
    local tags
    tags=$(lintian --fail-on error,warning --display-info "$deb" 2>&1) ||
        fail "lintian: $tags"
    echo "lintian: ${tags:-clean}"
}

# Whether the ELF file has its symbol table (what strip removes).
has_symbols() {
    readelf -S "$1" 2>/dev/null | grep -q '\.symtab'
}

lane_install() {
    need cmake
    need readelf
    local destdir=$work/destdir prefix=/opt/ses-maint file
    DESTDIR=$destdir cmake --install "$build" --prefix "$prefix" --strip >"$work/install.log" 2>&1 ||
        { sed 's/^/    /' "$work/install.log" >&2; fail "cmake --install failed"; return; }
    check_tree "$destdir" "$prefix"
    # Asked to strip, the installation strips every program and the preload library; the build
    # tree keeps its symbols for the debugger.
    for file in "${programs[@]/#/$destdir$prefix/bin/}" "$(preload_in "$destdir$prefix")"; do
        ! has_symbols "$file" || fail "cmake --install --strip left the symbols in $file"
    done
    has_symbols "$build/bin/fwpush" || fail "the build tree's fwpush has no symbols: nothing proves the strip"
    run_programs "$destdir$prefix/bin" "$destdir$prefix/lib"
    check_completions "$destdir$prefix/share/bash-completion/completions" "$destdir$prefix/bin"
}

# A message's fixed parts: the format split at its conversions, pieces of fewer than six
# characters dropped (too common to prove anything).
message_pieces() {
    sed -E 's/\\[nr]//g; s/%[-0-9.]*(ll|l)?[a-z]/\n/g' | sed -E 's/^ +//; s/ +$//' | awk 'length($0) >= 6'
}

# Every message the program prints on standard error appears in its manual page.
messages_documented() { # PAGE SOURCE...
    local page=$1 text piece
    shift
    text=$(MANWIDTH=4000 man -E ascii -l "$page" 2>/dev/null | tr -s ' ')
    local messages
    messages=$(grep -hoE '(fprintf\(stderr, |fputs\(|FailAndExit\([A-Za-z]+, |perror\()"[^"]*"' "$@" |
        sed -E 's/^[^"]*"//; s/"$//' | sort -u)
    while IFS= read -r piece; do
        grep -qF -- "$piece" <<<"$text" || fail "$(basename "$page") does not mention the message text '$piece'"
    done < <(message_pieces <<<"$messages")
}

# make demo builds what the demo runs and nothing else: no test and no benchmark source is
# compiled on the way to its targets.
lane_demo() {
    need ninja
    local targets commands stray
    targets=$(sed -n 's/^DEMO_TARGETS *= *//p' "$source/Makefile")
    [ -n "$targets" ] || { fail "the Makefile names no DEMO_TARGETS"; return; }
    # shellcheck disable=SC2086 # one word per target
    commands=$(ninja -C "$build" -t commands $targets) || { fail "ninja cannot list the demo's build"; return; }
    stray=$(grep -oE "$source/(tests|bench)/[^ ]*" <<<"$commands" | sort -u || true)
    [ -z "$stray" ] || fail "make demo would compile: $stray"
    echo "demo: $(wc -l <<<"$commands") build steps for $targets"
}

lane_manpages() {
    need man
    need groff
    local page out
    for page in "$source"/man/*.1; do
        manual_pages_render "$page"
        out=$(groff -ww -man -z "$page" 2>&1) || fail "groff $page failed"
        [ -z "$out" ] || fail "groff -ww $page: $out"
        if command -v mandoc >/dev/null; then
            out=$(mandoc -T lint -W warning "$page" 2>&1) || fail "mandoc -T lint $page: $out"
        fi
        grep -q "^\.TH [A-Z]* 1 [0-9-]* \"ses-maint $version\"" "$page" || fail "$page does not name version $version"
    done
    for page in fwpush bufterm seslist; do
        messages_documented "$source/man/$page.1" "$source/tools/$page/$page.cpp" \
            "$source/tools/scsiinitiator/linux/scsi_initiator.cpp"
    done
}

case $lane in
    deb) lane_deb ;;
    install) lane_install ;;
    manpages) lane_manpages ;;
    demo) lane_demo ;;
    *) echo "usage: $0 deb|install|manpages|demo BUILD_DIR SOURCE_DIR VERSION" >&2; exit 2 ;;
esac

if [ "$failures" -ne 0 ]; then
    echo "$lane: $failures check(s) failed" >&2
    exit 1
fi
echo "$lane: all checks passed"
