"""Gaussian peak fits, Savitzky-Golay smoothing and 3-D rotations, from libvesk_numerics.

Fit one peak::

    >>> import numpy as np, vesk_numerics as vn
    >>> x = np.linspace(650.0, 675.0, 101)
    >>> y = 850.0 * np.exp(-0.5 * ((x - 661.7) / 1.8) ** 2) + 120.0
    >>> peak = vn.GaussFit().fit(x, y)
    >>> round(peak.mean, 6), round(peak.sigma, 6)
    (661.7, 1.8)

Fit many peaks at once with `fit_many`, or arrays of any size (also Dask arrays) with
`vesk_numerics.dask.fit_array`. Every computing call releases the GIL.
"""
import numpy as _np

from . import _core
from ._core import (Error, FitResult, GaussFit, mean_and_std, mean_of, rotation_about,
                    rotation_x, rotation_y, rotation_z, savitzky_golay, smooth)
from ._io import Spectrum, read_spectra, read_spectrum
from ._peaks import (BATCH_PEAK_DTYPE, FOUND_PEAK_DTYPE, PEAK_DTYPE, REGION_DTYPE, PeakFit,
                     find_peaks, fit_peaks, fit_peaks_many)

__all__ = ["Error", "FitResult", "GaussFit", "fit_many", "mean_and_std", "mean_of",
           "rotation_about", "rotation_x", "rotation_y", "rotation_z", "savitzky_golay",
           "smooth", "RESULT_DTYPE", "find_peaks", "fit_peaks", "fit_peaks_many", "PeakFit",
           "BATCH_PEAK_DTYPE", "FOUND_PEAK_DTYPE", "PEAK_DTYPE", "REGION_DTYPE",
           "Spectrum", "read_spectra", "read_spectrum"]
__version__ = "1.1.0"

Error.__doc__ = """The library's error for invalid arguments (a subclass of ValueError)."""

# The numeric fields in the order the compiled core writes them.
_NUMBER_FIELDS = ("amplitude", "amplitude_err", "mean", "mean_err", "variance", "variance_err",
                  "offset", "offset_err", "sigma", "sigma_err", "chisq", "chisq_dof", "fwhm",
                  "fwhm_err", "area")
_STATUS_WIDTH = 40  # the longest status text of GSL and the library is 37 characters

#: The structured dtype of `fit_many`'s results: the fields of `FitResult`.
RESULT_DTYPE = _np.dtype([(name, _np.float64) for name in _NUMBER_FIELDS] +
                         [("status", _np.int32), ("status_str", f"U{_STATUS_WIDTH}"),
                          ("num_iterations", _np.int32), ("ok", _np.bool_)])


def fit_many(x, ys, *, constant_offset=None, max_iterations=50, accuracy=1e-8, workers=1,
             solver="lmsder"):
    """Fit one Gaussian peak to every row of `ys`.

    Each row gives exactly the numbers that ``GaussFit(...).fit(x_row, y_row)`` gives, whatever
    the number of workers. The GIL is released for the whole batch.

    Parameters
    ----------
    x : array_like
        1-D abscissae shared by all rows, or 2-D with one row of abscissae per row of `ys`.
    ys : array_like
        2-D ordinates, one peak per row.
    constant_offset, max_iterations, accuracy, solver
        As for `GaussFit`.
    workers : int, optional
        Threads to fit with; started for this call and joined before it returns.

    Returns
    -------
    numpy.ndarray
        Structured array of dtype `RESULT_DTYPE`, one element per row: the fields of
        `FitResult`. Failed fits have ``ok`` False, their status and every number 0.

    Raises
    ------
    TypeError
        If `x` or `ys` holds strings, complex numbers or objects.
    ValueError
        If `ys` is not 2-D, `x` is not 1-D or 2-D, a 2-D `x` has another number of rows than
        `ys`, `workers` is below 1 or `solver` is unknown.
    """
    numbers, counts, texts = _core.fit_many(x, ys, constant_offset=constant_offset,
                                            max_iterations=max_iterations, accuracy=accuracy,
                                            workers=workers, solver=solver)
    results = _np.empty(numbers.shape[0], dtype=RESULT_DTYPE)
    for column, name in enumerate(_NUMBER_FIELDS):
        results[name] = numbers[:, column]
    results["status"] = counts[:, 0]
    results["num_iterations"] = counts[:, 1]
    results["ok"] = (counts[:, 0] == 0) | (counts[:, 0] == -2)
    for status, text in texts.items():
        results["status_str"][counts[:, 0] == status] = text
    return results
