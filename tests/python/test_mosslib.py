import ctypes
import math
import os
import unittest

import mosslib

IRON = [0, 33.0, 0.0, 0.0, 0.25, 1.0, 3, 2, 1, 1, 2, 3, 0.05, 128.5]


def representative_ttt():
    ints = [1, 6, 1, 1, -1, 256, 4, 15, 0, 0] + [0] * 17
    reals = [0.0] * 37
    reals[0], reals[1], reals[3] = 53.4, 4.2, -1.1
    for k in range(8, 14):
        reals[k] = 2.0
    reals[14], reals[19] = 0.13, 6000.0
    reals[26], reals[27], reals[28], reals[29] = 127.0, 0.09, 0.38, 0.28
    reals[30], reals[31], reals[32] = -187.0, -243.0, -227.0
    return ints, reals


class SameAsTheCLibrary(unittest.TestCase):
    """The Python layer hands the arrays through unchanged and returns what C wrote."""

    def test_analytic_spectrum_equals_a_direct_call(self):
        lib = ctypes.CDLL(os.environ["MOSSLIB_LIBRARY"])
        p = (ctypes.c_double * 14)(*IRON)
        out = (ctypes.c_double * 256)()
        lib.sext(p, out)
        self.assertEqual(list(mosslib.sext(IRON)), list(out))
        self.assertEqual(len(mosslib.sextgen_sl([0] * 21)), 512)

    def test_sextet_peaks_where_the_lines_are(self):
        s = mosslib.sext(IRON)
        peak = max(range(256), key=lambda i: s[i])
        velocity = (peak + 1 - 128.5) * 0.05
        self.assertAlmostEqual(abs(velocity), 0.163 * 33.0, delta=0.05)

    def test_tkv_of_ttt_output_is_zero(self):
        ints, reals = representative_ttt()
        spectrum = mosslib.ttt(ints, reals)
        self.assertEqual(len(spectrum), 256)
        ints[26] = ints[3]
        self.assertEqual(mosslib.tkv(ints, reals, list(spectrum)), 0.0)

    def test_parl_deepest_channel_is_one_minus_amplitude(self):
        ib = [0, 2, 0, 0, 0]
        db = [0.0] * 29
        db[1], db[4], db[5], db[7], db[9], db[16], db[27] = 0.3, 0.08, 128.5, 0.3, 5000.0, -220000.0, 30.0
        out = mosslib.parl(ib, db)
        self.assertAlmostEqual(min(out), 0.7, places=6)
        self.assertTrue(all(math.isfinite(v) for v in out))


class RefusalsRaise(unittest.TestCase):
    def test_library_refusals_become_exceptions_with_the_reason(self):
        ints, reals = representative_ttt()
        ints[1], ints[2] = 7, 7
        with self.assertRaisesRegex(mosslib.MosslibError, "36"):
            mosslib.ttt(ints, reals)
        with self.assertRaises(mosslib.MosslibError):
            mosslib.parl([0, 7, 0, 0, 0], [0.0] * 29)

    def test_sizes_the_c_interface_cannot_take_are_refused_before_the_call(self):
        with self.assertRaises(ValueError):
            mosslib.tkv([0] * 27, [0.0] * 37, [0.0] * 100)
        with self.assertRaises(mosslib.MosslibError):
            ints, reals = representative_ttt()
            ints[5] = 0
            mosslib.ttt(ints, reals)

    def test_version(self):
        self.assertRegex(mosslib.version(), r"^\d+\.\d+\.\d+$")


if __name__ == "__main__":
    unittest.main()
