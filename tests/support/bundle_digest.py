"""Prints one line per dataset of every HDF5 file under a bundle root, and one per other file:
its path relative to the root and a digest of its content. Two bundles hold the same data exactly
when their outputs are equal; a file HDF5 cannot open or list prints UNREADABLE. Hidden files
(unfinished builds) and rollback records of interrupted commits are listed as LEFTOVER without
their content."""
import hashlib
import os
import sys

import h5py

root = sys.argv[1]
skip = set(sys.argv[2:])
for folder, dirs, files in sorted(os.walk(root)):
    dirs.sort()
    for name in sorted(files):
        path = os.path.join(folder, name)
        rel = os.path.relpath(path, root)
        if name in skip:
            continue
        if name.startswith('.') or name.endswith('.rollback'):
            print(rel, 'LEFTOVER')
            continue
        if not name.endswith('.h5'):
            print(rel, hashlib.sha256(open(path, 'rb').read()).hexdigest())
            continue
        try:
            with h5py.File(path, 'r') as f:
                for key in sorted(f.keys()):
                    data = f[key][()]
                    print(rel, key, data.dtype.str if data.dtype.names is None else data.dtype.descr,
                          hashlib.sha256(data.tobytes()).hexdigest())
        except (OSError, RuntimeError, KeyError) as e:
            print(rel, 'UNREADABLE', type(e).__name__)
