"""h5py readers that hold a bundle's files while `tessera-plus smart-update` extends them.

Shared by the test (test_readers.py, a few updates) and the bench (bench/reader_trials.py, many).
Each reader is its own /usr/bin/python3 process. It opens every minute-bar and tick file, keeps
them open, and reads every dataset again and again, through the HDF5 library of h5py with its
chunk cache off, so that every read goes to the file. It reports each distinct value it saw of a
dataset as (file, dataset, rows, digest); the harness then says which of them are neither the old
file's rows nor the new file's rows, i.e. wrong.
"""
import hashlib
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile

import h5py

PROGRAM = os.environ.get('TESSERA_PLUS_PROGRAM', 'tessera-plus')

READER = r'''
import hashlib, json, os, sys
import h5py
paths, out, stop, mode = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
paths = json.load(open(paths))
seen, errors, blocked, reads = set(), [], 0, 0

def digest(ds):
    values = ds[()]
    return (len(values), hashlib.sha1(values.tobytes()).hexdigest())

def read_all(f, path):
    global reads
    for name in list(f.keys()):
        try:
            rows, d = digest(f[name])
            seen.add((path, name, rows, d))
        except Exception as e:
            errors.append('%s %s: %s' % (path, name, str(e).splitlines()[0][:200]))
        reads += 1

def progress():
    # One line per pass on standard output: the harness waits on it instead of on a clock.
    sys.stdout.write('%d\n' % reads)
    sys.stdout.flush()

if mode == 'hold':
    # Opened once and held across the update, as a notebook or a backtest does.
    files = [(h5py.File(p, 'r', rdcc_nbytes=0), p) for p in paths]
    for f, p in files:
        read_all(f, p)
    progress()
    while not os.path.exists(stop):
        for f, p in files:
            read_all(f, p)
        progress()
    for f, p in files:
        read_all(f, p)
else:
    # Opened, read and closed again and again: a reader that comes and goes during the update.
    while not os.path.exists(stop):
        for p in paths:
            try:
                with h5py.File(p, 'r', rdcc_nbytes=0) as f:
                    read_all(f, p)
            except BlockingIOError:
                blocked += 1
            except OSError as e:
                if 'unable to lock file' in str(e) or 'errno = 11' in str(e):
                    blocked += 1
                else:
                    errors.append('%s: %s' % (p, str(e).splitlines()[0][:200]))
        progress()
json.dump({'seen': sorted(seen), 'errors': errors, 'blocked': blocked, 'reads': reads},
          open(out, 'w'))
'''


def data_files(root):
    """The minute-bar and tick files of the bundle under `root`, sorted."""
    found = []
    for sub in ('h5', 'ticks'):
        for base, _, names in os.walk(os.path.join(root, 'bundle', sub)):
            found += [os.path.join(base, n) for n in names if n.endswith('.h5')]
    return sorted(found)


def prefix_digests(path):
    """{dataset: array} of a file, read whole once."""
    with h5py.File(path, 'r', locking=False) as f:
        return {name: f[name][()] for name in f.keys()}


def digest_of(values, rows):
    return hashlib.sha1(values[:rows].tobytes()).hexdigest() if rows <= len(values) else None


def run(args, env):
    return subprocess.run([PROGRAM] + args, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def base_env(now, extra=None):
    env = dict(os.environ)
    env.update({'TALLOW_SOURCE': 'sim', 'TESSERA_NOW': now, 'TESSERA_PROGRESS': '0'})
    env.update(extra or {})
    return env


class Readers:
    """Reader processes over `paths`; `locking` False sets HDF5_USE_FILE_LOCKING=FALSE."""

    def __init__(self, work, paths, count, locking, mode):
        self.work, self.procs, self.outs = work, [], []
        self.stop = os.path.join(work, 'stop')
        if os.path.exists(self.stop):
            os.remove(self.stop)
        listing = os.path.join(work, 'paths.json')
        json.dump(paths, open(listing, 'w'))
        env = dict(os.environ)
        env['HDF5_USE_FILE_LOCKING'] = 'TRUE' if locking else 'FALSE'
        self.reads = []
        for i in range(count):
            out = os.path.join(work, 'reader%d.json' % i)
            if os.path.exists(out):
                os.remove(out)
            self.outs.append(out)
            self.reads.append(0)
            self.procs.append(subprocess.Popen(
                ['/usr/bin/python3', '-c', READER, listing, out, self.stop, mode], env=env,
                stdout=subprocess.PIPE, text=True))

    def reads_so_far(self):
        return sum(self.reads)

    def wait_until_reads(self, at_least):
        """Blocks until the readers together have done `at_least` reads."""
        while self.reads_so_far() < at_least:
            ready, _, _ = select.select([p.stdout for p in self.procs], [], [])
            for i, p in enumerate(self.procs):
                if p.stdout in ready:
                    line = p.stdout.readline()
                    if not line:
                        raise RuntimeError('a reader ended early')
                    self.reads[i] = int(line)

    def finish(self):
        open(self.stop, 'w').close()
        for p in self.procs:
            p.communicate(timeout=600)
        return [json.load(open(out)) for out in self.outs]


def judge(results, old, new):
    """Counts reads, wrong values and errors of reader results against the files' old and new
    contents ({path: {dataset: array}})."""
    wrong, reads, errors, blocked = [], 0, [], 0
    for r in results:
        reads += r['reads']
        errors += r['errors']
        blocked += r['blocked']
        for path, name, rows, d in r['seen']:
            fits = [v[name] for v in (old.get(path, {}), new.get(path, {})) if name in v]
            if not any(digest_of(values, rows) == d for values in fits):
                wrong.append((path, name, rows))
    return {'reads': reads, 'wrong': wrong, 'errors': errors, 'blocked': blocked}


def make_bundle(root, now, stocks, tick_ids):
    env = base_env(now, {'TALLOW_SIM_STOCKS': str(stocks), 'TALLOW_SIM_HISTORY_DAYS': '30'})
    done = run(['update', '-d', root, '-j', '2', '--quiet', '--minbar', 'stock', '--tick'] +
               tick_ids, env)
    if done.returncode != 0:
        raise RuntimeError('building the bundle failed: ' + done.stderr[-2000:])
    return env


def updates_with_readers(root, days, readers, locking, mode, stocks, reads_between=1):
    """Runs `smart-update` for each of `days` (TESSERA_NOW values) while `readers` h5py readers
    read every file; returns the judged totals over all updates."""
    totals = {'reads': 0, 'wrong': [], 'errors': [], 'blocked': 0, 'failed_updates': 0}
    work = tempfile.mkdtemp(prefix='readers_')
    try:
        for now in days:
            paths = data_files(root)
            old = {p: prefix_digests(p) for p in paths}
            group = Readers(work, paths, readers, locking, mode)
            # Every reader has read every file once (so a holding reader has its structures
            # cached) before the update starts.
            group.wait_until_reads(readers * sum(len(v) for v in old.values()))
            env = base_env(now, {'TALLOW_SIM_STOCKS': str(stocks),
                                 'TALLOW_SIM_HISTORY_DAYS': '30'})
            done = run(['smart-update', '-d', root, '-j', '2', '--quiet'], env)
            if done.returncode != 0:
                totals['failed_updates'] += 1
            # The readers go on after the update: a holding reader now reads the new file's
            # bytes through its old structures.
            group.wait_until_reads(group.reads_so_far() + reads_between)
            results = group.finish()
            new = {p: prefix_digests(p) for p in data_files(root)}
            judged = judge(results, old, new)
            for key in ('reads', 'blocked'):
                totals[key] += judged[key]
            for key in ('wrong', 'errors'):
                totals[key] += judged[key]
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return totals


def update_with_held_files(root, now, stocks, lock_wait, release_on_wait):
    """Runs smart-update while one locking reader holds every file. With `release_on_wait` the
    reader closes as soon as the update says (a debug line) that it waits for a file; otherwise it
    holds on until the update has ended. Returns (exit status, standard error, whether the update
    waited, the reader's results)."""
    work = tempfile.mkdtemp(prefix='held_')
    try:
        paths = data_files(root)
        readers = Readers(work, paths, 1, locking=True, mode='hold')
        readers.wait_until_reads(sum(len(prefix_digests(p)) for p in paths))
        env = base_env(now, {'TALLOW_SIM_STOCKS': str(stocks), 'TALLOW_SIM_HISTORY_DAYS': '30',
                             'TESSERA_LOG_LEVEL': 'debug',
                             'TESSERA_LOG_FILE': os.path.join(work, 'log')})
        update = subprocess.Popen(
            [PROGRAM, 'smart-update', '-d', root, '-j', '2', '--quiet', '--lock-wait',
             str(lock_wait)],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            text=True)
        err, results, waited = [], None, False
        for line in update.stderr:
            err.append(line)
            if 'which another process holds' in line:
                waited = True
                if release_on_wait and results is None:
                    results = readers.finish()
        update.wait()
        if results is None:
            results = readers.finish()
        return update.returncode, ''.join(err), waited, results
    finally:
        shutil.rmtree(work, ignore_errors=True)


def last_dates(root):
    """{path: last stored date} of every minute-bar (index) and tick (member name) file."""
    dates = {}
    for path in data_files(root):
        with h5py.File(path, 'r', locking=False) as f:
            if 'index' in f:
                dates[path] = int(f['index'][-1]['date'])
            else:
                days = [int(n) for n in f.keys() if n.isdigit() and len(f[n]) > 0]
                dates[path] = max(days) if days else 0
    return dates


if __name__ == '__main__':
    sys.exit('import this module')
