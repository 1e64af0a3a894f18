"""TALLOW_SOURCE=python through the real program and the real interpreter: a bundle built from the
stand-in client library (fake_tallow, serving the simulated market) equals the one built from the
simulated market directly, and hostile answers end as the right error, never as wrong data."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import h5py

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAM = os.environ['TESSERA_PLUS_PROGRAM']
DIGEST = os.path.join(HERE, '..', 'support', 'bundle_digest.py')
NOW = '2024-07-01 18:00:00'


def run(root, args, source='python', module='fake_tallow', fault=None, log=None):
    env = dict(os.environ, TESSERA_NOW=NOW, TALLOW_SOURCE=source, TALLOW_PYTHON_MODULE=module)
    env.pop('FAKE_TALLOW_FAULT', None)
    if fault:
        env['FAKE_TALLOW_FAULT'] = fault
    env['TESSERA_LOG_FILE'] = log or os.path.join(root, 'tessera_plus.log')
    return subprocess.run([PROGRAM] + args + ['-d', root], env=env, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)


def digest(root):
    out = subprocess.run([sys.executable, DIGEST, os.path.join(root, 'bundle')], check=True,
                         capture_output=True, text=True).stdout
    return out.splitlines()


class Scratch(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='pysource_')
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def root(self, name):
        return os.path.join(self.dir, name)

    def log_of(self, root):
        path = os.path.join(root, 'tessera_plus.log')
        return open(path, encoding='utf-8').read() if os.path.exists(path) else ''


class SameBundleAsSim(Scratch):
    UPDATE = ['update', '-j', '2', '--minbar', '000001.XSHE', '600519.XSHG', '000300.XSHG', 'RB',
              '--tick', '000001.XSHE', 'IF']

    def test_full_update_equals_sim_dataset_by_dataset(self):
        sim, python = self.root('sim'), self.root('python')
        done_sim = run(sim, self.UPDATE, source='sim')
        done_python = run(python, self.UPDATE)
        self.assertEqual(done_sim.returncode, 0, done_sim.stderr)
        self.assertEqual(done_python.returncode, 0, done_python.stderr)
        lines = digest(python)
        self.assertGreater(len([l for l in lines if '.h5 ' in l]), 10)
        self.assertEqual(digest(sim), lines)

    def test_extra_and_integer_columns_change_nothing(self):
        sim = self.root('sim')
        args = ['update', '--no-base', '--minbar', '000001.XSHE', '--tick', '000001.XSHE']
        self.assertEqual(run(sim, args, source='sim').returncode, 0)
        for fault in ('extra_column', 'int_columns'):
            with self.subTest(fault=fault):
                root = self.root(fault)
                done = run(root, args, fault=fault)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(digest(sim), digest(root))

    def test_smart_update_through_python_extends_like_sim(self):
        sim, python = self.root('sim'), self.root('python')
        first = ['update', '--minbar', '600519.XSHG', '--tick', '600519.XSHG']
        for root, source in ((sim, 'sim'), (python, 'python')):
            self.assertEqual(run(root, first, source=source).returncode, 0)
            self.assertEqual(run(root, ['smart-update', '-j', '1'], source=source).returncode, 0)
        self.assertEqual(digest(sim), digest(python))


class HostileAnswers(Scratch):
    ARGS = ['update', '--no-base', '-j', '1', '--minbar', '000001.XSHE', '--tick', '000001.XSHE']

    def stored_rows(self, root):
        """Rows held by the minute-bar and tick files: a writer may leave an empty file."""
        rows = 0
        for folder, _, names in os.walk(os.path.join(root, 'bundle')):
            for name in names:
                if name.endswith('.h5'):
                    with h5py.File(os.path.join(folder, name), 'r') as f:
                        rows += sum(len(f[key]) for key in f)
        return rows

    def test_failures_are_logged_per_instrument_and_fail_the_update(self):
        # fault: words the log line must hold
        cases = {
            'denied': 'PermissionDenied',
            'timeout': 'TimeoutError',
            'missing_column': 'close',
            'wrong_dtype': "column 'close' has dtype object",
            'no_multiindex': '(order_book_id, datetime)',
            'tz_aware': 'time zone',
        }
        for fault, words in cases.items():
            with self.subTest(fault=fault):
                root = self.root(fault)
                done = run(root, self.ARGS, fault=fault)
                self.assertEqual(done.returncode, 1, done.stderr)
                log = self.log_of(root)
                self.assertIn(words, log)
                self.assertIn('fake_tallow.get_price', log)
                self.assertEqual(self.stored_rows(root), 0, 'no file may hold a hostile answer')

    def test_no_data_is_not_a_failure(self):
        for fault in ('none', 'empty'):
            with self.subTest(fault=fault):
                root = self.root(fault)
                done = run(root, self.ARGS, fault=fault)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(self.stored_rows(root), 0)
                # The run's start and end lines, and no failure.
                self.assertNotIn(' ERROR ', self.log_of(root))
                self.assertIn(' INFO end: exit status 0\n', self.log_of(root))

    def test_module_that_cannot_be_imported_is_one_line_and_status_1(self):
        for module, words in (('broken_tallow', "No module named 'tallow_transport_that_is_not"),
                              ('no_such_tallow', "No module named 'no_such_tallow'")):
            with self.subTest(module=module):
                root = self.root(module)
                done = run(root, self.ARGS, module=module)
                self.assertEqual(done.returncode, 1)
                lines = done.stderr.splitlines()
                self.assertEqual(len(lines), 1, done.stderr)
                self.assertIn(f"cannot import the market-data module '{module}'", lines[0])
                self.assertIn(words, lines[0])
                self.assertIn('ModuleNotFoundError', lines[0])

    def test_check_reaches_the_module_too(self):
        root = self.root('check')
        self.assertEqual(run(root, ['update', '--minbar', '000001.XSHE']).returncode, 0)
        done = subprocess.run(
            [PROGRAM, 'check', 'minbar', '-d', root],
            env=dict(os.environ, TESSERA_NOW=NOW, TALLOW_SOURCE='python',
                     TALLOW_PYTHON_MODULE='fake_tallow',
                     TESSERA_LOG_FILE=os.path.join(root, 'log')),
            capture_output=True, text=True, input='no\n')
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn('检测完成：分钟数据质量良好！', done.stdout)


if __name__ == '__main__':
    unittest.main()
