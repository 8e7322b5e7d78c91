"""Counts, rates, detection limits and blanks from Python: the same numbers as the fields'
definitions, batches equal to single fits, and bad live times and blanks refused by name."""
import numpy as np
import pytest

import vesk_numerics as vn

WIDTH = 0.5
FWHM = 3.5


def counted(seed, area, background=40.0, channels=600):
    rng = np.random.default_rng(seed)
    x = 100.0 + WIDTH * np.arange(channels)
    sigma = FWHM / 2.3548200450309493
    line = area * WIDTH / (sigma * np.sqrt(2 * np.pi)) * np.exp(-0.5 * ((x - 200.0) / sigma) ** 2)
    return x, rng.poisson(background + line).astype(np.float64)


def test_counts_rates_and_limits_of_a_line_that_is_there_and_one_that_is_not():
    x, y = counted(1, 4000.0)
    fit = vn.fit_peaks(x, y, peaks=[200.0, 180.0], errors="poisson", fwhm=FWHM, live_time=600.0)
    there, empty = sorted(fit.peaks, key=lambda p: -p["counts"])
    np.testing.assert_allclose(fit.peaks["counts"] * WIDTH, fit.peaks["area"], rtol=1e-12)
    np.testing.assert_array_equal(fit.peaks["rate"], fit.peaks["counts"] / 600.0)
    assert there["significant"] and there["counts"] > there["detection_limit"]
    assert not empty["significant"] and empty["counts"] <= empty["critical_level"]
    assert fit.regions["ok"].all()
    assert np.isnan(fit.peaks["net_rate"]).all() and fit.blank is None
    # No live time: the rates are NaN, the counts and limits are not.
    plain = vn.fit_peaks(x, y, peaks=[200.0, 180.0], errors="poisson", fwhm=FWHM)
    assert np.isnan(plain.peaks["rate"]).all()
    np.testing.assert_array_equal(plain.peaks["critical_level"], fit.peaks["critical_level"])


def test_blank_of_the_same_source_gives_net_rates_near_zero_and_batches_equal_single_fits():
    x, y = counted(2, 4000.0)
    xb, yb = counted(3, 8000.0, background=80.0)
    fit = vn.fit_peaks(x, y, errors="poisson", fwhm=FWHM, live_time=600.0,
                       blank=(xb, yb, 1200.0))
    assert fit.blank is not None and fit.blank.peaks.size == fit.peaks.size
    np.testing.assert_array_equal(fit.peaks["net_rate"],
                                  fit.peaks["rate"] - fit.blank.peaks["rate"])
    assert (np.abs(fit.peaks["net_rate"]) < 3 * fit.peaks["net_rate_err"]).all()
    ys = np.stack([y, counted(4, 4000.0)[1]])
    batch = vn.fit_peaks_many(x, ys, peaks=[200.0], errors="poisson", fwhm=FWHM,
                              live_time=[600.0, 300.0])
    for row, live_time in enumerate((600.0, 300.0)):
        single = vn.fit_peaks(x, ys[row], peaks=[200.0], errors="poisson", fwhm=FWHM,
                              live_time=live_time).peaks[0]
        for name in ("counts", "rate", "rate_err", "critical_level", "detection_limit",
                     "significant"):
            assert batch[row, 0][name] == single[name], name


@pytest.mark.parametrize("settings, error, words", [
    ({"live_time": 0.0}, ValueError, "live_time must be positive"),
    ({"live_time": "60"}, TypeError, "live_time must be a real number"),
    ({"blank": "blank.spe"}, TypeError, "blank must be a tuple"),
    ({"blank": ([1.0, 2.0], [1.0], 60.0)}, ValueError, "blank: x and y differ"),
    ({"blank": ([1.0, 2.0, 3.0], [1.0, -1.0, 2.0], 60.0)}, ValueError, "blank: y holds a negative"),
    ({"blank": ([1.0, 2.0, 3.0], [1.0, 1.0, 2.0], -1.0)}, ValueError, "blank live_time"),
])
def test_bad_live_times_and_blanks_are_refused_by_name(settings, error, words):
    x, y = counted(5, 1000.0)
    with pytest.raises(error, match=words):
        vn.fit_peaks(x, y, errors="poisson", **settings)


def test_batch_live_times_are_checked():
    x, y = counted(6, 1000.0)
    with pytest.raises(ValueError, match="one per row"):
        vn.fit_peaks_many(x, np.stack([y, y]), peaks=[200.0], live_time=[1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match="live_time is not positive"):
        vn.fit_peaks_many(x, np.stack([y, y]), peaks=[200.0], live_time=[1.0, np.nan])
