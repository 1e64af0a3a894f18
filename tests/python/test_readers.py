"""Readers that hold bundle files while `tessera-plus smart-update` runs, as real processes: h5py
readers with HDF5's file locking off read old or new values, never wrong ones; with locking on,
the update waits for a reader that closes within --lock-wait and then updates every file, and a
file held past the wait is tried once more at the end and then reported failed."""
import shutil
import tempfile
import unittest

from readers_during_update import (last_dates, make_bundle, update_with_held_files,
                                   updates_with_readers)

STOCKS = 3
FIRST = '2024-05-20 18:00:00'
# Two nights, and one run during a trading day, whose last day the next run stores again.
DAYS = ['2024-05-21 18:00:00', '2024-05-22 10:30:00', '2024-05-22 18:00:00']


class ReadersCoexist(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.template = tempfile.mkdtemp(prefix='readers_template_')
        make_bundle(cls.template, FIRST, STOCKS, ['000001.XSHE'])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.template, ignore_errors=True)

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix='readers_')
        shutil.rmtree(self.root)
        shutil.copytree(self.template, self.root, symlinks=True)

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def assert_no_wrong_values(self, totals):
        self.assertEqual(totals['failed_updates'], 0)
        self.assertGreater(totals['reads'], 0)
        self.assertEqual(totals['wrong'], [])
        self.assertEqual(totals['errors'], [])

    def test_readers_without_locking_holding_files_read_old_or_new_values(self):
        totals = updates_with_readers(self.root, DAYS, readers=2, locking=False, mode='hold',
                                      stocks=STOCKS, reads_between=20)
        self.assert_no_wrong_values(totals)

    def test_readers_with_locking_that_come_and_go_read_old_or_new_values(self):
        totals = updates_with_readers(self.root, DAYS[:1], readers=2, locking=True,
                                      mode='cycle', stocks=STOCKS, reads_between=20)
        self.assert_no_wrong_values(totals)

    def test_reader_that_closes_within_the_wait_gets_every_file_updated(self):
        before = last_dates(self.root)
        status, err, waited, _ = update_with_held_files(self.root, DAYS[0], STOCKS, 300, True)
        self.assertEqual(status, 0, err[-3000:])
        self.assertTrue(waited)
        after = last_dates(self.root)
        self.assertEqual(sorted(after), sorted(before))
        for path, date in after.items():
            self.assertGreater(date, before[path], path)

    def test_file_held_past_the_wait_fails_after_one_more_try_and_the_rest_update(self):
        before = last_dates(self.root)
        status, err, _, _ = update_with_held_files(self.root, DAYS[0], STOCKS, 0, False)
        self.assertEqual(status, 1)
        after = last_dates(self.root)
        self.assertEqual(after, before)
        # Each held file fails once, after its last try, with the lock advice.
        for path in before:
            self.assertEqual(err.count('更新 %s 失败，请检查文件的权限以及是否被其他进程占用' % path),
                             1, path)


if __name__ == '__main__':
    unittest.main()
