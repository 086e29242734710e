"""The package as an application gets it from pip: where it is installed and
finds the library, its version, the with statement, use before open, roll
mode as a generator, and NumPy arrays or bytes."""

import os
import subprocess
import sys
import unittest

from helpers import CHECKOUT, RecordingLibrary, zqlusb


def cmake_version():
    with open(os.path.join(CHECKOUT, "CMakeLists.txt")) as f:
        for line in f:
            if line.startswith("project(zqlusb VERSION "):
                return line.split()[2]
    raise AssertionError("no project() version in CMakeLists.txt")


def has_numpy():
    try:
        import numpy  # noqa: F401
    except ImportError:
        return False
    return True


class Installed(unittest.TestCase):
    def test_imported_from_the_environment_not_the_checkout(self):
        self.assertTrue(os.path.abspath(zqlusb.__file__).startswith(os.path.abspath(sys.prefix)), zqlusb.__file__)

    def test_version_is_the_libraries(self):
        self.assertEqual(zqlusb.__version__, cmake_version())

    def test_library_is_found_beside_the_package_and_by_explicit_path_or_variable(self):
        beside = os.path.join(os.path.dirname(zqlusb.__file__), "libzqlusb.so")
        environment = {k: v for k, v in os.environ.items() if k != zqlusb.ENVIRONMENT_VARIABLE}
        probe = "import zqlusb; print(zqlusb.load()._name)"
        cases = [
            ("beside the package", environment, probe, 0, beside),
            ("variable", dict(environment, ZQLUSB_LIBRARY="/no/such/lib.so"), probe, 1,
             "from ZQLUSB_LIBRARY=/no/such/lib.so (tried /no/such/lib.so: no such file)"),
            ("explicit path", environment, "import zqlusb; zqlusb.load('/nowhere/x.so')", 1,
             "from the path given (tried /nowhere/x.so: no such file)"),
            # A file in the current folder named without one is loaded by its full path.
            ("current folder", environment, "import os, zqlusb; print(zqlusb.load(os.path.basename(%r))._name)"
             % beside, 0, beside),
        ]
        for context, env, code, status, says in cases:
            with self.subTest(context):
                done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                                      timeout=60, cwd=os.path.dirname(beside))
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(says, done.stdout + done.stderr)
                if context == "variable":
                    self.assertNotIn("set ZQLUSB_LIBRARY", done.stderr, "it is set already")


class Use(unittest.TestCase):
    def test_with_opens_and_closes(self):
        with zqlusb.Zelqa(arrays=False) as scope:
            self.assertTrue(scope.is_open)
            self.assertEqual(len(scope.capture(10)[0]), 10)
        self.assertFalse(scope.is_open)
        with self.assertRaises(zqlusb.ZelqaNotOpen):
            scope.capture(10)

    def test_calls_before_open_raise_instead_of_returning_zeros(self):
        cases = [("capture", (10,)), ("roll", ()), ("pretrigger", ()), ("read_block", (64,)), ("read_byte", ()),
                 ("serial_eeprom", (0,)), ("i2c_read", (0,)), ("i2c_write", (0, b"a")), ("flush", ()),
                 ("write_registers", ({1: 2},)), ("write_raw", (b"a",)), ("load_fpga", (b"a",)), ("set_epb", ())]
        for name, args in cases:
            with self.subTest(call=name):
                library = RecordingLibrary()
                with self.assertRaisesRegex(zqlusb.ZelqaNotOpen, "call open"):
                    getattr(zqlusb.Zelqa(library, arrays=False), name)(*args)
                self.assertEqual(library.calls, [])

    def test_roll_blocks_is_a_generator_that_fetches_on_demand(self):
        with zqlusb.Zelqa(arrays=False) as scope:
            library = RecordingLibrary()
            blocks = scope.roll_blocks(3)
            self.assertEqual([len(a) for a, b, invalid in blocks], [300, 300, 300])
            endless = scope.roll_blocks()
            first = next(endless)
            self.assertEqual((len(first[0]), first[2]), (300, False))
        counted = zqlusb.Zelqa(library, arrays=False).open()
        generator = counted.roll_blocks(2)
        self.assertNotIn("USBRetrieveRollModeData", library.calls)  # nothing until asked
        list(generator)
        self.assertEqual(library.calls.count("USBRetrieveRollModeData"), 2)

    def test_roll_blocks_refuses_at_the_call_not_at_the_first_next(self):
        cases = [(-1, ValueError, True), ("3", TypeError, True), (2, zqlusb.ZelqaNotOpen, False)]
        for count, error, opened in cases:
            with self.subTest(count=count, opened=opened):
                library = RecordingLibrary()
                scope = zqlusb.Zelqa(library, arrays=False)
                if opened:
                    scope.open()
                with self.assertRaises(error):
                    scope.roll_blocks(count)  # no next(): the call itself raises
                self.assertNotIn("USBRetrieveRollModeData", library.calls)

    def test_samples_are_numpy_arrays_when_numpy_imports_else_bytes(self):
        with zqlusb.Zelqa(arrays=False) as plain:
            reference = plain.capture(100) + plain.pretrigger()
        with zqlusb.Zelqa() as scope:
            samples = scope.capture(100) + scope.pretrigger()
            block = next(scope.roll_blocks(1))
        if has_numpy():
            import numpy
            for got, want in zip(samples, reference):
                self.assertIsInstance(got, numpy.ndarray)
                self.assertEqual(got.dtype, numpy.uint8)
                self.assertEqual(got.tobytes(), want)
            self.assertIsInstance(block[0], numpy.ndarray)
        else:
            self.assertEqual(samples, reference)
            self.assertIsInstance(block[0], bytes)
            with self.assertRaisesRegex(ImportError, "NumPy"):
                zqlusb.Zelqa(arrays=True)
        print(f"NumPy {'present: arrays' if has_numpy() else 'absent: bytes'}", file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
