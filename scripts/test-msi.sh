#!/usr/bin/env bash
# The Windows Installer packages, installed and removed silently by Wine's
# msiexec, the way a deployment tool runs them:
#  - Tavik's own package (the target msi): installed, the programs in place,
#    vmpkg.exe runs, the folder on the system PATH; the next version over it
#    leaves one product; the older one over that is refused; removed,
#    nothing is left;
#  - library packages (scripts/make-library-msi.sh) of the demo library:
#    installed machine-wide, listed in both registry views and completed;
#    repaired (every file put back), completed again; a second one
#    installed; version N+1 over N, one product, one entry each, completed;
#    one removed while the other stays listed; the last removed, the list
#    and the keys it emptied gone; one without its media folder fails and
#    leaves nothing; a per-user one is listed for the user only;
#  - the tables wixl is known to get wrong (action order, custom action
#    types, the PATH row), in every package made, for the other
#    architecture's build too when it exists.
#
#   scripts/test-msi.sh [BUILD_DIR]
#
# BUILD_DIR is a Windows cross build (default build-win32 where the host
# runs 32-bit x86 programs, else build-win64; see scripts/wine-loader.sh;
# TAVIK_WIN32_BUILD and TAVIK_WIN64_BUILD name other folders for the two);
# its target msi is built first. Each msiexec run writes a verbose log
# (/l*v), printed when the run fails. Runs in a prefix of its own; quiet
# unless something fails, then exits 1. TAVIK_MSI_KEEP=1 keeps the scratch
# folder (prefix, packages, logs) and names it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-loader.sh
# The other architecture's build, when there is one, has its packages made
# and their tables checked, but not installed.
win32=${TAVIK_WIN32_BUILD:-build-win32} win64=${TAVIK_WIN64_BUILD:-build-win64}
if [ "$TAVIK_HOST_X86_32" = yes ]; then
  build=${1:-$win32} other=$win64
else
  build=${1:-$win64} other=$win32
fi
build=$(cd "$build" && pwd -P)
[ $# -eq 0 ] && [ -f "$other/Tavik.exe" ] || other=""

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
scratch=$(mktemp -d /tmp/tavik_msi_XXXXXX)
export WINEPREFIX=$scratch/prefix
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "${TAVIK_MSI_KEEP:-}" ]; then echo "msi: kept $scratch" >&2; else rm -rf "$scratch"; fi
}
trap cleanup EXIT

# A failed check shows the log of the msiexec run it followed.
last_log=""
fail() {
  [ -z "$last_log" ] || show_log "$last_log"
  echo "FAILED: msi: $*" >&2
  exit 1
}
# A path of this machine as Wine's Z: drive names it.
winpath() {
  local p=${1//\//\\}
  echo "Z:$p"
}
wine_run() {
  timeout 300 "$wine_loader" "$@"
}

# msiexec ARGS... PACKAGE LOG: runs msiexec silently with a verbose log and
# sets `status` to its exit code (Wine cuts it to 8 bits: 1603 arrives as 67).
runs=0
msiexec() {
  local log=${*: -1}
  local args=("${@:1:$#-1}")
  runs=$((runs + 1))
  last_log=$log
  status=0
  wine_run msiexec "${args[@]}" /qn /l*v "$(winpath "$log")" >/dev/null 2>&1 ||
    status=$?
}
show_log() {
  echo "--- msiexec log $1:" >&2
  # Wine writes the log in the ANSI code page.
  iconv -f WINDOWS-1252 -t UTF-8 "$1" 2>/dev/null | tr -d '\r' >&2 || cat "$1" >&2
}
# install_ok /i|/x NAME PACKAGE [PROPERTY=VALUE...]: must exit 0.
install_ok() {
  local log=$scratch/logs/$runs-$2.log
  msiexec "$1" "$(winpath "$3")" "${@:4}" "$log"
  [ "$status" = 0 ] || fail "msiexec $1 $3 ${*:4} ($2) exited $status"
}

# The LibraryPaths entries of KEY in VIEW (32 or 64), one a line, read with
# reg export, which writes UTF-16 and so shows non-ASCII paths exactly.
list() {
  local file=$scratch/export.reg
  rm -f "$file"
  wine_run reg export "$1" "$(winpath "$file")" /y "/reg:$2" >/dev/null 2>&1 || return 0
  iconv -f UTF-16LE -t UTF-8 "$file" | tr -d '\r' |
    sed -n 's/^"LibraryPaths"="\(.*\)"$/\1/p' | sed 's/\\\\/\\/g' | tr '|' '\n' |
    sed '/^$/d'
}
key_exists() {
  wine_run reg query "$1" "/reg:$2" >/dev/null 2>&1
}
machine='HKLM\Software\Velmora\VLMRAssetLibrary\2011'
user='HKCU\Software\Velmora\VLMRAssetLibrary\2011'
# expect_list KEY VIEWS EXPECTED WHAT [sorted]: the list is EXPECTED (lines)
# exactly, or with `sorted` in any order.
expect_list() {
  local view got expected=$3
  [ "${5:-}" = sorted ] && expected=$(sort <<<"$expected")
  for view in $2; do
    got=$(list "$1" "$view")
    [ "${5:-}" = sorted ] && got=$(sort <<<"$got")
    [ "$got" = "$expected" ] ||
      fail "$4: $1 /reg:$view lists [${got//$'\n'/|}], expected [${expected//$'\n'/|}]"
  done
}
# expect_no_key KEY VIEWS WHAT
expect_no_key() {
  local view
  for view in $2; do
    ! key_exists "$1" "$view" || fail "$3: $1 /reg:$view is left"
  done
}
product_code() {
  msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p'
}
# Whether a product is installed: its entry in Programs and Features, in
# either view (a 32-bit package's entry may be written to either).
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
installed() {
  key_exists "$uninstall_key\\$1" 64 || key_exists "$uninstall_key\\$1" 32
}

# The tables that wixl is known to get wrong, checked in every package made
# (cmake/check_msi_tables.cmake, also a test of the Windows builds, holds
# the custom action types to those of cmake/msi_common.cmake):
# check_tables PACKAGE ARCH KIND (tavik, machine or user).
check_tables() {
  local output
  output=$(cmake -DPACKAGE="$1" -DARCH="$2" -DKIND="$3" -P cmake/check_msi_tables.cmake 2>&1) ||
    fail "tables of $1: $output"
}

start=$(date +%s)
mkdir -p "$scratch/logs"
timeout 300 "$wine_loader" wineboot -i >/dev/null 2>&1 || fail "wineboot failed"
wineserver -w
drive_c=$WINEPREFIX/drive_c

# --- Tavik's own package, version N and N+1.
cmake --build "$build" --target msi >"$scratch/build.log" 2>&1 ||
  { cat "$scratch/build.log" >&2; fail "cmake --build $build --target msi"; }
package_n=$(ls "$build"/Tavik-*-x*.msi | head -n 1)
[[ $package_n =~ Tavik-([0-9]+)\.([0-9]+)\.([0-9]+)-(x86|x64)\.msi$ ]] ||
  fail "no Tavik-VERSION-ARCH.msi in $build"
arch=${BASH_REMATCH[4]}
version_n=${BASH_REMATCH[1]}.${BASH_REMATCH[2]}.${BASH_REMATCH[3]}
# A 32-bit package in a 64-bit prefix goes where Windows puts it.
program_files='Program Files'
if [ "$arch" = x86 ] && [ -d "$drive_c/Program Files (x86)" ]; then
  program_files='Program Files (x86)'
fi
version_next=${BASH_REMATCH[1]}.${BASH_REMATCH[2]}.$((BASH_REMATCH[3] + 1))
package_next=$scratch/Tavik-$version_next-$arch.msi
vmpkg_build=$(find "$build" -name vmpkg.exe | head -n 1)
cmake -DTAVIK_MSI_VERSION="$version_next" -DTAVIK_MSI_ARCH="$arch" \
  -DTAVIK_MSI_PROGRAMS="$build/Tavik.exe;$build/Tavik-diag.exe;$vmpkg_build" \
  -DTAVIK_MSI_OUTPUT="$package_next" -P cmake/msi.cmake >"$scratch/build.log" 2>&1 ||
  { cat "$scratch/build.log" >&2; fail "making $package_next"; }
code_n=$(product_code "$package_n")
code_next=$(product_code "$package_next")
[ -n "$code_n" ] && [ "$code_n" != "$code_next" ] ||
  fail "product codes of N and N+1: '$code_n', '$code_next'"
check_tables "$package_n" "$arch" tavik
check_tables "$package_next" "$arch" tavik

folder=$drive_c/$program_files/Tavik
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
# The entries of the system PATH that name Tavik's folder.
path_entries() {
  wine_run reg query "$env_key" /v PATH 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *PATH *REG_[A-Z_]* *//p' | tr ';' '\n' |
    grep -ixF -e "C:\\$program_files\\Tavik" -e "C:\\$program_files\\Tavik\\" || true
}

install_ok /i tavik-n "$package_n"
for file in Tavik.exe Tavik-diag.exe vmpkg.exe LICENSE.txt; do
  [ -f "$folder/$file" ] || fail "Tavik's package: no $file in $folder"
done
[ "$(path_entries | wc -l)" = 1 ] || fail "Tavik's folder is not once on the system PATH: $(path_entries)"
# vmpkg found through the PATH, from a console in another folder.
output=$(cd "$scratch" && wine_run cmd /c 'cd /d C:\ && vmpkg.exe registry' 2>&1) ||
  fail "vmpkg.exe registry from the PATH: $output"
installed "$code_n" || fail "Tavik $code_n not in Programs and Features"

install_ok /i tavik-next "$package_next"
installed "$code_next" || fail "Tavik N+1 ($code_next) not installed"
! installed "$code_n" || fail "Tavik N ($code_n) is still installed beside N+1"
[ "$(path_entries | wc -l)" = 1 ] || fail "after the upgrade Tavik's folder is not once on the PATH"
wine_run "$folder/vmpkg.exe" --version >/dev/null 2>&1 || fail "vmpkg.exe does not run after the upgrade"

log=$scratch/logs/downgrade.log
msiexec /i "$(winpath "$package_n")" "$log"
[ "$status" != 0 ] || fail "Tavik N installed over N+1: the downgrade was not refused"
# Wine's log leaves out a launch condition's message; the package holds it.
grep -a -q 'LaunchConditions. Return value 0' "$log" ||
  fail "the downgrade was not refused by its launch condition"
msiinfo export "$package_n" LaunchCondition | grep -q 'A newer version of Tavik is already installed' ||
  fail "the refused downgrade does not say why"
installed "$code_next" && ! installed "$code_n" || fail "a refused downgrade changed the products"

install_ok /x tavik-remove "$package_next"
[ ! -e "$folder" ] || fail "Tavik's folder is left: $(find "$folder")"
[ -z "$(path_entries)" ] || fail "Tavik's folder is left on the PATH"
! installed "$code_next" || fail "Tavik is still in Programs and Features"

# --- Library packages of the demo library; every path needs quoting.
last_log=""
vmpkg=$drive_c/vmpkg.exe
cp "$vmpkg_build" "$vmpkg"
source_dir="$scratch/Libs ü"
mkdir -p "$source_dir/broken"
cp -r demo/lib.qsm "$source_dir/Démo lib.qsm"
cp demo/lib.json "$source_dir/lib.json"
wine_run "$vmpkg" create "$(winpath "$source_dir/Démo lib.vlmrlib")" \
  "$(winpath "$source_dir/lib.json")" >/dev/null 2>&1 || fail "vmpkg.exe create"
cp "$source_dir/Démo lib.vlmrlib" "$source_dir/broken/Démo lib.vlmrlib"
status=0
wine_run "$vmpkg" check "$(winpath "$source_dir/Démo lib.vlmrlib")" >/dev/null 2>&1 || status=$?
[ "$status" = 1 ] || fail "the demo library has no completion pending (vmpkg check exit $status)"

make_library() {
  local out=$scratch/$1.msi
  shift
  scripts/make-library-msi.sh --tavik "$build/Tavik.exe" --manufacturer 'Velmora & Söhne' \
    -o "$out" "$@" >"$scratch/build.log" 2>&1 ||
    { cat "$scratch/build.log" >&2; fail "make-library-msi.sh $*"; }
  echo "$out"
}
lib="$source_dir/Démo lib.vlmrlib"
lib_n=$(make_library lib-n --library "$lib" --name 'Démo Library' --version 2.0.0)
lib_next=$(make_library lib-next --library "$lib" --name 'Démo Library' --version 2.1.0)
second=$(make_library second --library "$lib" --name 'Second Library' --version 1.0.0)
broken=$(make_library broken --library "$source_dir/broken/Démo lib.vlmrlib" \
  --name 'Broken Library' --version 1.0.0)
per_user=$(make_library per-user --library "$lib" --name 'User Library' \
  --version 1.0.0 --per-user)
# A TAVIK.EXE that is no Windows program, short or long, is refused in words.
printf 'MZ' >"$scratch/short.exe"
for not_exe in "$scratch/short.exe" "$PWD/README.md"; do
  status=0
  scripts/make-library-msi.sh --tavik "$not_exe" --manufacturer M --library "$lib" \
    --name 'Not A Library' --version 1.0.0 -o "$scratch/not.msi" >"$scratch/build.log" 2>&1 ||
    status=$?
  [ "$status" = 1 ] && grep -q "is not a Windows program" "$scratch/build.log" ||
    { cat "$scratch/build.log" >&2; fail "make-library-msi.sh took $not_exe (exit $status)"; }
  [ ! -e "$scratch/not.msi" ] || fail "make-library-msi.sh made a package of $not_exe"
done
for package in "$lib_n" "$lib_next" "$second" "$broken"; do
  check_tables "$package" "$arch" machine
done
check_tables "$per_user" "$arch" user

win_program_files="C:\\$program_files"
path_a="$win_program_files\\Démo Library\\Démo lib.vlmrlib"
path_b="$win_program_files\\Second Library\\Démo lib.vlmrlib"
# Completed: vmpkg check finds nothing left to do (it exits 1 while it does).
expect_completed() {
  local status=0
  wine_run "$vmpkg" check "$1" >"$scratch/check.txt" 2>&1 || status=$?
  [ "$status" = 0 ] || { cat "$scratch/check.txt" >&2; fail "$2: $1 not completed (vmpkg check exit $status)"; }
}

install_ok /i library-n "$lib_n"
expect_list "$machine" "32 64" "$path_a" "machine-wide library installed"
expect_completed "$path_a" "machine-wide library installed"
expect_no_key "$user" 64 "machine-wide library installed"

# A repair that puts back every file, the library included, completes it
# again. It is asked for with the properties that msiexec /fa stands for:
# Wine's msiexec refuses /f.
install_ok /i library-repair "$lib_n" REINSTALL=ALL REINSTALLMODE=amus
expect_list "$machine" "32 64" "$path_a" "machine-wide library repaired"
expect_completed "$path_a" "machine-wide library repaired"

install_ok /i second "$second"
expect_list "$machine" "32 64" "$path_a"$'\n'"$path_b" "second library installed"

# One entry for each library after the upgrade. Where it stands depends on
# the installer: Windows removes the old version with UPGRADINGPRODUCTCODE
# set, so its withdrawal is skipped and the entry keeps its place; Wine's
# msiexec does not set it, so the old version withdraws the path and the
# new one lists it again, last.
install_ok /i library-next "$lib_next"
installed "$(product_code "$lib_next")" || fail "library N+1 not installed"
! installed "$(product_code "$lib_n")" || fail "library N still installed beside N+1"
expect_list "$machine" "32 64" "$path_a"$'\n'"$path_b" "library N+1 over N" sorted
expect_completed "$path_a" "library N+1 over N"

install_ok /x library-remove "$lib_next"
expect_list "$machine" "32 64" "$path_b" "one of two libraries removed"
[ ! -e "$drive_c/$program_files/Démo Library" ] ||
  fail "the library's folder is left: $(find "$drive_c/$program_files/Démo Library")"
! installed "$(product_code "$lib_next")" || fail "the library is still installed"
expect_completed "$path_b" "one of two libraries removed"

install_ok /x second-remove "$second"
expect_no_key 'HKLM\Software\Velmora\VLMRAssetLibrary' "32 64" "last library removed"
[ ! -e "$drive_c/$program_files/Second Library" ] || fail "the second library's folder is left"

log=$scratch/logs/broken.log
msiexec /i "$(winpath "$broken")" "$log"
# Windows Installer exits 1603; Wine's msiexec 1627 (91 once cut to 8 bits).
[ "$status" != 0 ] || fail "a library without its media folder was installed"
[ ! -e "$drive_c/$program_files/Broken Library" ] ||
  fail "the failed installation left $(find "$drive_c/$program_files/Broken Library")"
expect_no_key 'HKLM\Software\Velmora\VLMRAssetLibrary' "32 64" "failed installation"
! installed "$(product_code "$broken")" || fail "the failed library is installed"

user_folder="$drive_c/users/$(id -un)/AppData/Local/User Library"
install_ok /i per-user "$per_user"
path_u="C:\\users\\$(id -un)\\AppData\\Local\\User Library\\Démo lib.vlmrlib"
[ -f "$user_folder/Démo lib.vlmrlib" ] || fail "the per-user library is not in $user_folder"
expect_list "$user" 64 "$path_u" "per-user library installed"
expect_no_key 'HKLM\Software\Velmora\VLMRAssetLibrary' "32 64" "per-user library installed"
expect_completed "$path_u" "per-user library installed"
install_ok /x per-user-remove "$per_user"
expect_no_key 'HKCU\Software\Velmora\VLMRAssetLibrary' 64 "per-user library removed"
[ ! -e "$user_folder" ] || fail "the per-user library's folder is left"

not_installed=""
last_log=""
if [ -n "$other" ]; then
  cmake --build "$other" --target msi >"$scratch/build.log" 2>&1 ||
    { cat "$scratch/build.log" >&2; fail "cmake --build $other --target msi"; }
  other_arch=x64
  [ "$arch" = x64 ] && other_arch=x86
  check_tables "$other/Tavik-$version_n-$other_arch.msi" "$other_arch" tavik
  for scope in machine user; do
    flag=""
    [ $scope = user ] && flag=--per-user
    package=$(build=$other make_library "other-$scope" --library "$lib" \
      --name 'Démo Library' --version 2.0.0 $flag)
    check_tables "$package" "$other_arch" $scope
  done
  reason="one architecture is installed"
  [ "$TAVIK_HOST_X86_32" = yes ] || reason=${TAVIK_HOST_X86_32#no: }
  not_installed="; $other_arch packages made and checked, not installed: $reason"
fi
echo "Wine, $arch packages: Tavik's MSI and 5 library MSIs, $runs msiexec runs $(($(date +%s) - start)) s$not_installed"
