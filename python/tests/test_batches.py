"""Known lines across many spectra, and what a new user tripped over: series statistics of
fit_many's array, unequal lengths, and a fitter that shows its settings."""
import numpy as np
import pytest

import vesk_numerics as vn
from test_dask import monitor

SETTINGS = [{"errors": "poisson"}, {"errors": None, "background": "quadratic"},
            {"errors": "array", "same_width": True, "window": (60.0, 330.0)},
            {"errors": "poisson", "shape": "pseudo_voigt", "fixed": {"eta": 0.3}},
            {"errors": "poisson", "shape": "tailed", "width": "resolution"}]


@pytest.mark.parametrize("settings", SETTINGS)
def test_every_row_equals_fit_peaks_on_its_spectrum_for_any_number_of_workers(settings):
    x, spectra = monitor(frames=(24,))
    peaks = [260.0, 120.0]  # not sorted: the columns follow the order given
    settings = dict(settings)
    if settings["errors"] == "array":
        settings["errors"] = np.sqrt(np.maximum(spectra, 1.0))
    one = vn.fit_peaks_many(x, spectra, peaks=peaks, **settings)
    two = vn.fit_peaks_many(x, spectra, peaks=peaks, workers=2, **settings)
    assert one.shape == (24, 2) and one.dtype == vn.BATCH_PEAK_DTYPE
    assert one.tobytes() == two.tobytes()  # to the bit, NaN shape parameters and rates too
    assert one["ok"].all()
    errors = settings.pop("errors")
    for row in (0, 13, 23):
        own = errors[row] if isinstance(errors, np.ndarray) else errors
        fit = vn.fit_peaks(x, spectra[row], peaks=peaks, errors=own, **settings)
        by_mean = fit.peaks[np.argsort(fit.peaks["mean"])][::-1]  # 260 first, as given
        for name in vn.PEAK_DTYPE.names:
            assert np.array_equal(one[row][name], by_mean[name], equal_nan=True), name
        region = fit.regions[by_mean["region"]]
        assert np.array_equal(one[row]["chisq"], region["chisq"])
        assert np.array_equal(one[row]["dof"], region["dof"])
    # The first column is the line asked for first; tailed lines fitted to these Gaussian ones
    # place the weak line to some 0.4 channels, so its median over 24 spectra to about 0.1.
    assert abs(np.median(one["mean"][:, 0]) - 260.0) < 0.5


@pytest.mark.parametrize("change, error, words", [
    ({"ys": np.ones(400)}, ValueError, "ys must be 2-D"),
    ({"ys": np.ones((3, 399))}, ValueError, "ys has 399 columns"),
    ({"ys": np.where(np.arange(400) == 5, np.nan, np.ones((3, 400)))}, ValueError,
     "ys is not finite at row 0, index 5"),
    ({"errors": np.ones((2, 400))}, ValueError, "errors must be shaped like ys"),
    ({"errors": "poisson", "ys": -np.ones((3, 400))}, ValueError, "negative count at row 0"),
    ({"peaks": [500.0]}, ValueError, "outside the data"),
    ({"x": np.where(np.arange(400) == 7, np.inf, np.arange(400.0))}, ValueError,
     "x is not finite at index 7"),
    ({"x": np.arange(400.0) % 200}, ValueError, "x must be sorted"),
    ({"workers": 0}, ValueError, "workers must be"),
    ({"ys": "many"}, TypeError, "ys must be"),
])
def test_bad_batches_are_refused_by_name(change, error, words):
    call = {"x": np.arange(400.0), "ys": np.ones((3, 400)), "peaks": [100.0], **change}
    with pytest.raises(error) as raised:
        vn.fit_peaks_many(call.pop("x"), call.pop("ys"), **call)
    assert words in str(raised.value)


def test_series_statistics_accept_fit_many_array(batch):
    x, ys = batch
    rows = vn.fit_many(x, ys)
    records = [vn.GaussFit().fit(x, y) for y in ys]
    for statistic in (vn.mean_of, vn.mean_and_std):
        from_rows, from_records = statistic(rows), statistic(records)
        assert from_rows.to_dict() == from_records.to_dict()
    with pytest.raises(TypeError, match="FitResult objects or rows"):
        vn.mean_of([1.0, 2.0])


def test_unequal_lengths_raise_and_a_fitter_shows_its_settings(peak):
    x, y = peak
    with pytest.raises(ValueError, match="x and y differ in length: 101 and 100"):
        vn.GaussFit().fit(x, y[:-1])
    fitter = vn.GaussFit(constant_offset=120.5, max_iterations=80, accuracy=1e-10,
                         solver="normal_equations")
    text = repr(fitter)
    assert text == ("GaussFit(constant_offset=120.5, max_iterations=80, accuracy=1e-10, "
                    "solver='normal_equations')")
    again = eval(text, {"GaussFit": vn.GaussFit})
    assert repr(again) == text and again.fit(x, y).to_dict() == fitter.fit(x, y).to_dict()
