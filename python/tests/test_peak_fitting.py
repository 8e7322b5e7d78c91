"""Spectra: the fits against independent computations with scipy, the calibration of the errors
at low counts, the search on simulated gamma spectra, and bad input refused by name."""
import numpy as np
import pytest
from scipy.optimize import curve_fit, minimize

import vesk_numerics as vn
from calibration import assert_areas_calibrated
from simulated_gamma import gamma_spectrum, match_lines

COEFFICIENTS = {"none": 0, "constant": 1, "linear": 2, "quadratic": 3, "exponential": 2}
TRUE_BACKGROUND = {"none": [], "constant": [10.0], "linear": [10.0, 0.02],
                   "quadratic": [10.0, 0.02, 1e-4], "exponential": [98.8, 0.0105]}
# Two overlapping lines, as in the certified two-Gaussian reference problems.
TRUE_PEAKS = [(100.5, 67.5, 16.3), (72.0, 178.9, 13.0)]


def background_of(kind, x, b):
    if kind == "exponential":
        return b[0] * np.exp(-b[1] * x)
    return sum(c * x ** k for k, c in enumerate(b)) + 0.0 * x


def model_of(kind):
    def model(x, *p):
        nb = COEFFICIENTS[kind]
        peaks = p[nb:]
        return background_of(kind, x, p[:nb]) + sum(
            peaks[k] * np.exp(-0.5 * ((x - peaks[k + 1]) / peaks[k + 2]) ** 2)
            for k in range(0, len(peaks), 3))
    return model


def jacobian_of(kind):
    """The model's derivatives, for the independent Poisson fit."""
    def jacobian(x, p):
        nb = COEFFICIENTS[kind]
        columns = []
        if kind == "exponential":
            e = np.exp(-p[1] * x)
            columns += [e, -p[0] * x * e]
        else:
            columns += [x ** k for k in range(nb)]
        for k in range(nb, len(p), 3):
            a, m, s = p[k:k + 3]
            g = np.exp(-0.5 * ((x - m) / s) ** 2)
            columns += [g, a * g * (x - m) / s ** 2, a * g * (x - m) ** 2 / s ** 3]
        return np.column_stack(columns)
    return jacobian


def ours(fit):
    """The region's parameters and errors in the order of the scipy model."""
    region, nb = fit.regions[0], COEFFICIENTS[fit.background]
    names = [f"b{k}" for k in range(nb)]
    values = [region[n] for n in names] + [p[f] for p in fit.peaks for f in ("amplitude", "mean", "sigma")]
    errors = [region[n + "_err"] for n in names] + [p[f + "_err"] for p in fit.peaks
                                                    for f in ("amplitude", "mean", "sigma")]
    return np.array(values), np.array(errors)


def poisson_reference(kind, x, y, start):
    """Minimises the likelihood-ratio statistic with scipy's Newton-CG, the Fisher matrix as the
    Hessian; the errors from its inverse at the optimum."""
    model, jacobian = model_of(kind), jacobian_of(kind)

    def statistic(p):
        f = model(x, *p)
        if np.any(f <= 0):
            return np.inf
        return 2.0 * np.sum(f - y + np.where(y > 0, y * np.log(np.where(y > 0, y, 1.0) / f), 0.0))

    def gradient(p):
        f = model(x, *p)
        return 2.0 * jacobian(x, p).T @ (1.0 - y / f)

    def fisher_product(p, v):
        f = model(x, *p)
        j = jacobian(x, p)
        return 2.0 * j.T @ ((j @ v) / f)

    best = minimize(statistic, start, jac=gradient, hessp=fisher_product, method="trust-ncg",
                    options={"gtol": 1e-10, "maxiter": 10000})
    f = model(x, *best.x)
    j = jacobian(x, best.x)
    covariance = np.linalg.inv(j.T @ (j / f[:, None]))
    return best.x, np.sqrt(np.diag(covariance)), statistic(best.x)


@pytest.mark.parametrize("errors", ["none", "array", "poisson"])
@pytest.mark.parametrize("background", list(COEFFICIENTS))
def test_fits_equal_independent_scipy_fits(background, errors):
    rng = np.random.default_rng(len(background) + 7 * len(errors))
    x = np.linspace(1.0, 250.0, 250)
    b = TRUE_BACKGROUND[background]
    expected = background_of(background, x, b) + model_of("none")(x, *np.ravel(TRUE_PEAKS))
    start = list(b) + list(np.ravel(TRUE_PEAKS))
    model = model_of(background)
    if errors == "poisson":
        y = rng.poisson(expected + 1.0 * (background == "none")).astype(float)
        fit = vn.fit_peaks(x, y, peaks=[67.0, 179.0], background=background, errors="poisson")
        reference, reference_errors, statistic = poisson_reference(background, x, y, start)
        # Never above the reference's minimum, and equal to it up to how far that converged.
        assert fit.regions["chisq"][0] <= statistic * (1.0 + 1e-12)
        assert fit.regions["chisq"][0] == pytest.approx(statistic, rel=1e-8)
    else:
        sigma = 2.5 * (1.0 + 0.5 * np.sin(x / 30.0))
        y = expected + rng.normal(0.0, 1.0, x.size) * sigma
        weights = sigma if errors == "array" else None
        fit = vn.fit_peaks(x, y, peaks=[67.0, 179.0], background=background, errors=weights)
        reference, covariance = curve_fit(model, x, y, p0=start, sigma=weights,
                                          absolute_sigma=errors == "array", xtol=1e-15,
                                          ftol=1e-15, gtol=1e-15, maxfev=100000)
        reference_errors = np.sqrt(np.diag(covariance))
    assert fit.regions.size == 1 and fit.regions["ok"][0] and fit.regions["points"][0] == x.size
    values, value_errors = ours(fit)
    if errors == "poisson":
        # The reference minimiser stops short of the optimum by up to 1e-5 relative on the badly
        # scaled quadratic: agreement is judged against the statistical errors.
        assert np.all(np.abs(values - reference) <= 1e-3 * reference_errors)
        np.testing.assert_allclose(value_errors, reference_errors, rtol=1e-3)
    else:
        scale = np.maximum(np.abs(reference), reference_errors)
        assert np.all(np.abs(values - reference) <= 1e-6 * scale)
        np.testing.assert_allclose(value_errors, reference_errors, rtol=1e-4)
    # The area's error from the full covariance of amplitude and sigma, correlation included.
    for k, peak in enumerate(fit.peaks):
        names = fit.parameter_names(0)
        covariance = fit.covariance(0)
        a, s = names.index(f"amplitude_{k}"), names.index(f"sigma_{k}")
        gradient = np.sqrt(2 * np.pi) * np.array([peak["sigma"], peak["amplitude"]])
        block = covariance[np.ix_([a, s], [a, s])]
        assert peak["area"] == pytest.approx(np.sqrt(2 * np.pi) * peak["amplitude"] * peak["sigma"])
        assert peak["area_err"] == pytest.approx(np.sqrt(gradient @ block @ gradient), rel=1e-12)
    np.testing.assert_allclose(fit.evaluate(x), model(x, *values), rtol=1e-12, atol=1e-12)


def test_low_count_areas_and_their_errors_are_calibrated():
    """About 150 counts on about 3 per channel: the mean net area is right and the errors cover
    the truth as a standard deviation should."""
    rng = np.random.default_rng(2026)
    x = np.arange(60.0)
    sigma, area, level = 2.5, 150.0, 3.0
    areas, errors = [], []
    for _ in range(1500):
        centre = rng.uniform(25.0, 35.0)
        counts = rng.poisson(level + area / (sigma * np.sqrt(2 * np.pi)) *
                             np.exp(-0.5 * ((x - centre) / sigma) ** 2))
        fit = vn.fit_peaks(x, counts, peaks=[centre + rng.normal(0.0, 0.5)], errors="poisson",
                           background="constant", window=(0.0, 59.0))
        assert fit.regions["ok"][0]
        areas.append(fit.peaks["area"][0])
        errors.append(fit.peaks["area_err"][0])
    assert_areas_calibrated(areas, errors, area, rel=0.015)


@pytest.mark.parametrize("seed, fwhm", [(1, lambda x: 6.0 + 0.0 * x), (2, lambda x: 4.0 + 0.001 * x),
                                        (3, lambda x: 3.0 + 0.002 * x)])
def test_search_finds_every_line_of_a_gamma_spectrum(seed, fwhm):
    x, counts, true = gamma_spectrum(seed, fwhm=fwhm)
    fit = vn.fit_peaks(x, counts, errors="poisson")
    assert fit.regions["ok"].all()
    pairs, missed, false = match_lines(fit.peaks, true)
    assert not missed
    assert len(false) <= 2
    for line, peak in pairs:
        assert abs(peak["mean"] - line[0]) <= 5 * peak["mean_err"]
        assert abs(peak["area"] - line[1]) <= 5 * peak["area_err"]
    found = vn.find_peaks(x, counts, errors="poisson")
    assert found.dtype == vn.FOUND_PEAK_DTYPE and np.all(np.diff(found["mean"]) > 0)
    assert np.all(found["significance"] > 5.0)
    shared = vn.fit_peaks(x, counts, errors="poisson", workers=3)  # the same to the bit
    assert shared.peaks.tobytes() == fit.peaks.tobytes()
    assert shared.regions.tobytes() == fit.regions.tobytes()


def test_search_on_noise_finds_nothing():
    rng = np.random.default_rng(4)
    x = np.arange(2000.0)
    for errors in (None, "poisson"):
        y = rng.poisson(50.0, x.size).astype(float)
        found = vn.find_peaks(x, y, errors=errors)
        assert found.size == 0 and found.dtype == vn.FOUND_PEAK_DTYPE
        fit = vn.fit_peaks(x, y, errors=errors)
        assert fit.peaks.size == 0 and fit.regions.size == 0
        assert np.isnan(fit.evaluate(100.0))


def test_start_values_from_the_search_and_shared_widths():
    x, counts, true = gamma_spectrum(5, fwhm=lambda x: 6.0 + 0.0 * x)
    found = vn.find_peaks(x, counts, errors="poisson", fwhm=6.0)
    fit = vn.fit_peaks(x, counts, peaks=found, errors="poisson", same_width=True)
    assert fit.peaks.size == found.size and fit.regions["ok"].all()
    for region in range(fit.regions.size):
        widths = fit.peaks["sigma"][fit.peaks["region"] == region]
        assert np.all(widths == widths[0])
        names = fit.parameter_names(region)
        assert names[:3] == ["b0", "b1", "sigma"] and len(names) == fit.covariance(region).shape[0]
    # Found peaks are fitted as given, without lines from the residuals: an unresolved doublet
    # stays one wider line, but most lines have the width they were made with.
    assert np.median(fit.peaks["sigma"]) == pytest.approx(6.0 / 2.3548, rel=0.02)


def test_a_failed_region_keeps_its_row_and_the_curve_is_nan_there():
    x, counts, true = gamma_spectrum(6)
    fit = vn.fit_peaks(x, counts, peaks=true[:2, 0], errors="poisson", max_iterations=1)
    assert not fit.regions["ok"].any()
    assert (fit.regions["status"] == 11).all()
    assert fit.regions["status_str"][0] == "exceeded max number of iterations"
    assert np.isnan(fit.peaks["area"]).all() and np.isnan(fit.evaluate(true[0, 0]))
    good = vn.fit_peaks(x, counts, peaks=true[:2, 0], errors="poisson")
    assert good.regions["ok"].all()
    inside = true[0, 0]
    region = good.regions[good.peaks["region"][0]]
    assert good.evaluate(inside) == pytest.approx(
        good.evaluate_background(inside) + sum(good.evaluate_peak(k, inside)
                                               for k in np.flatnonzero(good.peaks["region"] == good.peaks["region"][0])))
    assert np.isnan(good.evaluate(region["hi"] + 1e6))
    assert good.evaluate(np.array([[inside]])).shape == (1, 1)


def test_a_peak_carried_outside_its_region_says_so():
    # Counts that begin on the steep edge of a detector's threshold: the search takes the edge
    # with "peaks" that its fits carry outside their regions.
    x = np.arange(160.0)
    outside = 0
    for seed in range(3):
        mu = 3000.0 * np.exp(-x / 25.0) + 100.0 + 0.2 * x
        for centre, height, sigma in ((20, 800, 3.5), (45, 400, 4.0), (70, 1200, 4.5),
                                      (110, 300, 5.0), (140, 600, 5.5)):
            mu += height * np.exp(-0.5 * ((x - centre) / sigma) ** 2)
        fit = vn.fit_peaks(x, np.random.default_rng(seed).poisson(mu), errors="poisson")
        region = fit.regions[fit.peaks["region"]]
        beyond = (fit.peaks["mean"] < region["lo"]) | (fit.peaks["mean"] > region["hi"])
        np.testing.assert_array_equal(fit.peaks["outside_region"], region["ok"] & beyond)
        outside += int(fit.peaks["outside_region"].sum())
    assert outside > 0


X = np.arange(50.0)
Y = 100.0 * np.exp(-0.5 * ((X - 25.0) / 2.0) ** 2) + 5.0


@pytest.mark.parametrize("arguments, error, words", [
    ({"x": X[:-1]}, ValueError, "differ in length"),
    ({"y": np.where(X == 7, np.nan, Y)}, ValueError, "y is not finite at index 7"),
    ({"x": np.where(X == 3, np.inf, X)}, ValueError, "x is not finite at index 3"),
    ({"x": X[::-1].copy() * np.where(X == 10, -1, 1)}, ValueError, "sorted"),
    ({"x": np.full(X.size, 3.0)}, ValueError, "every x is the same"),
    ({"errors": np.where(X == 4, 0.0, 1.0)}, ValueError, "errors is not positive at index 4"),
    ({"errors": np.ones(3)}, ValueError, "errors and y differ"),
    ({"errors": np.where(X == 9, np.nan, 1.0)}, ValueError, "errors is not finite at index 9"),
    ({"errors": "poisson", "y": Y - 50.0}, ValueError, "negative count at index 0"),
    ({"errors": "gauss"}, ValueError, "errors must be"),
    ({"background": "cubic"}, ValueError, "background must be one of"),
    ({"background": 1}, TypeError, "background must be a string"),
    ({"peaks": [25.0, 80.0]}, ValueError, "peaks[1] = 80 lies outside the data"),
    ({"peaks": [25.0, np.nan]}, ValueError, "peaks is not finite at index 1"),
    ({"peaks": [25.0], "window": (20.0, 24.0)}, ValueError, "outside the window"),
    ({"peaks": "25"}, TypeError, "peaks must be"),
    ({"x": "abc"}, TypeError, "x must be"),
    ({"y": [1j] * 50}, TypeError, "y must hold real numbers"),
    ({"window": (30.0, 20.0)}, ValueError, "lo < hi"),
    ({"window": "all"}, TypeError, "window must be"),
    ({"fwhm": -1.0}, ValueError, "fwhm must be positive"),
    ({"threshold": "5"}, TypeError, "threshold must be"),
    ({"workers": 0}, ValueError, "workers must be"),
    ({"workers": 1.5}, ValueError, "workers must be"),
])
def test_bad_input_is_refused_by_name(arguments, error, words):
    call = {"x": X, "y": Y, **arguments}
    with pytest.raises(error) as raised:
        vn.fit_peaks(call.pop("x"), call.pop("y"), **call)
    assert words in str(raised.value)
