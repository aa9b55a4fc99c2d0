#!/usr/bin/env bash
# scripts/setup.sh against stand-ins for dpkg, apt-get and sudo that install
# nothing: which packages each choice of switches asks for, that a busy
# package manager is waited for, and that an unknown switch is refused.
#   tests/setup_test.sh <repository>
set -uo pipefail
repo=${1:?usage: $0 REPOSITORY}
dir=$(mktemp -d "${TMPDIR:-/tmp}/tavik_setup_test_XXXXXX")
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/bin"
# Nothing is installed; i386 is already a foreign architecture.
cat >"$dir/bin/dpkg" <<'EOF'
#!/bin/sh
case $1 in
  -s) exit 1 ;;
  --print-foreign-architectures) echo i386 ;;
esac
EOF
# Logs each call; with $dir/busy present, the first install finds the lock
# held, as when another install runs.
cat >"$dir/bin/apt-get" <<EOF
#!/bin/sh
if [ -e "$dir/busy" ] && [ "\$*" != "\${*%install*}" ]; then
  rm "$dir/busy"
  echo "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 1 (apt-get)" >&2
  exit 100
fi
echo "apt-get \$*" >>"$dir/log"
EOF
printf '#!/bin/sh\nexec "$@"\n' >"$dir/bin/sudo"
chmod +x "$dir/bin/"*

run_packages=(build-essential cmake ninja-build nlohmann-json3-dev
              libcli11-dev)
dev_packages=(libgtest-dev googletest libbenchmark-dev clang clang-format
              libclang-rt-14-dev)
windows_packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64
                  wine32:i386 msitools wixl)

passed=0
failed=0
check() {
  local name=$1 args=$2 expected=$3 busy=${4:-}
  rm -f "$dir/log"
  [ -n "$busy" ] && touch "$dir/busy"
  local out status=0
  # shellcheck disable=SC2086
  out=$(PATH="$dir/bin:$PATH" TAVIK_APT_WAIT=60 "$repo/scripts/setup.sh" $args 2>&1) ||
    status=$?
  local asked
  asked=$(grep ' install ' "$dir/log" 2>/dev/null | sed 's/.* -q //' |
    tr ' ' '\n' | sort | tr '\n' ' ')
  local want
  want=$(tr ' ' '\n' <<<"$expected" | grep . | sort | tr '\n' ' ')
  if [ "$status" -ne 0 ] || [ "$asked" != "$want" ] ||
    { [ -n "$busy" ] && ! grep -q 'busy; waiting' <<<"$out"; }; then
    echo "FAILED: setup.sh $args${busy:+ (busy)}: exit $status"
    echo "  asked for: $asked"
    echo "  expected:  $want"
    echo "$out" | sed 's/^/  | /'
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
  fi
}

check running "" "${run_packages[*]}"
check dev "--dev" "${run_packages[*]} ${dev_packages[*]}"
check windows "--windows" \
  "${run_packages[*]} ${dev_packages[*]} ${windows_packages[*]}"
check both "--dev --windows" \
  "${run_packages[*]} ${dev_packages[*]} ${windows_packages[*]}"
check busy "" "${run_packages[*]}" busy

if PATH="$dir/bin:$PATH" "$repo/scripts/setup.sh" --bogus >/dev/null 2>&1; then
  echo "FAILED: setup.sh --bogus was accepted"
  failed=$((failed + 1))
else
  passed=$((passed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
