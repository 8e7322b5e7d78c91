"""Instrument files: a measurement written as SPE, CHN and N42 reads back the same; a Spectrum
goes to fit_peaks and find_peaks as counts; bad files raise OSError or ValueError by name."""
import datetime
import shutil
import subprocess
import struct
import threading

import numpy as np
import pytest

import vesk_numerics as vn

CALIBRATION = (-0.5, 0.75, 2e-5)
LIVE, REAL = 291.2, 300.04
LINES = (180.0, 420.0)  # channels


def counts_of(n=600):
    channel = np.arange(n)
    y = 25.0 + sum(3000.0 * np.exp(-0.5 * ((channel - c) / 2.2) ** 2) for c in LINES)
    y = np.round(y)
    y[:4] = 0  # a run of zeros for CountedZeroes
    return y.astype(np.int64)


def spe(counts):
    rows = "\n".join(f"{c:8d}" for c in counts)
    c0, c1, c2 = CALIBRATION
    return (f"$SPEC_ID:\npython test\n$DATE_MEA:\n03/04/2021 05:06:07\n$MEAS_TIM:\n{LIVE} {REAL}\n"
            f"$DATA:\n0 {len(counts) - 1}\n{rows}\n$MCA_CAL:\n3\n{c0:E} {c1:E} {c2:E} keV\n")


def chn(counts):
    header = struct.pack("<hHH2sII8s4sHH", -1, 1, 1, b"07", round(REAL / 0.02), round(LIVE / 0.02),
                         b"04Mar211", b"0506", 0, len(counts))
    data = struct.pack(f"<{len(counts)}I", *counts)
    trailer = struct.pack("<hh3f", -102, 0, *CALIBRATION).ljust(512, b"\0")
    return header + data + trailer


def n42(counts, spectra=1):
    packed, i = [], 0
    while i < len(counts):
        if counts[i] == 0:
            run = 0
            while i + run < len(counts) and counts[i + run] == 0:
                run += 1
            packed += ["0", str(run)]
            i += run
        else:
            packed.append(str(counts[i]))
            i += 1
    measurement = (f"<RadMeasurement><StartDateTime>2021-03-04T05:06:07</StartDateTime>"
                   f"<RealTimeDuration>PT{REAL}S</RealTimeDuration>"
                   f"<Spectrum energyCalibrationReference='E'><LiveTimeDuration>PT{LIVE}S"
                   f"</LiveTimeDuration><ChannelData compressionCode='CountedZeroes'>"
                   f"{' '.join(packed)}</ChannelData></Spectrum></RadMeasurement>")
    return ("<?xml version='1.0'?><RadInstrumentData xmlns='http://physics.nist.gov/N42/2011/N42'>"
            f"<EnergyCalibration id='E'><CoefficientValues>{' '.join(map(repr, CALIBRATION))}"
            f"</CoefficientValues></EnergyCalibration>{measurement * spectra}"
            "</RadInstrumentData>")


@pytest.fixture
def files(tmp_path):
    counts = counts_of()
    written = {}
    for name, content in (("m.Spe", spe(counts)), ("m.chn", chn(counts)), ("m.n42", n42(counts))):
        path = tmp_path / name
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content)
        written[name] = path
    return counts, written


def test_every_format_of_one_measurement_reads_the_same(files):
    counts, written = files
    expected_x = np.polyval(CALIBRATION[::-1], np.arange(counts.size))
    for name, path in written.items():
        s = vn.read_spectrum(path)
        for array in (s.counts, s.x, s.channels):
            assert array.dtype == np.float64 and array.shape == counts.shape, name
        np.testing.assert_array_equal(s.counts, counts, err_msg=name)
        np.testing.assert_allclose(s.x, expected_x, atol=1e-4, err_msg=name)
        np.testing.assert_allclose(s.calibration, CALIBRATION, rtol=1e-6, err_msg=name)
        assert s.x_unit == "keV" and s.is_counts, name
        assert abs(s.live_time - LIVE) <= 0.02 and abs(s.real_time - REAL) <= 0.02, name
        assert s.start_time == datetime.datetime(2021, 3, 4, 5, 6, 7), name
        assert isinstance(s.metadata, dict) and all(isinstance(v, str) for v in s.metadata.values())
    assert vn.read_spectrum(str(written["m.Spe"])).metadata["sample"] == "python test"


def test_a_spectrum_is_fitted_as_counts_unless_told_otherwise(files):
    _, written = files
    s = vn.read_spectrum(written["m.chn"])
    fitted = vn.fit_peaks(s)
    as_counts = vn.fit_peaks(s.x, s.counts, errors="poisson")
    np.testing.assert_array_equal(fitted.peaks["mean"], as_counts.peaks["mean"])
    # Both lines at their calibrated energies (the edge of the zeros at the start may add one).
    for energy in np.polyval(CALIBRATION[::-1], LINES):
        assert np.abs(fitted.peaks["mean"] - energy).min() < 0.01
    unweighted = vn.fit_peaks(s, errors=None)
    np.testing.assert_array_equal(unweighted.peaks["mean_err"],
                                  vn.fit_peaks(s.x, s.counts).peaks["mean_err"])
    found = vn.find_peaks(s)
    np.testing.assert_array_equal(found, vn.find_peaks(s.x, s.counts, errors="poisson"))
    with pytest.raises(TypeError, match="y must be omitted"):
        vn.fit_peaks(s, s.counts)
    with pytest.raises(TypeError, match="y is required"):
        vn.fit_peaks(s.x)


def test_several_spectra_and_the_index(tmp_path):
    path = tmp_path / "three.n42"
    path.write_text(n42(counts_of(), spectra=3))
    assert len(vn.read_spectra(path)) == 3
    assert vn.read_spectrum(path, index=2).counts.size == 600
    with pytest.raises(ValueError, match="no spectrum 3"):
        vn.read_spectrum(path, index=3)


BOMB = ("<?xml version='1.0'?><!DOCTYPE r [<!ENTITY a 'aaaaaaaaaa'><!ENTITY b '&a;&a;&a;&a;'>]>"
        "<RadInstrumentData>&b;</RadInstrumentData>")
EXTERNAL = ("<?xml version='1.0'?><!DOCTYPE r [<!ENTITY x SYSTEM 'file:///etc/hostname'>]>"
            "<RadInstrumentData><Spectrum><ChannelData>&x;</ChannelData></Spectrum>"
            "</RadInstrumentData>")


@pytest.mark.parametrize("content, reason", [
    (bytes(range(256)) * 4, "not a spectrum file this program reads"),
    (chn(counts_of())[:200], "truncated"),
    (spe(counts_of()).replace("0 599", "0 2147483647"), r"\$DATA"),
    (spe(counts_of()).replace("    3025", "      -3", 1), "negative"),
    (n42(counts_of())[:300], "malformed XML"),
    (BOMB, "refused"),
    (EXTERNAL, "refused"),
    # The message quotes the file's bytes, which need not be UTF-8.
    (spe(counts_of()).replace("    3025", "   30\xff5", 1).encode("latin-1"),
     r"expected a count, got '30\\xff5'"),
])
def test_bad_content_raises_value_error_naming_the_file(tmp_path, content, reason):
    path = tmp_path / "bad.file"
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    with pytest.raises(ValueError, match=reason) as raised:
        vn.read_spectra(path)
    assert str(path) in str(raised.value)


def test_fields_that_are_not_utf8_are_read_with_escapes(tmp_path):
    path = tmp_path / "latin1.Spe"
    path.write_bytes(spe(counts_of()).replace("python test", "25 \xb0C").encode("latin-1"))
    assert vn.read_spectrum(path).metadata["sample"] == "25 \\xB0C"


def test_a_missing_file_raises_os_error_and_a_non_path_type_error(tmp_path):
    with pytest.raises(OSError, match="cannot open"):
        vn.read_spectrum(tmp_path / "missing.Spe")
    with pytest.raises(TypeError, match="path"):
        vn.read_spectra(3)


def test_reading_releases_the_gil_and_threads_agree(files):
    counts, written = files
    results = []

    def read():
        for _ in range(20):
            results.append(all(np.array_equal(vn.read_spectrum(p).counts, counts)
                               for p in written.values()))

    threads = [threading.Thread(target=read) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [True] * 80


UXD = ("_FILEVERSION=1\n_SAMPLE='T'\n; (Data for Range number 1)\n_DRIVE='COUPLED'\n"
       "_STEPSIZE=0.02\n_START=10.0\n_2THETA=10.0\n_COUNTS\n" +
       "\n".join(" ".join(str(100 + (7 * i + k) % 13) for k in range(8)) for i in range(25)) + "\n")


@pytest.mark.skipif(shutil.which("xyconv") is None, reason="xylib's converter is not installed")
def test_xylib_formats_agree_with_xyconv(tmp_path):
    path = tmp_path / "pattern.uxd"
    path.write_text(UXD)
    rows = [line.split() for line in subprocess.run(
        ["xyconv", str(path), "-"], capture_output=True, text=True, check=True).stdout.splitlines()
        if line.strip() and not line.startswith("#")]
    expected = np.array(rows, dtype=float)
    s = vn.read_spectrum(path)
    assert s.format == "Bruker Diffrac-AT UXD" and s.x_unit == "deg" and not s.is_counts
    assert s.counts.size == 200
    np.testing.assert_allclose(s.x, expected[:, 0], atol=1e-6)
    np.testing.assert_array_equal(s.counts, expected[:, 1])
