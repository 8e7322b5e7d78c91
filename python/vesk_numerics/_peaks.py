"""Every peak of a spectrum: the search, the fit of multiplets on a background, net areas."""
import math
import numbers
import operator
import os
from collections.abc import Mapping

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
# The widths of the Lorentzian part, after the region so that the fields of Gaussian lines keep
# their places.
_PEAK_SHAPE_NUMBERS = ("gamma", "gamma_err", "eta", "eta_err")
# The counting measures of a line.
_LINE_MEASURES = ("counts", "counts_err", "rate", "rate_err", "critical_level", "detection_limit",
                  "net_rate", "net_rate_err")
#: The structured dtype of `PeakFit.peaks`.
PEAK_DTYPE = _np.dtype([(name, _np.float64) for name in _PEAK_NUMBERS] + [("region", _np.int64)] +
                       [(name, _np.float64) for name in _PEAK_SHAPE_NUMBERS] +
                       [(name, _np.float64) for name in _LINE_MEASURES[:6]] +
                       [("significant", _np.bool_)] +
                       [(name, _np.float64) for name in _LINE_MEASURES[6:]] +
                       [("width_tied", _np.bool_), ("outside_region", _np.bool_)])

#: The structured dtype of `fit_peaks_many`'s results: the fields of `PEAK_DTYPE` and the chisq,
#: dof, status and ok of the peak's region.
BATCH_PEAK_DTYPE = _np.dtype(PEAK_DTYPE.descr + [("chisq", _np.float64), ("dof", _np.int64),
                                                 ("status", _np.int32), ("ok", _np.bool_)])

_REGION_NUMBERS = ("lo", "hi", "b0", "b0_err", "b1", "b1_err", "b2", "b2_err", "chisq",
                   "chisq_dof")
_REGION_SHAPE_NUMBERS = ("tail", "tail_err", "tail_slope", "tail_slope_err", "step", "step_err")
_STATUS_WIDTH = 48
#: The structured dtype of `PeakFit.regions`.
REGION_DTYPE = _np.dtype([("lo", _np.float64), ("hi", _np.float64), ("points", _np.int64)] +
                         [(name, _np.float64) for name in _REGION_NUMBERS[2:8]] +
                         [("chisq", _np.float64), ("dof", _np.int64), ("chisq_dof", _np.float64),
                          ("status", _np.int32), ("status_str", f"U{_STATUS_WIDTH}"),
                          ("iterations", _np.int32), ("ok", _np.bool_)] +
                         [(name, _np.float64) for name in _REGION_SHAPE_NUMBERS])


# Python's own numbers, checked by type first: the abstract numbers.Real and numbers.Integral
# checks cost half a microsecond each, several times a fit.
_PLAIN_REALS = (float, int)


def _is_real(value):
    """Whether `value` is a real number (as numbers.Real says; bool counts)."""
    return type(value) in _PLAIN_REALS or isinstance(value, numbers.Real)


def _is_integral(value):
    """Whether `value` is an integer (as numbers.Integral says; bool counts)."""
    return type(value) is int or isinstance(value, numbers.Integral)


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
    sigma, counts = None, False
    if isinstance(errors, str):
        if errors != "poisson":
            raise ValueError(f"errors must be None, 'poisson' or an array, got '{errors}'")
        counts = True
    elif errors is not None:
        sigma = _real_1d(errors, "errors")
        if sigma.shape != y.shape:
            raise ValueError(f"errors and y differ in length: {sigma.size} and {y.size}")
    # Finite values, sorted x and positive errors or counts, in one pass of the compiled core.
    _core.check_spectrum(x, y, sigma, counts)
    return x, y, sigma, counts


def _finite(value):
    """Whether a real number is finite; an integer too large for a float is not."""
    try:
        return math.isfinite(value)
    except OverflowError:
        return False


def _positive_or_none(value, name):
    if value is None:
        return None
    if isinstance(value, (str, bytes)) or not _is_real(value):
        raise TypeError(f"{name} must be a real number or None")
    if not (_finite(value) and value > 0):
        raise ValueError(f"{name} must be positive and finite, got {value}")
    return float(value)


def _threshold(value):
    if isinstance(value, (str, bytes)) or not _is_real(value):
        raise TypeError("threshold must be a real number")
    if not (_finite(value) and value > 0):
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
        `x` is not sorted or all one value, an error is not positive, a count is negative, or
        `fwhm` or `threshold` is not positive.
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
    if window is not None:
        lo, hi = window
    elif x.size:
        lo, hi = min(x[0], x[-1]), max(x[0], x[-1])  # x is sorted
    else:
        lo, hi = -_np.inf, _np.inf  # no data: the library refuses it
    stray = _core.first_stray(_np.ascontiguousarray(positions, dtype=_np.float64), lo, hi)
    if stray >= 0:
        position = positions[stray]
        if not _np.isfinite(position):
            raise ValueError(f"peaks is not finite at index {stray}")
        where = "window" if window is not None else "data"
        raise ValueError(f"peaks[{stray}] = {position:g} lies outside the {where} "
                         f"[{lo:g}, {hi:g}]")
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
    if not (_is_real(lo) and _is_real(hi)) or isinstance(lo, bool) or isinstance(hi, bool):
        raise TypeError("window must be a pair (lo, hi) of real numbers")
    if not (_finite(lo) and _finite(hi) and lo < hi):
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
    if isinstance(value, bool) or not _is_integral(value):
        raise TypeError("max_iterations must be an integer")
    return int(value)


def _accuracy(value):
    if isinstance(value, (str, bytes)) or not _is_real(value):
        raise TypeError("accuracy must be a real number")
    return float(value)


def _name(value, what):
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a string, got {type(value).__name__}")
    return value


def _real(value, what):
    if isinstance(value, (str, bytes, bool)) or not _is_real(value):
        raise TypeError(f"{what} must be a real number, got {type(value).__name__}")
    return float(value)


def _resolution(resolution):
    if resolution is None:
        return None
    if isinstance(resolution, (str, bytes)):
        raise TypeError("resolution must be three real numbers (w0, w1, w2), not a string")
    try:
        coefficients = tuple(resolution)
    except TypeError:
        raise TypeError("resolution must be three real numbers (w0, w1, w2)") from None
    if len(coefficients) != 3:
        raise ValueError(f"resolution must be three numbers (w0, w1, w2), got {len(coefficients)}")
    coefficients = tuple(_real(c, "resolution") for c in coefficients)
    if not all(_np.isfinite(coefficients)):
        raise ValueError(f"resolution must be finite, got {coefficients}")
    return coefficients


def _fixed(fixed):
    if fixed is None:
        return {}
    if not isinstance(fixed, Mapping):
        raise TypeError(f"fixed must be a dict of name to value, got {type(fixed).__name__}")
    return {_name(name, "a name in fixed"): _real(value, f"fixed['{name}']")
            for name, value in fixed.items()}


def _line_settings(shape, width, resolution, fixed, same_width):
    """The library's line settings; the library's own names check the shape, the width mode and
    the held parameters, and raise ValueError naming a bad one."""
    width = _name(width, "width")
    if same_width:
        if width not in ("free", "shared"):
            raise ValueError(f"same_width=True means width 'shared', which contradicts "
                             f"width '{width}'")
        width = "shared"
    resolution = _resolution(resolution)
    if resolution is not None:
        if width == "shared":
            raise ValueError("resolution gives every line its width from the detector's "
                             "resolution, which contradicts width 'shared'")
        width = "resolution"
    return _core.LineSettings(_name(shape, "shape"), width, resolution, _fixed(fixed))


def _workers(value):
    """A number of threads: an integer of 1 or more."""
    if isinstance(value, bool) or not _is_integral(value) or value < 1:
        raise ValueError(f"workers must be an integer of 1 or more, got {value!r}")
    return int(value)


def _positive_seconds(value, name):
    """A live time: None (unknown, NaN) or a positive finite number of seconds."""
    if value is None:
        return None
    return _positive_or_none(value, name)


class PeakFit:
    """The fitted peaks and regions of a spectrum; made by `fit_peaks`.

    Attributes
    ----------
    peaks : numpy.ndarray
        Structured array of dtype `PEAK_DTYPE`, one element per peak, sorted by region and
        mean: amplitude (height above the background, y units), mean (x units), sigma (the
        Gaussian standard deviation, x units; for "pseudo_voigt" its FWHM / (2 sqrt(2 ln 2)),
        NaN for "lorentzian"), fwhm (of the line without step, exact for every shape), area (the
        line's net area without step, y times x units), each with its ``*_err``, and the index
        of the peak's region; then gamma (the Lorentzian half width at half maximum of
        "lorentzian" and "voigt", x units) and eta (the Lorentzian share of the height of
        "pseudo_voigt", in [0, 1]) with their ``*_err``, NaN where the shape has none, and
        width_tied: True where the line's own width came out narrower than the spacing of its
        points and it was fitted again with its width tied to its region's lines or to the
        resolution. A held or
        imposed parameter has error 0, and so has a shape parameter that the fit took to where
        the shape ends (a tail or step of 0, eta of 0 or 1, gamma of 0): it is held there for
        the errors of the others. Peaks of a region whose fit failed are NaN.
        Then what a counting laboratory reports: ``counts`` (net counts, the area over the
        channel width at the mean), ``rate`` (counts over the live time, per second; NaN
        without one), each with its ``*_err``; Currie's ``critical_level`` L_C and
        ``detection_limit`` L_D in counts (false positives and negatives of 5 % each, from the
        fitted background within 1.25 FWHM of the mean and its error: for counts
        L_D = 1.645**2 + 2 L_C, otherwise 2 L_C); ``significant``, whether counts exceed L_C
        (a line not significant is not detected: quote L_D as its upper limit); and
        ``net_rate``, ``net_rate_err``, the rate less a blank's (NaN without a blank or a live
        time). Last, ``outside_region``: True where the fit carried the peak outside its
        region's lo..hi in a region that succeeded; such a "peak" took what the region's
        background cannot (most often the steep edge of a detector's threshold): it is no line.
    blank : PeakFit or None
        The blank's fit at the lines of this spectrum, when `fit_peaks` was given one.
    regions : numpy.ndarray
        Structured array of dtype `REGION_DTYPE`: lo, hi (the x range fitted), points, the
        background coefficients b0, b1, b2 for absolute x with their errors (0 where the
        background has no such coefficient), chisq, dof, chisq_dof, status, status_str,
        iterations and ok, then the region's shared shape parameters of "tailed" lines with
        their ``*_err``: tail (tail height ratio T), tail_slope (beta, x units) and step (step
        ratio S), NaN for the other shapes. For Poisson counts chisq is the likelihood-ratio
        statistic.
    background : str
        The kind of background, as given.
    shape : str
        The profile of every line: "gaussian", "tailed", "lorentzian", "pseudo_voigt" or
        "voigt".
    width : str
        Where the lines' widths came from: "free", "shared" or "resolution".
    resolution : numpy.ndarray or None
        With width "resolution": the coefficients (w0, w1, w2) of the detector's resolution
        FWHM(x)**2 = w0 + w1 x + w2 x**2 (x units squared, x units, 1), as given or as fitted
        from the spectrum's well-determined lines; None otherwise.
    resolution_covariance : numpy.ndarray or None
        The (3, 3) covariance of `resolution` (zero where it was given); None without one.
    """

    def __init__(self, result, blank=None, settings=None, errors=None):
        self._result = result
        # How the spectrum was fitted, for the report: the settings as the compiled core takes
        # them, and the errors as given (None, "poisson" or the checked array).
        self._settings = settings
        self._errors = errors
        self.background = result.background
        self.shape = result.shape
        self.width = result.width
        resolution = result.resolution()
        self.resolution, self.resolution_covariance = resolution or (None, None)
        self.blank = None if blank is None else PeakFit(blank)
        self.peaks = result.peak_records()  # a structured array of PEAK_DTYPE
        self.regions = result.region_records(REGION_DTYPE)
        for array in (self.peaks, self.regions, self.resolution, self.resolution_covariance):
            if array is not None:
                array.flags.writeable = False

    def covariance(self, region):
        """The covariance matrix of region `region`'s parameters (see `parameter_names`), for
        absolute x; NaN where the region's fit failed."""
        return self._result.covariance(operator.index(region))

    def parameter_names(self, region):
        """The names of region `region`'s fitted parameters, in the order of `covariance`:
        b0, b1, b2 (as many as the background has), then ``amplitude_k``, ``mean_k``,
        ``sigma_k`` per peak k (one ``sigma`` before them with ``same_width``), and the shape's
        own parameters that are fitted; held and imposed ones are not among them."""
        return self._result.parameter_names(operator.index(region))

    def evaluate(self, x):
        """The fitted model (background plus peaks) at `x`: float64, of the shape of `x`; NaN
        outside every region and in regions whose fit failed."""
        return self._evaluated(self._result.evaluate, x)

    def evaluate_background(self, x):
        """The fitted background alone at `x`, with the steps of "tailed" lines; NaN as for
        `evaluate`."""
        return self._evaluated(self._result.evaluate_background, x)

    def evaluate_peak(self, index, x):
        """Peak `index`'s own curve (without background, with its tail, without its step) at
        `x`; NaN outside its region."""
        return self._evaluated(lambda v: self._result.evaluate_peak(operator.index(index), v), x)

    def to_html(self, path, x, y, *, file_name=None, file_format=None, live_time=None,
                real_time=None, calibration=None, metadata=None, x_label="x", y_label="y"):
        """Write a report of this fit that the user explores in a browser.

        One self-contained HTML file (no network needed; the plotting library is inlined): the
        spectrum as steps with the fitted model, the background and each line, the residuals
        over their uncertainty under it, the table of lines with every column of
        ``vesk-numerics peaks --format csv``, and a header with the measurement and the fit's
        settings. The same library writes the program's ``peaks --html``. About 40 bytes a
        channel plus the fitted curves: a 16 384-channel spectrum stays well under 2 MB.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write (replaced if it exists).
        x, y : array_like
            The spectrum that was fitted: 1-D, of equal length, sorted `x`; with per-point errors
            they must be as long as the errors given to `fit_peaks`.
        file_name, file_format, calibration : str or bytes, optional
            The measurement's file, its format and how channels map to `x`; left out if None.
            Bytes that are not UTF-8 are shown as U+FFFD; no text is ever read as markup.
        live_time, real_time : float, optional
            The measurement's live and real time in seconds; left out if None.
        metadata : mapping, optional
            Further facts to show, name to value (str, bytes or numbers), in their order.
        x_label, y_label : str or bytes, optional
            Names (and units) of the axes.

        Raises
        ------
        TypeError
            If an array holds no real numbers, or a text is not str or bytes.
        ValueError
            If `x` and `y` differ in length, hold non-finite values, `x` is not sorted or all one
            value, or the errors of the fit do not match `y`; or if this PeakFit was not made by
            `fit_peaks`.
        OSError
            If the file cannot be written.
        """
        if self._settings is None:
            raise ValueError("this PeakFit holds no fit settings; make it with fit_peaks")
        x, y, sigma, _ = _spectrum(x, y, self._errors)
        texts = {name: _text_bytes(value, name) for name, value in (
            ("file_name", file_name), ("file_format", file_format),
            ("calibration", calibration), ("x_label", x_label), ("y_label", y_label))}
        facts = [(_text_bytes(str(name), "metadata"), _text_bytes(
            value if isinstance(value, (str, bytes)) else str(value), "metadata"))
            for name, value in (metadata or {}).items()]
        from . import __version__
        try:
            _core.write_report(os.fsencode(path), self._result, x, y, sigma, self._settings,
                               texts["file_name"], texts["file_format"], texts["calibration"],
                               _seconds(live_time, "live_time"), _seconds(real_time, "real_time"),
                               facts, texts["x_label"], texts["y_label"],
                               f"vesk_numerics {__version__} (Python)")
        except RuntimeError as error:
            raise OSError(str(error)) from None

    @staticmethod
    def _evaluated(function, x):
        array = _np.asarray(x, dtype=_np.float64)
        values = function(_np.ascontiguousarray(array.reshape(-1))).reshape(array.shape)
        return values[()] if values.ndim == 0 else values

    def __repr__(self):
        failed = int((~self.regions["ok"]).sum())
        shape = "" if self.shape == "gaussian" else f", shape '{self.shape}'"
        return (f"PeakFit({self.peaks.size} peaks in {self.regions.size} regions, background "
                f"'{self.background}'" + shape + (f", {failed} regions failed" if failed else "")
                + ")")


def _blank(blank, errors):
    """The blank (x, y, live_time[, errors]) checked, as the binding takes it."""
    if isinstance(blank, (str, bytes)) or not isinstance(blank, (tuple, list)) or \
            len(blank) not in (3, 4):
        raise TypeError("blank must be a tuple (x, y, live_time) or (x, y, live_time, errors)")
    blank_errors = blank[3] if len(blank) == 4 else None
    if isinstance(errors, str):
        blank_errors = errors
    elif errors is not None and blank_errors is None:
        raise ValueError("blank must be (x, y, live_time, errors) when errors is an array")
    try:
        x, y, sigma, _ = _spectrum(blank[0], blank[1], blank_errors)
    except ValueError as error:
        raise ValueError(f"blank: {error}") from None
    return x, y, sigma, _positive_seconds(blank[2], "blank live_time")


def _text_bytes(value, name):
    """A text to show as bytes: str as UTF-8 (characters that are not, such as the undecodable
    bytes of a file name, as they came), bytes as they are, None as nothing."""
    if value is None:
        return b""
    if isinstance(value, bytes):
        return value
    if not isinstance(value, str):
        raise TypeError(f"{name} must be str or bytes, not {type(value).__name__}")
    try:
        return value.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return value.encode("utf-8", "surrogatepass")


def _seconds(value, name):
    if value is None:
        return None
    if isinstance(value, (str, bytes, bool)) or not _is_real(value):
        raise TypeError(f"{name} must be a real number of seconds or None")
    return float(value)


def fit_peaks(x, y=None, *, peaks=None, background="linear", errors=_UNSET, window=None,
              fwhm=None, threshold=5.0, same_width=False, max_iterations=50, accuracy=1e-8,
              shape="gaussian", width="free", resolution=None, fixed=None, live_time=None,
              blank=None, workers=1):
    """Fit every peak of a spectrum as lines of one shape on a background.

    Peaks closer than a few FWHM are fitted together in one region that reaches a few FWHM
    beyond its outer peaks and has a background of its own; when searching, lines that a
    region's fit leaves significant in its residuals are added and the region fitted again, and
    a found line whose area comes out below a hundredth of its error (its height gone to zero,
    or its area undetermined) is taken out and its region fitted again without it; a region left
    without lines is dropped, unless it is the `window`.

    Parameters
    ----------
    x, y : array_like, or a Spectrum and None
        1-D positions (sorted) and values of the spectrum, of equal length; or a `Spectrum`
        (from `read_spectrum`) alone, whose `x` and `counts` are taken.
    peaks : None or array_like, optional
        None searches for the peaks (as `find_peaks`); a 1-D array-like gives approximate
        positions to fit (without `fwhm` or `window`, a line much wider than the spectrum's
        strongest lines gets a region as wide as it comes out; regions of tailed lines reach 7
        FWHM beyond them, so that the background shows below the tail and on both sides of the
        step); `find_peaks`' structured array gives start values.
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
        All peaks of a region share their widths: the same as ``width="shared"``.
    max_iterations : int, optional
        The solver's budget per region (50 for values below 1).
    accuracy : float, optional
        The solver's step and gradient tolerance, clamped to [1e-12, 0.01].
    shape : {"gaussian", "tailed", "lorentzian", "pseudo_voigt", "voigt"}, optional
        The profile of every line, in its height A and position mu, t = x - mu:
        "gaussian" A exp(-t**2 / (2 sigma**2)); "tailed" (germanium detectors) the Gaussian
        plus a low-side exponential tail of height ratio `tail` and slope `tail_slope`, and a
        step of ratio `step` under the line that belongs to the background, all three shared by
        the lines of a region; "lorentzian" A / (1 + (t / gamma)**2); "pseudo_voigt" a mix of a
        Gaussian and a Lorentzian of one FWHM, A [(1 - eta) G + eta L] with G and L of height 1,
        so that eta (per line) is the Lorentzian's share of the height, not of the area; "voigt" the
        convolution of a Gaussian (sigma) and a Lorentzian (gamma), scaled to height A.
    width : {"free", "shared", "resolution"}, optional
        Where the lines' widths come from: each line its own; shared by the lines of a region;
        or the detector's resolution FWHM(x)**2 = w0 + w1 x + w2 x**2, fitted from the
        spectrum's well-determined lines (net area at least 20 errors) and imposed on all (or
        given as `resolution`). FWHM is 2 sqrt(2 ln 2) sigma, the Gaussian part's for tailed and
        Voigt lines (2 gamma for Lorentzian lines). Where fewer than two lines are well
        determined, the lines of at least 5 errors give it, each counted alike: the straight
        line through the median FWHM**2 of their lower and of their upper half by x (six lines
        or more, the line rising with x), else the one well-determined line's width or their
        median FWHM**2, a constant. Where a free curve
        would fall below two channels' width, the fitted one has no negative coefficient, and
        lines where it is narrower are held at two channels.
        Whatever the mode, a line whose own width comes out narrower than the spacing of its
        points is fitted again with its width tied, and says so in ``width_tied``.
    resolution : (float, float, float), optional
        The detector's resolution coefficients (w0, w1, w2) in x units squared, x units and 1,
        imposed instead of fitted; implies ``width="resolution"`` (with ``width="shared"`` or
        ``same_width=True`` it is an error).
    fixed : dict of str to float, optional
        Shape parameters held at values for every line or region instead of being fitted:
        "tail" (>= 0), "tail_slope" (> 0, x units), "step" (>= 0), "eta" (in [0, 1]) and
        "gamma" (> 0, x units), e.g. ``{"step": 0.0}`` to switch the step off. A parameter the
        shape does not have is ignored.
    live_time : float, optional
        The measurement's live time in seconds (> 0), which turns net counts into rates; None
        takes a `Spectrum`'s own, and the rates are NaN without one.
    blank : tuple, optional
        ``(x, y, live_time)`` of a blank's or the shielded detector's spectrum, with
        ``errors`` as a fourth item when `errors` is an array (with "poisson" the blank is
        counts too). It is fitted with the same settings at the means of the fitted lines,
        without searching, and each line's ``net_rate`` is its rate less the blank line's,
        each over its own live time, errors combined in quadrature. Two spectra of the same
        source give net rates consistent with 0.
    workers : int, optional
        How many threads the fit may use (the search's smoothings and the regions are shared
        among them), with the GIL released. The result is the same to the last bit whatever
        the number. The helper threads belong to the calling thread: they sleep between its
        fits and end with it.

    Returns
    -------
    PeakFit
        The peaks and regions, and `blank`'s fit as its ``blank``. A region whose fit fails
        keeps its row with ``ok`` False and its status; the other regions stand.

    Raises
    ------
    TypeError
        If an argument is of the wrong kind (strings for arrays, a non-string background, shape
        or width, a `fixed` that is not a dict of names to numbers, a `resolution` that is not
        numbers).
    ValueError
        If the lengths differ, a value is not finite (naming the first bad index), `x` is not
        sorted or all one value, an error is not positive, a count is negative, the background,
        shape, width mode or a name in `fixed` is unknown, a held value lies outside its domain,
        `resolution` is not three finite numbers or gives no positive FWHM over the data, the
        width settings contradict each other, a peak lies outside the data (or the window), or a
        setting is out of range; `live_time` or `workers` is not positive; the blank's values
        are bad (the message starts with "blank") or it cannot be fitted at the lines.
    """
    workers = _workers(workers)
    if isinstance(x, Spectrum) and live_time is None and _np.isfinite(x.live_time):
        live_time = x.live_time  # a Spectrum's own live time turns its counts into rates
    x, y, sigma, counts = _spectrum(x, y, errors)
    window = _window(window)
    positions, starts = _peak_starts(peaks, x, window)
    lines = _line_settings(shape, width, resolution, fixed, same_width)
    settings = (_background(background), lines, _positive_or_none(fwhm, "fwhm"),
                _threshold(threshold), window, _iterations(max_iterations), _accuracy(accuracy))
    result, blank_result = _core.fit_peaks(
        x, y, sigma, counts, positions, starts, *settings,
        _positive_seconds(live_time, "live_time"), None if blank is None else _blank(blank, errors),
        workers)
    if result.status != 0:
        raise ValueError(result.status_str)
    if blank_result is not None and blank_result.status != 0:
        raise ValueError(f"blank: {blank_result.status_str}")
    given = positions if starts is None else starts[:, 0]
    return PeakFit(result, blank_result, settings + (None if given is None else list(given),),
                   "poisson" if counts else sigma)


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
    # x alone, as positions and values: finite, sorted and spanning an interval.
    _core.check_spectrum(x, x, None, False)
    _require_finite_rows(ys, "ys")
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


def _live_times(value, rows):
    """None, or every row's live time from a number or a 1-D array of one per row."""
    if value is None:
        return None
    if _is_real(value) and not isinstance(value, bool):
        value = _np.full(rows, _positive_seconds(value, "live_time"))
    times = _real_1d(value, "live_time")
    if times.size != rows:
        raise ValueError(f"live_time must be a number or one per row of ys ({rows}), got "
                         f"{times.size}")
    bad = ~(_np.isfinite(times) & (times > 0))
    if bad.any():
        raise ValueError(f"live_time is not positive and finite at index {_first_bad(bad)}")
    return times


def fit_peaks_many(x, ys, *, peaks, background="linear", errors=None, window=None, fwhm=None,
                   same_width=False, max_iterations=50, accuracy=1e-8, workers=1,
                   shape="gaussian", width="free", resolution=None, fixed=None, live_time=None):
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
    background, window, fwhm, same_width, max_iterations, accuracy, shape, width, resolution, fixed
        As for `fit_peaks`.
    errors : None, "poisson" or array_like, optional
        As for `fit_peaks`; an array must be 2-D, shaped like `ys`.
    workers : int, optional
        Threads to fit with; started for this call and joined before it returns.
    live_time : float or array_like, optional
        The live time in seconds of every spectrum (one number) or of each (one per row), for
        the rates; NaN rates if None.

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
        rows are not as long as `x`, `workers` is below 1, or a live time is not positive or
        their number is not one per row.
    """
    x, ys, sigmas, counts = _batch(x, ys, errors)
    window = _window(window)
    positions, starts = _peak_starts(peaks, x, window)
    if starts is not None:
        positions = starts[:, 0]
    if positions is None:
        raise TypeError("peaks must give the positions of the lines to fit")
    workers = _workers(workers)
    lines = _line_settings(shape, width, resolution, fixed, same_width)
    return _core.fit_peaks_many(
        x, ys, sigmas, counts, _np.ascontiguousarray(positions), _background(background),
        lines, _positive_or_none(fwhm, "fwhm"), window, _iterations(max_iterations),
        _accuracy(accuracy), int(workers), _live_times(live_time, ys.shape[0]),
        BATCH_PEAK_DTYPE)
