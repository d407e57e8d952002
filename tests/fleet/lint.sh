#!/usr/bin/env bash
# The collection's own checks: yamllint and ansible-lint clean, and every plugin and the role
# documented for ansible-doc. Usage: lint.sh SOURCE_DIR
set -euo pipefail
collection=$1/ansible
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ses-fleet-lint.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

(cd "$collection" && yamllint --strict .) || fail "yamllint"
(cd "$collection" && ansible-lint --profile production --offline --nocolor) || fail "ansible-lint"
ansible-galaxy collection build --output-path "$scratch" "$collection" >/dev/null
export ANSIBLE_COLLECTIONS_PATH=$scratch/collections
ansible-galaxy collection install --offline -p "$ANSIBLE_COLLECTIONS_PATH" "$scratch"/ses-maint-*.tar.gz >/dev/null
for plugin in "module ses.maint.enclosure_info" "module ses.maint.enclosure_firmware" \
    "callback ses.maint.rollout_summary" "role ses.maint.rolling_update"; do
    # shellcheck disable=SC2086 # type and name are two words
    ansible-doc -t $plugin >"$scratch/doc" 2>&1 && ! grep -q '^\[WARNING\]\|^ERROR' "$scratch/doc" ||
        { fail "ansible-doc -t $plugin"; cat "$scratch/doc" >&2; }
done
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "yamllint, ansible-lint and ansible-doc: clean"
