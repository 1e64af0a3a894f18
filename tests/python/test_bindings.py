"""The tessera_plus module from Python: update, check, read, and errors of Python's own kinds."""
import fcntl
import os
import shutil
import tempfile
import time
import unittest

import h5py
import numpy as np

os.environ.setdefault('TESSERA_NOW', '2024-07-01 18:00:00')
os.environ['TALLOW_SOURCE'] = 'sim'
import tessera_plus  # noqa: E402


class Bundle(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix='bindings_')
        cls.updated = tessera_plus.update(cls.root, minbar=['000001.XSHE', 'RB'],
                                          tick=['000001.XSHE'], concurrency=2)
        cls.minbar = os.path.join(cls.root, 'bundle', 'h5', 'equities', '000001.XSHE.h5')
        cls.tick = os.path.join(cls.root, 'bundle', 'ticks', '000001.XSHE.h5')

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_update_then_checks_find_nothing(self):
        self.assertIs(self.updated.success, True)
        self.assertEqual(tessera_plus.check_minbar(self.root), ([], []))
        self.assertEqual(tessera_plus.check_tick(self.root), ([], []))
        self.assertIs(tessera_plus.smart_update(self.root, concurrency=1).success, True)

    def test_writing_runs_refuse_a_held_bundle_and_reading_goes_on(self):
        # The run lock is an flock on the bundle directory; this one stands for another run, which
        # names a live process (this one) in the lock file.
        bundle = os.path.join(self.root, 'bundle')
        line = '进程 {}，开始于 {}，命令 cron'.format(os.getpid(), time.strftime('%Y-%m-%d %H:%M:%S'))
        held = os.open(bundle, os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(held, fcntl.LOCK_EX)
            with open(os.path.join(bundle, '.tessera_plus-run.lock'), 'w') as named:
                named.write(line + '\n')
            for run in (lambda: tessera_plus.smart_update(self.root, concurrency=1),
                        lambda: tessera_plus.update(self.root, base=False, wait=0.05),
                        lambda: tessera_plus.download_sample(self.root, file='/nonexistent')):
                with self.assertRaises(BlockingIOError) as caught:
                    run()
                self.assertIn('正被另一个任务使用（' + line + '）', str(caught.exception))
            self.assertEqual(tessera_plus.check_minbar(self.root), ([], []))
        finally:
            os.close(held)
        self.assertIs(tessera_plus.update(self.root, base=False).success, True)

    def test_read_minbar_matches_h5py_field_by_field(self):
        data, index = tessera_plus.read_minbar(self.minbar)
        with h5py.File(self.minbar, 'r') as f:
            stored_data, stored_index = f['data'][()], f['index'][()]
        self.assertEqual(data.dtype.names, stored_data.dtype.names)
        self.assertEqual(index.dtype, np.dtype([('date', '<i4'), ('line_no', '<u4')]))
        for name in data.dtype.names:
            np.testing.assert_array_equal(data[name], stored_data[name])
        np.testing.assert_array_equal(index['line_no'], stored_index['line_no'])
        self.assertGreater(len(data), 1000)

    def test_read_tick_one_day_and_all_days(self):
        with h5py.File(self.tick, 'r') as f:
            days = sorted(f.keys())
            first = f[days[0]][()]
        one = tessera_plus.read_tick(self.tick, days[0])
        self.assertEqual(one.tobytes(), first.tobytes())
        every = tessera_plus.read_tick(self.tick)
        self.assertEqual(every[:len(one)].tobytes(), one.tobytes())
        self.assertTrue(np.all(np.diff(every['date']) >= 0))

    def test_derivative_file_has_open_interest(self):
        folder = os.path.join(self.root, 'bundle', 'h5', 'future')
        name = sorted(os.listdir(folder))[0]
        data, _ = tessera_plus.read_minbar(os.path.join(folder, name))
        self.assertIn('open_interest', data.dtype.names)

    def test_broken_file_is_listed_not_deleted(self):
        copy = os.path.join(self.root, 'bundle', 'h5', 'equities', '000002.XSHE.h5')
        with open(copy, 'wb') as f:
            f.write(b'not an HDF5 file')
        try:
            broken, locked = tessera_plus.check_minbar(self.root)
            self.assertEqual((broken, locked), ([copy], []))
            self.assertTrue(os.path.exists(copy))
        finally:
            os.remove(copy)


class Rebuild(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix='bindings_rebuild_')

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def test_rebuild_true_rewrites_a_damaged_file_without_asking(self):
        self.assertIs(tessera_plus.update(self.root, minbar=['000001.XSHE'], base=False,
                                          concurrency=1).success, True)
        path = os.path.join(self.root, 'bundle', 'h5', 'equities', '000001.XSHE.h5')
        with open(path, 'wb') as f:
            f.write(b'not an HDF5 file')
        # Without the rebuild the damaged file fails the update; with it the file is built anew,
        # and standard input is never read.
        self.assertIs(tessera_plus.update(self.root, minbar=['000001.XSHE'], base=False,
                                          concurrency=1).success, False)
        with open(os.devnull) as closed_input:
            saved = os.dup(0)
            os.dup2(closed_input.fileno(), 0)
            try:
                rebuilt = tessera_plus.update(self.root, minbar=['000001.XSHE'], base=False,
                                              concurrency=1, rebuild=True)
            finally:
                os.dup2(saved, 0)
                os.close(saved)
        self.assertIs(rebuilt.success, True)
        data, index = tessera_plus.read_minbar(path)
        self.assertGreater(len(data), 1000)
        self.assertEqual(index['line_no'][0], 0)


class Errors(unittest.TestCase):
    def test_kinds(self):
        with self.assertRaises(FileNotFoundError) as caught:
            tessera_plus.read_minbar('/nonexistent/000001.XSHE.h5')
        self.assertEqual(caught.exception.errno, 2)
        with self.assertRaises(ValueError):
            tessera_plus.update(tempfile.gettempdir(), concurrency=0)
        for requests in (0, 257):
            with self.assertRaises(ValueError):
                tessera_plus.smart_update(tempfile.gettempdir(), requests=requests)
        with self.assertRaises(TypeError):  # keyword-only, as on the command line
            tessera_plus.update('/tmp', ['000001.XSHE'])
        self.assertTrue(issubclass(tessera_plus.ServiceUnavailable, ConnectionError))

    def test_permission_denied_is_its_own_class(self):
        market = tessera_plus.sim.SimMarket()
        os.environ['TALLOW_SIM_DENY'] = 'cs_1m'
        try:
            denied = tessera_plus.sim.SimMarket()
        finally:
            del os.environ['TALLOW_SIM_DENY']
        self.assertIsNotNone(market.get_price('000001.XSHE', 20240628, 20240628, '1m'))
        with self.assertRaises(tessera_plus.PermissionDenied):
            denied.get_price('000001.XSHE', 20240628, 20240628, '1m')


if __name__ == '__main__':
    unittest.main()
