#!/usr/bin/env bash
# Builds a Windows Installer package for one asset library:
#
#   scripts/make-library-msi.sh --library LIB --tavik TAVIK.EXE --name NAME
#     --version X.Y.Z --manufacturer TEXT [--per-user] [--upgrade-code GUID]
#     -o OUT.msi
#
# The package installs LIB, its whole media folder (LIB's name with .qsm for
# its extension, beside it) and TAVIK.EXE (as Tavik.exe) into one folder
# named NAME: under Program Files, or with --per-user under the user's local
# application data. After the files are in place it runs Tavik.exe on the
# installed library; at removal, before the files go, Tavik.exe -r -k (see
# packaging/windows/Library.wxs for the actions and their order, and
# docs/deployment.md). The package's architecture is that of TAVIK.EXE.
#
# The upgrade code, unless given, is derived from NAME, so every version
# built under one name upgrades the one before; the product code is derived
# from the upgrade code, the version, the architecture and the scope, so a
# rebuild of one version is the same product. Needs wixl and msibuild
# (scripts/setup.sh --windows installs them).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
template=$here/../packaging/windows/Library.wxs

usage() {
  echo "usage: $0 --library LIB --tavik TAVIK.EXE --name NAME --version X.Y.Z" \
    "--manufacturer TEXT [--per-user] [--upgrade-code GUID] -o OUT.msi" >&2
  exit 2
}
die() {
  echo "make-library-msi: $*" >&2
  exit 1
}

library="" tavik="" name="" version="" manufacturer="" upgrade_code="" out=""
per_user=no
while [ $# -gt 0 ]; do
  case $1 in
    --library | --tavik | --name | --version | --manufacturer | --upgrade-code | -o)
      [ $# -ge 2 ] || usage
      case $1 in
        --library) library=$2 ;;
        --tavik) tavik=$2 ;;
        --name) name=$2 ;;
        --version) version=$2 ;;
        --manufacturer) manufacturer=$2 ;;
        --upgrade-code) upgrade_code=$2 ;;
        -o) out=$2 ;;
      esac
      shift 2
      ;;
    --per-user)
      per_user=yes
      shift
      ;;
    *) usage ;;
  esac
done
[ -n "$library" ] && [ -n "$tavik" ] && [ -n "$name" ] && [ -n "$version" ] &&
  [ -n "$manufacturer" ] && [ -n "$out" ] || usage
for tool in wixl msibuild; do
  command -v $tool >/dev/null || die "$tool not found (scripts/setup.sh --windows installs it)"
done

[ -f "$library" ] || die "no library file $library"
[ -f "$tavik" ] || die "no Tavik.exe at $tavik"
# Windows Installer's own limits: major and minor up to 255, build up to 65535.
if ! [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] ||
  [ "${BASH_REMATCH[1]}" -gt 255 ] || [ "${BASH_REMATCH[2]}" -gt 255 ] ||
  [ "${BASH_REMATCH[3]}" -gt 65535 ]; then
  die "version $version is not X.Y.Z with X, Y up to 255 and Z up to 65535"
fi
case $name in
  *[\\/:*?\"\<\>\|]* | *. | *" " | "") die "NAME \"$name\" cannot be a Windows folder name" ;;
esac

# The architecture is the PE machine field of TAVIK.EXE.
# Any other file may be too short for the offsets it seems to hold: od's
# refusal then means "not a Windows program", not the end of the script.
pe_bytes() { od -An "$@" "$tavik" 2>/dev/null | tr -d ' \n' || true; }
pe_offset=$(pe_bytes -tu4 -j60 -N4)
case $pe_offset in
  '' | *[!0-9]*) pe_offset=0 ;;
esac
signature=$(pe_bytes -tx1 -j"$pe_offset" -N4)
machine=$(pe_bytes -tx2 -j$((pe_offset + 4)) -N2)
[ "$signature" = 50450000 ] || die "$tavik is not a Windows program"
case $machine in
  014c) arch=x86 ;;
  8664) arch=x64 ;;
  *) die "$tavik is for machine type 0x$machine, neither x86 nor x64" ;;
esac

# The media folder, named as Tavik names it: the last extension of the file
# name replaced by .qsm (added when there is none).
library_dir=$(cd "$(dirname "$library")" && pwd)
library_name=$(basename "$library")
stem=$library_name
[[ $stem == ?*.* ]] && stem=${stem%.*}
media_name=$stem.qsm
media=$library_dir/$media_name
if [ ! -d "$media" ]; then
  echo "make-library-msi: warning: no media folder $media; the package will" \
    "install, but Tavik.exe will refuse the library and fail the installation" >&2
fi

# Windows Installer has no UTF-8 code page; every text of the package must
# be in Windows-1252.
codepage=1252
check_text() {
  iconv -f UTF-8 -t WINDOWS-1252 >/dev/null 2>&1 <<<"$1" ||
    die "\"$1\" has characters outside Windows-1252, which the package cannot hold"
}
check_text "$name"
check_text "$manufacturer"
# The two texts become definitions of wixl's preprocessor.
for text in "$name" "$manufacturer"; do
  case $text in
    *\"* | *'?>'* | *'$('*) die "\"$text\" may not hold \", ?> or \$(" ;;
  esac
done
check_text "$library_name"
if [ -d "$media" ] && ! (cd "$media" && find . -print0 |
  iconv -f UTF-8 -t WINDOWS-1252 >/dev/null 2>&1); then
  die "a name in $media has characters outside Windows-1252, which the package cannot hold"
fi

# A name-based (version 5) UUID, in upper case: uuid5 NAMESPACE NAME.
uuid5() {
  local ns=${1//-/} bytes hash
  ns=${ns//[\{\}]/}
  bytes=$(sed 's/../\\x&/g' <<<"$ns")
  hash=$({ printf "$bytes"; printf '%s' "$2"; } | sha1sum | cut -c1-32)
  local variant=$(((0x${hash:16:1} & 0x3) | 0x8))
  hash=${hash:0:12}5${hash:13:3}$(printf %x "$variant")${hash:17:15}
  hash=${hash^^}
  echo "${hash:0:8}-${hash:8:4}-${hash:12:4}-${hash:16:4}-${hash:20:12}"
}
# The namespace of the upgrade codes this script derives from names.
namespace=3F0B5C1E-8D2A-4E6B-9C47-1A2D6E5B7C90
if [ -n "$upgrade_code" ]; then
  upgrade_code=${upgrade_code#\{}
  upgrade_code=${upgrade_code%\}}
  [[ $upgrade_code =~ ^[0-9A-Fa-f]{8}-([0-9A-Fa-f]{4}-){3}[0-9A-Fa-f]{12}$ ]] ||
    die "upgrade code $upgrade_code is not a GUID"
  upgrade_code=${upgrade_code^^}
else
  upgrade_code=$(uuid5 "$namespace" "library $name")
fi
scope=machine
[ "$per_user" = yes ] && scope=user
product_code=$(uuid5 "$upgrade_code" "product $version $arch $scope")

xml() {
  local s=${1//&/&amp;}
  s=${s//</&lt;}
  s=${s//>/&gt;}
  s=${s//\"/&quot;}
  printf '%s' "${s//\'/&apos;}"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/tavik_library_msi_XXXXXX")
trap 'rm -rf "$work"' EXIT
# wixl takes sources relative to the .wxs, so the files are linked beside it.
mkdir "$work/src"
ln -s "$library_dir/$library_name" "$work/src/library"
ln -s "$(cd "$(dirname "$tavik")" && pwd)/$(basename "$tavik")" "$work/src/Tavik.exe"
[ -d "$media" ] && ln -s "$media" "$work/src/media"
cp "$template" "$work/Library.wxs"

win64=no
[ "$arch" = x64 ] && win64=yes
files=$work/Files.wxi
refs=$work/FileRefs.wxi
count=0
# Writes one component holding one file: component ID FILE_ID NAME SOURCE.
component() {
  local guid
  guid=$(uuid5 "$upgrade_code" "component $scope $1")
  echo "<Component Id=\"$2C\" Guid=\"$guid\" Win64=\"$win64\"><File Id=\"$2\" Name=\"$(xml "$3")\" Source=\"$(xml "$4")\" KeyPath=\"yes\"/></Component>" >>"$files"
  echo "<ComponentRef Id=\"$2C\"/>" >>"$refs"
}
# Writes the folder tree below media folder path REL (relative, "" at top).
media_tree() {
  local rel=$1 entry base id guid empty=yes
  while IFS= read -r -d '' entry; do
    base=$(basename "$entry")
    empty=no
    count=$((count + 1))
    if [ -d "$entry" ]; then
      id=D$count
      echo "<Directory Id=\"$id\" Name=\"$(xml "$base")\">" >>"$files"
      media_tree "$rel/$base"
      echo "</Directory>" >>"$files"
    else
      component "media$rel/$base" "F$count" "$base" "src/media$rel/$base"
    fi
  done < <(find "$media$rel" -mindepth 1 -maxdepth 1 -print0 | sort -z)
  if [ "$empty" = yes ] && [ -n "$rel" ]; then
    # An empty folder is kept: the numbered folders may be filled later.
    count=$((count + 1))
    guid=$(uuid5 "$upgrade_code" "folder $scope media$rel")
    echo "<Component Id=\"E${count}C\" Guid=\"$guid\" Win64=\"$win64\"><CreateFolder/></Component>" >>"$files"
    echo "<ComponentRef Id=\"E${count}C\"/>" >>"$refs"
  fi
}
echo "<Include>" >"$files"
echo "<Include>" >"$refs"
component Tavik.exe TavikExe Tavik.exe src/Tavik.exe
component "$library_name" LibraryFile "$library_name" src/library
if [ -d "$media" ]; then
  echo "<Directory Id=\"MEDIAFOLDER\" Name=\"$(xml "$media_name")\">" >>"$files"
  media_tree ""
  echo "</Directory>" >>"$files"
fi
echo "</Include>" >>"$files"
echo "</Include>" >>"$refs"

# The texts are defined in a file: wixl takes the values of -D in some
# other encoding than UTF-8. A definition's value is taken as it stands,
# without XML escapes.
{
  echo '<?xml version="1.0" encoding="utf-8"?>'
  echo '<Include>'
  for variable in ProductCode="$product_code" UpgradeCode="$upgrade_code" \
    Version="$version" Name="$name" Manufacturer="$manufacturer" \
    Codepage="$codepage" Arch="$arch" PerUser="$per_user"; do
    echo "<?define ${variable%%=*} = \"${variable#*=}\" ?>"
  done
  echo '</Include>'
} >"$work/Defines.wxi"
wixl_log=$work/wixl.log
if ! (cd "$work" && wixl -a "$arch" -o package.msi Library.wxs) >"$wixl_log" 2>&1; then
  cat "$wixl_log" >&2
  die "wixl failed"
fi
# wixl drops Execute="rollback" and makes those actions immediate ones, run
# while the script is made; they are turned into rollback actions here: file
# executable (18), return code ignored (64), rollback (256), in the script
# (1024), and for a machine-wide package, in the system context (2048).
rollback_type=$((18 + 64 + 256 + 1024))
[ "$per_user" = no ] && rollback_type=$((rollback_type + 2048))
msibuild "$work/package.msi" -q "UPDATE CustomAction SET Type = $rollback_type \
  WHERE Action = 'TavikRegisterRollback' OR Action = 'TavikWithdrawRollback'" ||
  die "msibuild failed"
mv "$work/package.msi" "$out"
