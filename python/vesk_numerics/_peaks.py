"""Every peak of a spectrum: the search, the fit of multiplets on a background, net areas."""
import numbers
import operator

import numpy as _np

from . import _core
from ._io import Spectrum

__all__ = ["BATCH_PEAK_DTYPE", "FOUND_PEAK_DTYPE", "PEAK_DTYPE", "REGION_DTYPE", "PeakFit",
           "find_peaks", "fit_peaks", "fit_peaks_many"]

BACKGROUNDS = ("none", "constant", "linear", "quadratic", "exponential")

#: The structured dtype of `find_peaks`' results.
FOUND_PEAK_DTYPE = _np.dtype([(name, _np.float64) for name in
                              ("mean", "amplitude", "sigma", "fwhm", "significance")])

_PEAK_NUMBERS = ("amplitude", "amplitude_err", "mean", "mean_err", "sigma", "sigma_err", "fwhm",
                 "fwhm_err", "area", "area_err")
#: The structured dtype of `PeakFit.peaks`.
PEAK_DTYPE = _np.dtype([(name, _np.float64) for name in _PEAK_NUMBERS] + [("region", _np.int64)])

#: The structured dtype of `fit_peaks_many`'s results: the fields of `PEAK_DTYPE` and the chisq,
#: dof, status and ok of the peak's region.
BATCH_PEAK_DTYPE = _np.dtype(PEAK_DTYPE.descr + [("chisq", _np.float64), ("dof", _np.int64),
                                                 ("status", _np.int32), ("ok", _np.bool_)])

_REGION_NUMBERS = ("lo", "hi", "b0", "b0_err", "b1", "b1_err", "b2", "b2_err", "chisq",
                   "chisq_dof")
_STATUS_WIDTH = 48
#: The structured dtype of `PeakFit.regions`.
REGION_DTYPE = _np.dtype([("lo", _np.float64), ("hi", _np.float64), ("points", _np.int64)] +
                         [(name, _np.float64) for name in _REGION_NUMBERS[2:8]] +
                         [("chisq", _np.float64), ("dof", _np.int64), ("chisq_dof", _np.float64),
                          ("status", _np.int32), ("status_str", f"U{_STATUS_WIDTH}"),
                          ("iterations", _np.int32), ("ok", _np.bool_)])


def _real_1d(values, name):
    """`values` as a 1-D float64 array, refusing strings, complex numbers and objects."""
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must be an array-like of real numbers, not a string")
    array = _np.asarray(values)
    if array.dtype.kind not in "fiub":
        raise TypeError(f"{name} must hold real numbers, not dtype {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"{name} must be 1-D, got {array.ndim}-D")
    return _np.ascontiguousarray(array, dtype=_np.float64)


def _first_bad(mask):
    return int(_np.flatnonzero(mask)[0])


def _require_finite(array, name):
    bad = ~_np.isfinite(array)
    if bad.any():
        raise ValueError(f"{name} is not finite at index {_first_bad(bad)}")


#: The default of `errors`: None for arrays, "poisson" for a Spectrum of counts.
_UNSET = type("_Unset", (), {"__repr__": lambda self: "None"})()


def _unpacked(x, y, errors):
    """x, y and errors, with a Spectrum in place of x taken apart."""
    if isinstance(x, Spectrum):
        if y is not None:
            raise TypeError("y must be omitted when x is a Spectrum")
        if errors is _UNSET:
            errors = "poisson" if x.is_counts else None
        return x.x, x.counts, errors
    if y is None:
        raise TypeError("y is required unless x is a Spectrum")
    return x, y, None if errors is _UNSET else errors


def _spectrum(x, y, errors):
    """x, y, per-point errors (or None) and whether y are counts, checked."""
    x, y, errors = _unpacked(x, y, errors)
    x, y = _real_1d(x, "x"), _real_1d(y, "y")
    if x.shape != y.shape:
        raise ValueError(f"x and y differ in length: {x.size} and {y.size}")
    _require_finite(x, "x")
    _require_finite(y, "y")
    steps = _np.diff(x)
    if not ((steps >= 0).all() or (steps <= 0).all()):
        raise ValueError("x must be sorted, increasing or decreasing")
    if errors is None:
        return x, y, None, False
    if isinstance(errors, str):
        if errors != "poisson":
            raise ValueError(f"errors must be None, 'poisson' or an array, got '{errors}'")
        if (y < 0).any():
            raise ValueError(f"y holds a negative count at index {_first_bad(y < 0)}")
        return x, y, None, True
    sigma = _real_1d(errors, "errors")
    if sigma.shape != y.shape:
        raise ValueError(f"errors and y differ in length: {sigma.size} and {y.size}")
    _require_finite(sigma, "errors")
    if (sigma <= 0).any():
        raise ValueError(f"errors is not positive at index {_first_bad(sigma <= 0)}")
    return x, y, sigma, False


def _positive_or_none(value, name):
    if value is None:
        return None
    if isinstance(value, (str, bytes)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number or None")
    if not (_np.isfinite(value) and value > 0):
        raise ValueError(f"{name} must be positive and finite, got {value}")
    return float(value)


def _threshold(value):
    if isinstance(value, (str, bytes)) or not isinstance(value, numbers.Real):
        raise TypeError("threshold must be a real number")
    if not (_np.isfinite(value) and value > 0):
        raise ValueError(f"threshold must be positive and finite, got {value}")
    return float(value)


def find_peaks(x, y=None, *, errors=_UNSET, fwhm=None, threshold=5.0):
    """Find the peaks of a spectrum.

    The second derivative of `y`, smoothed with Savitzky-Golay derivative weights as wide as the
    peaks, is compared with its own standard deviation; every local maximum of that significance
    above `threshold` is a peak, unless it is narrower than a channel (sigma) or a quarter of the
    common width, which is noise.

    Parameters
    ----------
    x, y : array_like, or a Spectrum and None
        1-D positions (sorted) and values of the spectrum, of equal length; or a `Spectrum`
        (from `read_spectrum`) alone, whose `x` and `counts` are taken.
    errors : None, "poisson" or array_like, optional
        How noisy `y` is: None estimates the noise from the data; "poisson" takes `y` as counts
        (variance `y`); an array gives each point's standard deviation (all > 0). Not given:
        None, or "poisson" for a `Spectrum` whose `is_counts` is true.
    fwhm : float, optional
        The peaks' full width at half maximum in `x` units; estimated from the data if None.
    threshold : float, optional
        The least significance of a peak.

    Returns
    -------
    numpy.ndarray
        Structured array of dtype `FOUND_PEAK_DTYPE` sorted by mean: mean, amplitude (height
        above the local background), sigma, fwhm and significance; empty when no peak passes.

    Raises
    ------
    TypeError
        If an argument holds strings, complex numbers or objects.
    ValueError
        If the lengths differ, a value is not finite (the message names the first bad index),
        `x` is not sorted, an error is not positive, a count is negative, or `fwhm` or
        `threshold` is not positive.
    """
    x, y, sigma, counts = _spectrum(x, y, errors)
    table = _core.find_peaks(x, y, sigma, counts, _positive_or_none(fwhm, "fwhm"),
                             _threshold(threshold))
    found = _np.empty(table.shape[0], dtype=FOUND_PEAK_DTYPE)
    for column, name in enumerate(FOUND_PEAK_DTYPE.names):
        found[name] = table[:, column]
    return found


def _peak_starts(peaks, x, window):
    """Approximate positions (1-D) or find_peaks' array (rows of mean, amplitude, sigma)."""
    if peaks is None:
        return None, None
    if isinstance(peaks, _np.ndarray) and peaks.dtype.names is not None:
        missing = {"mean", "amplitude", "sigma"} - set(peaks.dtype.names)
        if missing:
            raise ValueError(f"peaks lacks the fields {sorted(missing)}")
        starts = _np.column_stack([_np.asarray(peaks[name], dtype=_np.float64).ravel()
                                   for name in ("mean", "amplitude", "sigma")])
        positions = starts[:, 0]
    else:
        positions = _real_1d(peaks, "peaks")
        starts = None
    _require_finite(positions, "peaks")
    lo, hi = window if window is not None else (x.min(), x.max())
    outside = (positions < lo) | (positions > hi)
    if outside.any():
        where = "window" if window is not None else "data"
        raise ValueError(f"peaks[{_first_bad(outside)}] = {positions[outside][0]:g} lies outside "
                         f"the {where} [{lo:g}, {hi:g}]")
    if starts is not None:
        return None, _np.ascontiguousarray(starts)
    return positions, None


def _window(window):
    if window is None:
        return None
    if isinstance(window, (str, bytes)):
        raise TypeError("window must be a pair (lo, hi) of real numbers")
    try:
        lo, hi = window
    except (TypeError, ValueError):
        raise TypeError("window must be a pair (lo, hi) of real numbers") from None
    if not all(isinstance(v, numbers.Real) and not isinstance(v, bool) for v in (lo, hi)):
        raise TypeError("window must be a pair (lo, hi) of real numbers")
    if not (_np.isfinite(lo) and _np.isfinite(hi) and lo < hi):
        raise ValueError(f"window must be finite with lo < hi, got ({lo}, {hi})")
    return float(lo), float(hi)


def _background(background):
    if not isinstance(background, str):
        raise TypeError(f"background must be a string, got {type(background).__name__}")
    if background not in BACKGROUNDS:
        raise ValueError(f"background must be one of {', '.join(BACKGROUNDS)}; got "
                         f"'{background}'")
    return background


def _iterations(value):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError("max_iterations must be an integer")
    return int(value)


def _accuracy(value):
    if isinstance(value, (str, bytes)) or not isinstance(value, numbers.Real):
        raise TypeError("accuracy must be a real number")
    return float(value)


class PeakFit:
    """The fitted peaks and regions of a spectrum; made by `fit_peaks`.

    Attributes
    ----------
    peaks : numpy.ndarray
        Structured array of dtype `PEAK_DTYPE`, one element per peak, sorted by region and
        mean: amplitude (height above the background, y units), mean and sigma (x units), fwhm,
        area (A sigma sqrt(2 pi), y times x units), each with its ``*_err``, and the index of the
        peak's region. Peaks of a region whose fit failed are NaN.
    regions : numpy.ndarray
        Structured array of dtype `REGION_DTYPE`: lo, hi (the x range fitted), points, the
        background coefficients b0, b1, b2 for absolute x with their errors (0 where the
        background has no such coefficient), chisq, dof, chisq_dof, status, status_str,
        iterations and ok. For Poisson counts chisq is the likelihood-ratio statistic.
    background : str
        The kind of background, as given.
    """

    def __init__(self, result):
        self._result = result
        self.background = result.background
        table = result.peak_table()
        self.peaks = _np.empty(table.shape[0], dtype=PEAK_DTYPE)
        for column, name in enumerate(_PEAK_NUMBERS):
            self.peaks[name] = table[:, column]
        self.peaks["region"] = result.peak_regions()
        numbers_, counts, texts = result.region_table()
        self.regions = _np.empty(numbers_.shape[0], dtype=REGION_DTYPE)
        for column, name in enumerate(_REGION_NUMBERS):
            self.regions[name] = numbers_[:, column]
        for column, name in enumerate(("points", "dof", "status", "iterations")):
            self.regions[name] = counts[:, column]
        self.regions["status_str"] = texts
        self.regions["ok"] = counts[:, 2] == 0
        self.peaks.flags.writeable = False
        self.regions.flags.writeable = False

    def covariance(self, region):
        """The covariance matrix of region `region`'s parameters (see `parameter_names`), for
        absolute x; NaN where the region's fit failed."""
        return self._result.covariance(operator.index(region))

    def parameter_names(self, region):
        """The names of region `region`'s fitted parameters, in the order of `covariance`:
        b0, b1, b2 (as many as the background has), then ``amplitude_k``, ``mean_k``,
        ``sigma_k`` per peak k (one ``sigma`` before them with ``same_width``)."""
        return self._result.parameter_names(operator.index(region))

    def evaluate(self, x):
        """The fitted model (background plus peaks) at `x`: float64, of the shape of `x`; NaN
        outside every region and in regions whose fit failed."""
        return self._evaluated(self._result.evaluate, x)

    def evaluate_background(self, x):
        """The fitted background alone at `x`, NaN as for `evaluate`."""
        return self._evaluated(self._result.evaluate_background, x)

    def evaluate_peak(self, index, x):
        """Peak `index`'s own curve (without background) at `x`; NaN outside its region."""
        return self._evaluated(lambda v: self._result.evaluate_peak(operator.index(index), v), x)

    @staticmethod
    def _evaluated(function, x):
        array = _np.asarray(x, dtype=_np.float64)
        values = function(_np.ascontiguousarray(array.reshape(-1))).reshape(array.shape)
        return values[()] if values.ndim == 0 else values

    def __repr__(self):
        failed = int((~self.regions["ok"]).sum())
        return (f"PeakFit({self.peaks.size} peaks in {self.regions.size} regions, background "
                f"'{self.background}'" + (f", {failed} regions failed" if failed else "") + ")")


def fit_peaks(x, y=None, *, peaks=None, background="linear", errors=_UNSET, window=None,
              fwhm=None, threshold=5.0, same_width=False, max_iterations=50, accuracy=1e-8):
    """Fit every peak of a spectrum as Gaussians on a background.

    Peaks closer than a few FWHM are fitted together in one region that reaches a few FWHM
    beyond its outer peaks and has a background of its own; when searching, lines that a
    region's fit leaves significant in its residuals are added and the region fitted again.

    Parameters
    ----------
    x, y : array_like, or a Spectrum and None
        1-D positions (sorted) and values of the spectrum, of equal length; or a `Spectrum`
        (from `read_spectrum`) alone, whose `x` and `counts` are taken.
    peaks : None or array_like, optional
        None searches for the peaks (as `find_peaks`); a 1-D array-like gives approximate
        positions to fit; `find_peaks`' structured array gives start values.
    background : {"none", "constant", "linear", "quadratic", "exponential"}, optional
        Per region: 0, b0, b0 + b1 x, b0 + b1 x + b2 x**2, or b0 exp(-b1 x), in absolute x.
    errors : None, "poisson" or array_like, optional
        None: unweighted least squares, errors scaled by sqrt(chisq / dof). An array of
        per-point standard deviations (all > 0): weighted least squares with absolute errors.
        "poisson": `y` are counts; the likelihood-ratio statistic is minimised and the errors
        come from the Fisher information. Not given: None, or "poisson" for a `Spectrum` whose
        `is_counts` is true.
    window : (float, float), optional
        Fit all peaks as one region over exactly the points with lo <= x <= hi.
    fwhm : float, optional
        The peaks' FWHM in `x` units for the search and start values; estimated if None.
    threshold : float, optional
        The least significance of a peak in the search.
    same_width : bool, optional
        All peaks of a region share one sigma.
    max_iterations : int, optional
        The solver's budget per region (50 for values below 1).
    accuracy : float, optional
        The solver's step and gradient tolerance, clamped to [1e-12, 0.01].

    Returns
    -------
    PeakFit
        The peaks and regions. A region whose fit fails keeps its row with ``ok`` False and its
        status; the other regions stand.

    Raises
    ------
    TypeError
        If an argument is of the wrong kind (strings for arrays, a non-string background).
    ValueError
        If the lengths differ, a value is not finite (naming the first bad index), `x` is not
        sorted, an error is not positive, a count is negative, the background is unknown, a peak
        lies outside the data (or the window), or a setting is out of range.
    """
    x, y, sigma, counts = _spectrum(x, y, errors)
    window = _window(window)
    positions, starts = _peak_starts(peaks, x, window)
    result = _core.fit_peaks(x, y, sigma, counts, positions, starts, _background(background),
                             bool(same_width), _positive_or_none(fwhm, "fwhm"),
                             _threshold(threshold), window, _iterations(max_iterations),
                             _accuracy(accuracy))
    if result.status != 0:
        raise ValueError(result.status_str)
    return PeakFit(result)


def _batch(x, ys, errors):
    """x (1-D), ys (2-D, one spectrum per row), per-point errors shaped like ys or None, and
    whether ys are counts, checked; a bad value is named by row and index."""
    x = _real_1d(x, "x")
    if isinstance(ys, (str, bytes)):
        raise TypeError("ys must be a 2-D array-like of real numbers, not a string")
    ys = _np.asarray(ys)
    if ys.dtype.kind not in "fiub":
        raise TypeError(f"ys must hold real numbers, not dtype {ys.dtype}")
    if ys.ndim != 2:
        raise ValueError(f"ys must be 2-D, one spectrum per row, got {ys.ndim}-D")
    ys = _np.ascontiguousarray(ys, dtype=_np.float64)
    if ys.shape[1] != x.size:
        raise ValueError(f"ys has {ys.shape[1]} columns, x has {x.size} values")
    _require_finite(x, "x")
    _require_finite_rows(ys, "ys")
    steps = _np.diff(x)
    if not ((steps >= 0).all() or (steps <= 0).all()):
        raise ValueError("x must be sorted, increasing or decreasing")
    if errors is None:
        return x, ys, None, False
    if isinstance(errors, str):
        if errors != "poisson":
            raise ValueError(f"errors must be None, 'poisson' or an array, got '{errors}'")
        _require_rows(ys >= 0, "ys holds a negative count")
        return x, ys, None, True
    sigmas = _np.asarray(errors)
    if sigmas.dtype.kind not in "fiub":
        raise TypeError(f"errors must hold real numbers, not dtype {sigmas.dtype}")
    if sigmas.shape != ys.shape:
        raise ValueError(f"errors must be shaped like ys {ys.shape}, got {sigmas.shape}")
    sigmas = _np.ascontiguousarray(sigmas, dtype=_np.float64)
    _require_finite_rows(sigmas, "errors")
    _require_rows(sigmas > 0, "errors is not positive")
    return x, ys, sigmas, False


def _require_rows(good, message):
    if not good.all():
        row, index = _np.argwhere(~good)[0]
        raise ValueError(f"{message} at row {row}, index {index}")


def _require_finite_rows(array, name):
    _require_rows(_np.isfinite(array), f"{name} is not finite")


def fit_peaks_many(x, ys, *, peaks, background="linear", errors=None, window=None, fwhm=None,
                   same_width=False, max_iterations=50, accuracy=1e-8, workers=1):
    """Fit the same lines in many spectra: a monitor's or a scan's series.

    Row i of the result is exactly what ``fit_peaks(x, ys[i], peaks=peaks, ...)`` gives for its
    peaks, whatever the number of workers. The GIL is released for the whole batch.

    Parameters
    ----------
    x : array_like
        1-D positions (sorted), shared by every spectrum.
    ys : array_like
        2-D values, one spectrum per row, as long as `x`.
    peaks : array_like
        1-D approximate positions of the lines to fit in every spectrum.
    background, window, fwhm, same_width, max_iterations, accuracy
        As for `fit_peaks`.
    errors : None, "poisson" or array_like, optional
        As for `fit_peaks`; an array must be 2-D, shaped like `ys`.
    workers : int, optional
        Threads to fit with; started for this call and joined before it returns.

    Returns
    -------
    numpy.ndarray
        Structured array of dtype `BATCH_PEAK_DTYPE` and shape ``(len(ys), len(peaks))``: the
        fields of `PeakFit.peaks` and the chisq, dof, status and ok of each peak's region, with
        columns in the order of `peaks`. Peaks of regions whose fit failed are NaN, ``ok`` False.

    Raises
    ------
    TypeError
        If an argument holds strings, complex numbers or objects.
    ValueError
        As `fit_peaks`, naming the row and index of a bad value; also if `ys` is not 2-D, its
        rows are not as long as `x`, or `workers` is below 1.
    """
    x, ys, sigmas, counts = _batch(x, ys, errors)
    window = _window(window)
    positions, starts = _peak_starts(peaks, x, window)
    if starts is not None:
        positions = starts[:, 0]
    if positions is None:
        raise TypeError("peaks must give the positions of the lines to fit")
    if isinstance(workers, bool) or not isinstance(workers, numbers.Integral) or workers < 1:
        raise ValueError(f"workers must be an integer of 1 or more, got {workers!r}")
    values, counts_, texts = _core.fit_peaks_many(
        x, ys, sigmas, counts, _np.ascontiguousarray(positions), _background(background),
        bool(same_width), _positive_or_none(fwhm, "fwhm"), window, _iterations(max_iterations),
        _accuracy(accuracy), int(workers))
    results = _np.empty(values.shape[:2], dtype=BATCH_PEAK_DTYPE)
    for column, name in enumerate(_PEAK_NUMBERS + ("chisq",)):
        results[name] = values[:, :, column]
    results["region"] = counts_[:, :, 0]
    results["dof"] = counts_[:, :, 1]
    results["status"] = counts_[:, :, 2]
    results["ok"] = counts_[:, :, 2] == 0
    return results
