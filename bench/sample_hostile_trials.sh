#!/usr/bin/env bash
# The hostile archives of the sample-install report, written by Python's tarfile, each run through
# the real program (`download-sample --file`) against a bundle with precious files. Prints, per
# case: the exit status, the program's last line, whether the bundle is byte-identical to before
# (or, for good archives, what changed), whether anything appeared outside the bundle, and whether
# a staging directory was left. The disk-full cases run on a 3 MB tmpfs in a private mount
# namespace (unshare -rm). Usage: bench/sample_hostile_trials.sh [PROGRAM]
set -uo pipefail
cd "$(dirname "$0")/.."
cli=$(realpath "${1:-build/release/tessera-plus}")
work=$(mktemp -d "${TMPDIR:-/var/tmp}/sample-hostile.XXXXXX")
trap 'rm -rf "$work"' EXIT
py=/usr/bin/python3

# make_archive CASE PATH: writes the archive of one case.
make_archive() {
  $py - "$1" "$2" <<'PY'
import io, os, sys, tarfile
case, path = sys.argv[1], sys.argv[2]
def member(tar, name, data=b"", kind=tarfile.REGTYPE, link=""):
    info = tarfile.TarInfo(name)
    info.type, info.linkname, info.size, info.mtime, info.mode = kind, link, len(data), 1600000000, 0o644
    if kind == tarfile.DIRTYPE:
        info.mode = 0o755
    tar.addfile(info, io.BytesIO(data) if data else None)
def good_start(tar):
    member(tar, "trading_dates.npy", b"new dates")
    member(tar, "h5/CS/000001.XSHE.h5", os.urandom(3 << 20))
if case == "bomb":
    with tarfile.open(path, "w:bz2") as tar:
        good_start(tar)
        info = tarfile.TarInfo("stocks.h5"); info.size = 4 << 30; info.mtime = 1600000000
        class Zeros(io.RawIOBase):
            def readable(self):
                return True
            def readinto(self, b):
                b[:] = bytes(len(b)); return len(b)
        tar.addfile(info, io.BufferedReader(Zeros(), 1 << 20))
    sys.exit(0)
with tarfile.open(path, "w:bz2", format=tarfile.GNU_FORMAT) as tar:
    if case != "leftover":
        good_start(tar)
    if case in ("truncated", "corrupt"):
        member(tar, "instruments.pk", b"new instruments")
        member(tar, "h5/CS/000002.XSHE.h5", os.urandom(3 << 20))
    elif case == "big":
        member(tar, "stocks.h5", os.urandom(10 << 20))
    elif case == "links":
        member(tar, "y", kind=tarfile.SYMTYPE, link=".")
        member(tar, "h5", kind=tarfile.SYMTYPE, link="y/" * 8 + "../" * 9 + "OUTSIDE")
        member(tar, "h5/equities/000001.XSHE.h5", b"x")
    elif case.startswith("fifo:"):
        member(tar, case[5:], kind=tarfile.FIFOTYPE)
    elif case == "dir-over-file":
        member(tar, "instruments.pk/", kind=tarfile.DIRTYPE)
    elif case == "hardlink":
        member(tar, "copy.npy", kind=tarfile.LNKTYPE, link="trading_dates.npy")
    elif case == "device":
        member(tar, "sda", kind=tarfile.BLKTYPE)
    elif case == "h5-dir-entry":
        member(tar, "./h5/", kind=tarfile.DIRTYPE)
        member(tar, "./h5/CS/", kind=tarfile.DIRTYPE)
        member(tar, "./h5/CS/000002.XSHE.h5", b"more bars")
    elif case == "h5-no-dir-entry":
        member(tar, "h5/CS/000002.XSHE.h5", b"more bars")
PY
  case $1 in
    truncated) head -c $(( $(stat -c %s "$2") / 2 )) "$2" > "$2.cut" && mv "$2.cut" "$2" ;;
    corrupt) $py -c "import sys; p=sys.argv[1]; b=bytearray(open(p,'rb').read()); b[len(b)*3//4]^=0x55; open(p,'wb').write(b)" "$2" ;;
  esac
}

# A listing of every name under a directory, links not followed, with each file's checksum.
digest() { (cd "$1" && find . -printf '%y %p %l\n' | sort && find . -type f -exec sha256sum {} + | sort -k2); }

seed_bundle() {  # seed_bundle ROOT [h5-link]
  mkdir -p "$1/bundle"
  printf 'old dates' > "$1/bundle/trading_dates.npy"
  printf 'old instruments' > "$1/bundle/instruments.pk"
  if [ "${2:-}" = h5-link ]; then
    mkdir -p "$1/other_disk/h5/CS"; printf 'old bars' > "$1/other_disk/h5/CS/000001.XSHE.h5"
    ln -s "$1/other_disk/h5" "$1/bundle/h5"
  else
    mkdir -p "$1/bundle/h5/CS"; printf 'old bars' > "$1/bundle/h5/CS/000001.XSHE.h5"
  fi
}

report() {  # report CASE STATUS LAST_LINE ROOT BEFORE_DIGEST
  local after outside staging same
  after=$(digest "$4/bundle"; [ -d "$4/other_disk" ] && digest "$4/other_disk")
  [ "$after" = "$5" ] && same=identical || same=changed
  outside=$(cd "$4" && find . -path ./bundle -prune -o -path ./other_disk -prune -o -path ./archive -prune -o -newer "$4/.marker" -print | grep -v '^\.$' | tr '\n' ' ')
  [ -e "$4/bundle/.tessera_plus-sample-staging" ] && staging=LEFT || staging=none
  printf '%-18s exit %s  bundle %-9s outside: [%s]  staging: %s\n    %s\n' "$1" "$2" "$same" "$outside" "$staging" "$3"
}

run_case() {  # run_case CASE [h5-link]
  local root="$work/$1" out status before
  seed_bundle "$root" "${2:-}"
  mkdir -p "$root/archive"; make_archive "$1" "$root/archive/twbundle_sample.tar.bz2"
  before=$(digest "$root/bundle"; [ -d "$root/other_disk" ] && digest "$root/other_disk")
  touch "$root/.marker"; sleep 0.01
  out=$(timeout 60 "$cli" download-sample -d "$root" --file "$root/archive/twbundle_sample.tar.bz2" 2>&1)
  status=$?
  report "$1" "$status" "$(tail -n1 <<<"$out")" "$root" "$before"
  [ -n "${SHOW_CHANGES:-}" ] && diff <(echo "$before") <(digest "$root/bundle"; [ -d "$root/other_disk" ] && digest "$root/other_disk") | grep '^[<>]' | cut -c1-90
}

for c in truncated corrupt links fifo:trading_dates.npy fifo:instruments.pk fifo:h5/CS/000001.XSHE.h5 \
         dir-over-file hardlink device; do
  run_case "$c"
done
SHOW_CHANGES=1 run_case h5-dir-entry h5-link
SHOW_CHANGES=1 run_case h5-no-dir-entry h5-link

# Full disk: a 3 MB tmpfs holds the bundle (with a 1 MB stocks.h5); a 10 MB member and a member
# claiming 4 GiB (a 4 GiB run of zeros, which bzip2 shrinks to a few kilobytes).
for c in big bomb; do
  make_archive "$c" "$work/$c.tar.bz2"
  echo "$c: archive of $(stat -c %s "$work/$c.tar.bz2") bytes"
  mkdir -p "$work/disk-$c" "$work/archive-$c"; mv "$work/$c.tar.bz2" "$work/archive-$c/twbundle_sample.tar.bz2"
  unshare -rm bash -c "
    set -u; mount -t tmpfs -o size=3m tmpfs '$work/disk-$c' 2>/dev/null || { echo 'no tmpfs here: skipped'; exit 0; }
    root='$work/disk-$c'; mkdir -p \$root/bundle/h5/CS
    head -c 1048576 /dev/urandom > \$root/bundle/stocks.h5; printf 'old dates' > \$root/bundle/trading_dates.npy
    before=\$(cd \$root/bundle && find . -printf '%y %p\n' | sort; find . -type f -exec sha256sum {} + | sort)
    out=\$('$cli' download-sample -d \$root --file '$work/archive-$c/twbundle_sample.tar.bz2' 2>&1); status=\$?
    after=\$(cd \$root/bundle && find . -printf '%y %p\n' | sort; find . -type f -exec sha256sum {} + | sort)
    [ \"\$before\" = \"\$after\" ] && same=identical || same=changed
    [ -e \$root/bundle/.tessera_plus-sample-staging ] && staging=LEFT || staging=none
    printf '%-18s exit %s  bundle %-9s staging: %s  free after: %s\n    %s\n' '$c (3 MB tmpfs)' \$status \$same \$staging \"\$(df --output=avail -B1 \$root | tail -1) B\" \"\$(tail -n1 <<<\"\$out\")\"
  "
done
