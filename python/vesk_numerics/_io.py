"""Spectra from instrument files: gamma (SPE, CHN, N42, IEC 1455, Canberra) and diffraction."""
import datetime as _datetime
import operator
import os

from . import _core

__all__ = ["Spectrum", "read_spectra", "read_spectrum"]


class Spectrum:
    """One spectrum of an instrument file; made by `read_spectrum` and `read_spectra`.

    Attributes
    ----------
    counts : numpy.ndarray
        Counts (or intensities) per channel, float64, finite; not negative where `is_counts`.
    x : numpy.ndarray
        The x of each channel (float64): the file's calibration applied (energy in keV, 2-theta
        in degrees, ...), or the channel numbers where the file has none.
    channels : numpy.ndarray
        The channel numbers as the file numbers them (float64); `counts`, `x` and `channels`
        have one length.
    x_unit : str
        "keV", "deg", ...; "channel" where `x` are channel numbers.
    calibration : numpy.ndarray or None
        Polynomial channel -> x, lowest order first: x = c[0] + c[1] ch + c[2] ch**2 ... None
        where the file has none, or where it does not increase over the channels (then
        ``metadata["warning"]`` says so and `x` are the channel numbers).
    live_time, real_time : float
        Seconds; NaN where the file gives none.
    start_time : datetime.datetime or None
        The start of the measurement (local time, naive), or None.
    format : str
        The file format's name, e.g. "ORTEC CHN" or "ANSI N42.42-2011".
    metadata : dict of str
        The file's descriptive fields.
    is_counts : bool
        Whether `counts` are Poisson counts (gamma spectra): `fit_peaks` and `find_peaks` then
        take ``errors="poisson"`` unless told otherwise.
    """

    __slots__ = ("counts", "x", "channels", "x_unit", "calibration", "live_time", "real_time",
                 "start_time", "format", "metadata", "is_counts")

    def __init__(self, fields):
        start = fields.pop("start_time")
        for name, value in fields.items():
            setattr(self, name, value)
        self.start_time = _datetime.datetime.fromisoformat(start) if start else None
        for array in (self.counts, self.x, self.channels):
            array.flags.writeable = False

    def __len__(self):
        return self.counts.size

    def __repr__(self):
        return (f"Spectrum(format={self.format!r}, channels={self.counts.size}, "
                f"x={self.x[0]:g}..{self.x[-1]:g} {self.x_unit}, live_time={self.live_time:g}, "
                f"real_time={self.real_time:g})")


def _path(path):
    if isinstance(path, bytes):
        return os.fsdecode(path)
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
    return os.fspath(path)


def read_spectra(path):
    """Read every spectrum of an instrument file.

    The format is recognised by the content (magic bytes, first line, root element), the
    extension only breaking ties: IAEA/ORTEC SPE, ORTEC CHN, ANSI N42.42 (2006 and 2011, several
    spectra in one file), IEC 1455, the formats xylib reads (Canberra CNF and MCA, PANalytical
    xrdml, Bruker raw and UXD, ...) and text columns (y; x y; or x y error). The GIL is released
    while the file is read.

    Parameters
    ----------
    path : str or os.PathLike
        The file.

    Returns
    -------
    list of Spectrum
        At least one.

    Raises
    ------
    OSError
        If the file is missing or cannot be read.
    ValueError
        If its content is not a spectrum this package reads, or is damaged (truncated, counts
        negative or not numbers, malformed XML, XML with a document type declaration): the
        message names the file and the reason.
    TypeError
        If `path` is not a path.
    """
    return [Spectrum(fields) for fields in _core.read_spectra(_path(path))]


def read_spectrum(path, index=0):
    """Read one spectrum of an instrument file (see `read_spectra`).

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    index : int, optional
        Which spectrum, from 0.

    Returns
    -------
    Spectrum

    Raises
    ------
    OSError
        If the file is missing or cannot be read.
    ValueError
        As `read_spectra`, and if the file holds no spectrum `index`.
    TypeError
        If `path` is not a path or `index` not an integer.
    """
    index = operator.index(index)
    spectra = read_spectra(path)
    if not 0 <= index < len(spectra):
        raise ValueError(f"{_path(path)}: holds {len(spectra)} spectra, no spectrum {index}")
    return spectra[index]
