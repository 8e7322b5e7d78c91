"""Fits of many peaks laid out along one axis of an array: numpy in memory, Dask beyond.

Importing this module imports Dask; the rest of the package does not need it.
"""
import numpy as np

from . import BATCH_PEAK_DTYPE, RESULT_DTYPE, fit_many, fit_peaks_many

__all__ = ["fit_array", "fit_peaks_array"]


def _fit_block(block, x, settings):
    """Fits every 1-D series along the last axis of `block`; the results take its leading shape."""
    rows = block.reshape(-1, block.shape[-1])
    return fit_many(x, rows, **settings).reshape(block.shape[:-1])


def _series_last(data, x, axis):
    """`data` (numpy or Dask) with `axis` moved last, and `x` checked against its length."""
    import dask.array as da

    is_dask = isinstance(data, da.Array)
    if not is_dask:
        data = np.asarray(data)
    if data.ndim == 0:
        raise ValueError("data must have at least one dimension")
    if not -data.ndim <= axis < data.ndim:
        raise ValueError(f"axis {axis} is out of range for data of {data.ndim} dimensions")
    length = data.shape[axis]
    x = np.arange(length, dtype=np.float64) if x is None else np.asarray(x, dtype=np.float64)
    if x.shape != (length,):
        raise ValueError(f"x must be 1-D of length {length}, got shape {x.shape}")
    data = da.moveaxis(data, axis, -1) if is_dask else np.moveaxis(data, axis, -1)
    return data, x, is_dask


def _fit_peaks_block(block, x, peaks, settings):
    """Fits the lines in every spectrum along the last axis of `block`."""
    rows = block.reshape(-1, block.shape[-1])
    return fit_peaks_many(x, rows, peaks=peaks, **settings).reshape(block.shape[:-1] +
                                                                     (len(peaks),))


def fit_peaks_array(data, x, *, peaks, axis=-1, **settings):
    """Fit the same lines in every spectrum along `axis` of an array.

    Parameters
    ----------
    data : numpy.ndarray or dask.array.Array
        Spectra of any leading shape (a scan, a detector's frames over time), with the channels
        along `axis`.
    x : array_like
        1-D positions of the channels along `axis`.
    peaks : array_like
        1-D approximate positions of the lines to fit.
    axis : int, optional
        The axis that holds the channels.
    **settings
        `background`, `errors` (None or "poisson"), `window`, `fwhm`, `same_width`,
        `max_iterations`, `accuracy`, `workers`, `shape`, `width`, `resolution` and `fixed`, as
        for `vesk_numerics.fit_peaks_many`.

    Returns
    -------
    numpy.ndarray or dask.array.Array
        Structured results of dtype `vesk_numerics.BATCH_PEAK_DTYPE`, of the shape of `data`
        without `axis` plus ``(len(peaks),)``, equal to `fit_peaks_many` on the same spectra.
        For a Dask array the result is lazy and computed block by block on whichever scheduler
        is in use; the chunks along `axis` are first joined into one.

    Raises
    ------
    ValueError
        If `data` has no dimensions, `axis` is out of range, or `x` does not match the length
        of `axis`; and as `fit_peaks_many` for bad settings or data.
    """
    data, x, is_dask = _series_last(data, x, axis)
    peaks = np.atleast_1d(np.asarray(peaks, dtype=np.float64))
    if not is_dask:
        return _fit_peaks_block(data, x, peaks, settings)
    data = data.rechunk({data.ndim - 1: -1})
    return data.map_blocks(_fit_peaks_block, x, peaks, settings, dtype=BATCH_PEAK_DTYPE,
                           chunks=data.chunks[:-1] + ((len(peaks),),),
                           meta=np.empty((0,) * data.ndim, dtype=BATCH_PEAK_DTYPE))


def fit_array(data, x=None, *, axis=-1, **settings):
    """Fit a Gaussian peak to every 1-D series along `axis` of an array.

    Parameters
    ----------
    data : numpy.ndarray or dask.array.Array
        Samples of any leading shape (a hyperspectral cube, a stack of scans), with the series
        along `axis`.
    x : array_like, optional
        1-D abscissae of the samples along `axis`; by default their index 0, 1, 2, ...
    axis : int, optional
        The axis that holds the series.
    **settings
        `constant_offset`, `max_iterations`, `accuracy`, `solver` and `workers`, as for
        `vesk_numerics.fit_many`.

    Returns
    -------
    numpy.ndarray or dask.array.Array
        Structured results of dtype `vesk_numerics.RESULT_DTYPE`, of the shape of `data` without
        `axis`. For a Dask array the result is lazy and computed block by block on whichever
        scheduler is in use (threads, processes or a distributed cluster); the chunks along
        `axis` are first joined into one.

    Raises
    ------
    ValueError
        If `data` has no dimensions, `axis` is out of range, or `x` does not match the length
        of `axis`; and as `fit_many` for bad settings.
    TypeError
        As `fit_many`, for data that are not real numbers.
    """
    data, x, is_dask = _series_last(data, x, axis)
    if not is_dask:
        return _fit_block(data, x, settings)
    data = data.rechunk({data.ndim - 1: -1})
    return data.map_blocks(_fit_block, x, settings, drop_axis=data.ndim - 1, dtype=RESULT_DTYPE,
                           meta=np.empty((0,) * (data.ndim - 1), dtype=RESULT_DTYPE))
