#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/ (run once; the files
are kept in the repository). Each seed is laid out as its target reads its input."""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, payload):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as out:
        out.write(payload)


def doubles(values):
    return struct.pack(f"<{len(values)}d", *values)


def peak(n, amplitude=3.0, mean=None, sigma=2.0, offset=0.5):
    mean = n / 2.3 if mean is None else mean
    return [amplitude * math.exp(-((i - mean) ** 2) / (2 * sigma * sigma)) + offset
            for i in range(n)]


def fit_seed(flags, budget, accuracy, offset, x_share, values):
    return struct.pack("<BBddB", flags, budget, accuracy, offset, x_share) + doubles(values)


x = [float(i) for i in range(20)]
for flags in range(6):
    write("fit_fuzzer", f"peak-flags{flags}", fit_seed(flags, 50, 1e-8, 0.5, 127, x + peak(20)))
write("fit_fuzzer", "four-points", fit_seed(1, 50, 1e-8, 0.0, 127, x[:4] + peak(4)))
write("fit_fuzzer", "nan-y", fit_seed(0, 50, 1e-8, 0.0, 127, x + [math.nan] + peak(19)))
write("fit_fuzzer", "unequal", fit_seed(0, 50, 1e-6, 0.0, 60, x + peak(30)))
write("fit_fuzzer", "nan-accuracy", fit_seed(1, 10, math.nan, 0.5, 127, x + peak(20)))

write("estimator_fuzzer", "peak", struct.pack("<B", 127) + doubles(x + peak(20)))
write("estimator_fuzzer", "ramp", struct.pack("<B", 127) + doubles(x[:10] + x[:10]))
write("estimator_fuzzer", "unequal", struct.pack("<B", 40) + doubles(x + peak(9)))

for order, left, right in [(2, 2, 2), (4, 10, 10), (0, 0, 0), (1, 2, 0), (-1, 2, 2),
                           (3, 1, 0), (2147483647, 5, 5)]:
    write("filter_fuzzer", f"order{order}-{left}-{right}", struct.pack("<iii", order, left, right))

for name, values in {"unit-z": [0.5, 0.0, 0.0, 1.0], "oblique": [2.0, 1.0, 2.0, 3.0],
                     "zero-axis": [1.0, 0.0, 0.0, 0.0], "tiny-axis": [0.3, 1e-200, 0.0, 0.0],
                     "huge-axis": [4.0, 1e300, -1e300, 1e300]}.items():
    write("rotation_fuzzer", name, doubles(values))


NO_LINE_SETTINGS = struct.pack("<BB8d", 0, 0, *([0.0] * 8))


def line_settings(shape=0, width=0, resolution=None, held=None):
    """The peaks fuzzer's line settings: shape and width mode by number, the resolution given
    (w0, w1, w2) or not, and {shape parameter number: value} held."""
    held = held or {}
    lines = shape | width << 3 | (0x20 if resolution else 0)
    values = [held.get(k, 0.0) for k in range(5)]
    mask = sum(1 << k for k in held)
    return struct.pack("<BB8d", lines, mask, *(resolution or (0.0, 0.0, 0.0)), *values)


def spectrum_seed(flags, fwhm, position, window_lo, window_hi, values, lines=NO_LINE_SETTINGS):
    return (struct.pack("<Bdddd", flags, fwhm, position, window_lo, window_hi) + lines +
            doubles(values))


def two_lines(n=200):
    """Counts of two lines on a falling background."""
    return [round(40.0 * math.exp(-i / 80.0) + 5.0 + 300.0 * math.exp(-((i - 60) ** 2) / 18.0)
                  + 150.0 * math.exp(-((i - 140) ** 2) / 24.0)) for i in range(n)]


for flags in (0, 1, 2, 5, 14, 18, 33, 130, 198):
    write("peaks_fuzzer", f"two-lines-flags{flags}",
          spectrum_seed(flags, 0.0 if flags % 2 else 7.0, 60.0, 40.0, 90.0, two_lines()))
write("peaks_fuzzer", "negative-counts", spectrum_seed(1, 0.0, 60.0, 0.0, 0.0,
                                                          [-1.0] + two_lines()[1:]))
write("peaks_fuzzer", "flat", spectrum_seed(0, 0.0, 10.0, 0.0, 0.0, [3.0] * 50))

# Shapes (gaussian 0, tailed 1, lorentzian 2, pseudo_voigt 3, voigt 4), width modes (free 0,
# shared 1, resolution 2) and held parameters (tail 0, tail_slope 1, step 2, eta 3, gamma 4).
TAILED_LINES = [round(20.0 + 5.0 * (i < 100) + 400.0 * math.exp(-((i - 100) ** 2) / 18.0)
                      + (60.0 * math.exp((i - 100) / 4.0) if i < 100 else 0.0)) for i in range(200)]
for name, settings in {"tailed": line_settings(1), "lorentzian": line_settings(2),
                       "pseudo-voigt": line_settings(3), "voigt-shared": line_settings(4, 1),
                       "tailed-resolution-fitted": line_settings(1, 2),
                       "resolution-given": line_settings(0, 2, resolution=(4.0, 0.01, 0.0)),
                       "resolution-negative": line_settings(0, 2, resolution=(-100.0, 0.0, 0.0)),
                       "tailed-held": line_settings(1, 0, held={0: 0.1, 1: 3.0, 2: 0.0}),
                       "voigt-gamma-held": line_settings(4, 0, held={4: 0.5}),
                       "eta-out-of-domain": line_settings(3, 0, held={3: 1.5}),
                       "tail-slope-nan": line_settings(1, 0, held={1: math.nan})}.items():
    write("peaks_fuzzer", name, spectrum_seed(1, 0.0, 100.0, 80.0, 120.0, TAILED_LINES, settings))

# Instrument files: a small ORTEC CHN and N42 files of 2011 (CountedZeroes) and 2006.
def chn(counts, calibration=(-0.25, 0.5, 1e-4)):
    header = struct.pack("<hHH2sII8s4sHH", -1, 1, 1, b"10", 30005, 29782, b"11Oct131", b"1030",
                         0, len(counts))
    trailer = struct.pack("<hh3f", -102, 0, *calibration).ljust(512, b"\0")
    return header + struct.pack(f"<{len(counts)}I", *counts) + trailer


gamma = [0, 0, 0] + [int(20 + v) for v in peak(29, amplitude=900.0, sigma=2.5)]
write("chn_fuzzer", "quadratic", chn(gamma))
write("chn_fuzzer", "no-trailer", chn(gamma)[:32 + 4 * len(gamma)])
write("chn_fuzzer", "decreasing", chn(gamma, (0.0, 0.5, -0.1)))
write("cnf_fuzzer", "chn-bytes", chn(gamma))
write("cnf_fuzzer", "zeros", bytes(2048))

packed = "0 3 " + " ".join(str(c) for c in gamma[3:])
write("n42_fuzzer", "n42-2011", (
    "<?xml version='1.0'?><RadInstrumentData><EnergyCalibration id='E'><CoefficientValues>"
    "-0.25 0.5 0.0001</CoefficientValues></EnergyCalibration><RadMeasurement><StartDateTime>"
    "2013-10-11T10:30:10</StartDateTime><RealTimeDuration>PT600.1S</RealTimeDuration><Spectrum "
    "energyCalibrationReference='E'><LiveTimeDuration>PT595.64S</LiveTimeDuration><ChannelData "
    f"compressionCode='CountedZeroes'>{packed}</ChannelData></Spectrum></RadMeasurement>"
    "</RadInstrumentData>").encode())
write("n42_fuzzer", "n42-2006", (
    "<?xml version='1.0'?><N42InstrumentData><Measurement><Spectrum><StartTime>2013-10-11T10:30:10"
    "</StartTime><RealTime>PT1H2M3.5S</RealTime><LiveTime>PT3600S</LiveTime><Calibration "
    "Type='Energy' EnergyUnits='keV'><Equation><Coefficients>0 0.5</Coefficients></Equation>"
    f"</Calibration><ChannelData>{' '.join(map(str, gamma))}</ChannelData></Spectrum>"
    "</Measurement></N42InstrumentData>").encode())

# Bruker UXD: a pattern, and one with a second _2THETACOUNTS in its range, which crashes xylib's
# own reader.
UXD = ("_FILEVERSION=2\n; (Data for Range number 1)\n_DRIVE='COUPLED'\n_STEPSIZE=0.5\n"
       "_START=10.0\n_2THETA=10.0\n_2THETACOUNTS\n10.0\t100\n10.5\t200\n")
write("uxd_fuzzer", "pattern", UXD.encode())
write("uxd_fuzzer", "second-counts-keyword", (UXD + "_KV=45\n_2THETACOUNTS\n12.0\t4\n").encode())
