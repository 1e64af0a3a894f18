#!/usr/bin/env bash
# The longest chain of source files that `tessera-plus update --minbar` passes through from main()
# to an HDF5 write: the program runs under gdb (in the simulated market), once creating a
# minute-bar file and once extending it, every call of H5Dwrite or H5Dwrite_chunk prints its stack,
# and the deepest stack is reported as its distinct files and folders. A frame that the debug
# information places in a library header (an inlined call) counts in the file that defines its
# function.
#   scripts/write_path.sh [path/to/tessera-plus]     (default: build/dev/tessera-plus)
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/dev/tessera-plus}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/stacks.gdb" <<'GDB'
set pagination off
set breakpoint pending on
set follow-fork-mode child
break H5Dwrite_chunk
commands
bt
continue
end
break H5Dwrite
commands
bt
continue
end
run
quit
GDB

for now in "2024-06-21 18:00:00" "2024-06-28 18:00:00"; do
  TESSERA_NOW="$now" TESSERA_LOG_FILE="$work/log" gdb -q -batch -x "$work/stacks.gdb" \
    --args "$program" update -d "$work/root" -j 1 --no-base --minbar 000001.XSHE \
    >>"$work/stacks.txt" 2>&1
done

python3 - "$work/stacks.txt" "$PWD" <<'PY'
import re, subprocess, sys
text, root = open(sys.argv[1]).read(), sys.argv[2]

def defining_files(function):
    name = re.escape(function.split('::')[-1])
    found = subprocess.run(['grep', '-rlE', rf'^[A-Za-z].* {name}\(', 'tessera_plus', 'cli',
                            '--include=*.cc'], capture_output=True, text=True, cwd=root)
    return found.stdout.split()

best = []
for stack in re.split(r'\n(?=#0 )', text):
    if not stack.startswith('#0'):
        continue
    files = []
    for frame in stack.split('\n'):
        if m := re.search(r' at (?:\S*/)?((?:tessera_plus|cli)/[\w/]+\.(?:cc|h)):\d+', frame):
            named = [m.group(1)]
        elif m := re.search(r'in (tessera_plus::[\w:]+) \(.* at /usr/', frame):
            named = defining_files(m.group(1))
        else:
            named = []
        files += [f for f in named if f not in files]
    if len(files) > len(best):
        best = files
if not best:
    sys.exit('no HDF5 write was reached')
folders = sorted({f.rsplit('/', 1)[0] for f in best})
print(f'{len(best)} files in {len(folders)} folders, from main() to the HDF5 write:')
for f in reversed(best):
    print('  ' + f)
PY
