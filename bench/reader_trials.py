#!/usr/bin/python3
"""h5py readers during nightly updates, at a scale the test suite does not run: for each CLI given,
a bundle of STOCKS stocks and two tick files is built, then brought forward DAYS trading days (a
run at 10:30 and one at 18:00 each, so that a partly stored day is stored again) while READERS
reader processes read every file, twice over:
  - locking off (HDF5_USE_FILE_LOCKING=FALSE), readers holding every file across each update;
  - locking on, readers opening, reading and closing files again and again.
Prints reads, wrong values (neither the old file's rows nor the new file's), read errors and opens
refused by the writer's lock, per CLI and mode. Then, each night, a locking reader holds every file
and closes as soon as the update says it waits for one: how many files were updated.

  bench/reader_trials.py [DAYS] [STOCKS] [READERS] CLI...      (default: 8 6 2 build/o3/tessera-plus)
"""
import datetime
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'python'))
import readers_during_update as harness  # noqa: E402


def trading_days(first, count):
    days, day = [], first
    while len(days) < count:
        day += datetime.timedelta(days=1)
        if day.weekday() < 5:
            days.append(day)
    return days


def main(argv):
    numbers = [a for a in argv if a.isdigit()]
    programs = [a for a in argv if not a.isdigit()] or ['build/o3/tessera-plus']
    days_count, stocks, readers = ([int(n) for n in numbers] + [8, 6, 2][len(numbers):])[:3]
    first = datetime.date(2024, 5, 20)
    runs = []
    for day in trading_days(first, days_count):
        runs += [day.strftime('%Y-%m-%d 10:30:00'), day.strftime('%Y-%m-%d 18:00:00')]
    os.environ.setdefault('TESSERA_LOG_FILE', '/dev/null')
    for program in programs:
        harness.PROGRAM = os.path.abspath(program)
        for label, locking, mode in (('locking off, held', False, 'hold'),
                                     ('locking on, reopened', True, 'cycle')):
            root = tempfile.mkdtemp(prefix='reader_trials_')
            try:
                harness.make_bundle(root, first.strftime('%Y-%m-%d 18:00:00'), stocks,
                                    ['000001.XSHE', '600000.XSHG'])
                t = harness.updates_with_readers(root, runs, readers, locking, mode, stocks,
                                                 reads_between=50)
            finally:
                shutil.rmtree(root, ignore_errors=True)
            print('%s, %s: %d updates (%d failed), %d reads, %d wrong values, %d read errors, '
                  '%d opens refused by the lock' %
                  (program, label, len(runs), t['failed_updates'], t['reads'], len(t['wrong']),
                   len(t['errors']), t['blocked']))
            for what in (t['wrong'][:3] + t['errors'][:3]):
                print('   ', what)
        # A locking reader holds every file and closes as soon as the update waits for one.
        root = tempfile.mkdtemp(prefix='reader_trials_')
        try:
            harness.make_bundle(root, first.strftime('%Y-%m-%d 18:00:00'), stocks,
                                ['000001.XSHE', '600000.XSHG'])
            nights = [r for r in runs if r.endswith('18:00:00')]
            files = updated = waits = failed = 0
            for now in nights:
                before = harness.last_dates(root)
                status, _, waited, _ = harness.update_with_held_files(root, now, stocks, 180, True)
                after = harness.last_dates(root)
                files += len(before)
                updated += sum(after[p] > before[p] for p in before)
                waits += waited
                failed += status != 0
        finally:
            shutil.rmtree(root, ignore_errors=True)
        print('%s, locking on, held until the update waits: %d updates (%d failed, %d waited), '
              '%d of %d files updated' % (program, len(nights), failed, waits, updated, files))


if __name__ == '__main__':
    main(sys.argv[1:])
