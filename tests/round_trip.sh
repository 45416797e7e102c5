#!/usr/bin/env bash
# The same hand-over across systems: archives made on Windows (quillfold-pack.exe
# and the window's pack run, under Wine) restore byte-identically with Linux's
# quillfold-unpack, and those made on Linux (both ways too) with Windows'
# quillfold-unpack.exe, and through Windows' recipient window,
# quillfold-restore.exe; and both systems make the same package files, byte for
# byte, from the same workbooks. Arguments: the Linux build's out/ folder, the Windows
# build's out/ folder. Wine's prefix and display come from the environment.
set -euo pipefail
linux=$1
windows=$2
export LANG=C.UTF-8 LC_ALL=C.UTF-8  # names reach Wine's programs as UTF-8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir books
head -c 100000 /dev/urandom > books/a.xls
python3 -c "print('north region 42; quarterly totals ' * 9000)" > "books/รายงาน.xls"
: > books/empty.xls
python3 -c "print('stock 17; ' * 1900000)" > books/large.xls  # 19 MB: deflated in pieces by quillfold-pack
names=(a.xls "รายงาน.xls" empty.xls large.xls)
echo secret > pw

# Restores `archive` with the unpack program given and compares every workbook.
check() {
  local unpack=$1 archive=$2 out=$3
  "${@:4}" "$unpack" --password-file pw --out "$out" "$archive" > /dev/null
  for name in "${names[@]}"; do
    cmp "books/$name" "$out/${name%%.*}.bin"
  done
  echo "round trip: $archive restores byte-identically with $(basename "$unpack")"
}

wine "$windows/quillfold-pack.exe" --user clerk --password-file pw -o win-cli.zip "${names[@]/#/books/}" > /dev/null
wine "$windows/pack_through_window.exe" "$(winepath -w books)" "$(winepath -w "$work")\\win-window.zip" clerk secret \
  "${names[@]}" > /dev/null
"$linux/quillfold-pack" --user clerk --password-file pw -o linux-cli.zip "${names[@]/#/books/}" > /dev/null
QT_QPA_PLATFORM=offscreen TMPDIR=$work "$linux/pack_through_window" "$work/books" "$work/linux-window.zip" clerk secret \
  "${names[@]}" > /dev/null

check "$linux/quillfold-unpack" win-cli.zip out-win-cli
check "$linux/quillfold-unpack" win-window.zip out-win-window
check "$windows/quillfold-unpack.exe" linux-cli.zip out-linux-cli wine
check "$windows/quillfold-unpack.exe" linux-window.zip out-linux-window wine

# Through the recipient's window on Windows: into the folder beside the
# archive, named after it.
cp linux-cli.zip "hand over.zip"
wine "$windows/restore_through_window.exe" secret "$(winepath -w "$work/hand over.zip")" > /dev/null
for name in "${names[@]}"; do
  cmp "books/$name" "hand over/${name%%.*}.bin"
done
echo "round trip: linux-cli.zip restores byte-identically through quillfold-restore.exe's window"

# The package files themselves, entry by entry: the same bytes from either system.
python3 - win-cli.zip linux-cli.zip win-window.zip linux-window.zip <<'PY'
import sys, zipfile
def entries(name):
    with zipfile.ZipFile(name) as archive:
        return {info.filename: archive.read(info) for info in archive.infolist()}
first = entries(sys.argv[1])
for other in sys.argv[2:]:
    if entries(other) != first:
        sys.exit(f"round trip: {other} holds other package files than {sys.argv[1]}")
print(f"round trip: the four archives hold the same {len(first)} package files, byte for byte")
PY
