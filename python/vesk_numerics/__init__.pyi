import datetime
import os
from typing import Iterable, Literal, Mapping, Optional, Sequence, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

__version__: str
RESULT_DTYPE: np.dtype
FOUND_PEAK_DTYPE: np.dtype
PEAK_DTYPE: np.dtype
REGION_DTYPE: np.dtype
BATCH_PEAK_DTYPE: np.dtype

_Solver = Literal["lmsder", "normal_equations"]
_Background = Literal["none", "constant", "linear", "quadratic", "exponential"]
_Errors = Union[None, Literal["poisson"], npt.ArrayLike]
_Shape = Literal["gaussian", "tailed", "lorentzian", "pseudo_voigt", "voigt"]
_Width = Literal["free", "shared", "resolution"]
_Fixed = Mapping[Literal["tail", "tail_slope", "step", "eta", "gamma"], float]

class Error(ValueError): ...

class FitResult:
    amplitude: float
    mean: float
    variance: float
    offset: float
    amplitude_err: float
    mean_err: float
    variance_err: float
    offset_err: float
    sigma: float
    sigma_err: float
    chisq: float
    chisq_dof: float
    status: int
    status_str: str
    num_iterations: int
    @property
    def ok(self) -> bool: ...
    @property
    def fwhm(self) -> float: ...
    @property
    def fwhm_err(self) -> float: ...
    @property
    def area(self) -> float: ...
    @overload
    def result(self, x: float) -> float: ...
    @overload
    def result(self, x: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    def to_dict(self) -> dict[str, Union[float, int, str, bool]]: ...
    def scaled(self, *, x: float = 1.0, y: float = 1.0) -> FitResult: ...

class GaussFit:
    def __init__(self, *, constant_offset: Optional[float] = None, max_iterations: int = 50,
                 accuracy: float = 1e-8, solver: _Solver = "lmsder") -> None: ...
    @property
    def constant_offset(self) -> Optional[float]: ...
    @property
    def max_iterations(self) -> int: ...
    @property
    def accuracy(self) -> float: ...
    @property
    def solver(self) -> _Solver: ...
    @overload
    def fit(self, x: npt.ArrayLike, y: npt.ArrayLike) -> FitResult: ...
    @overload
    def fit(self, x: npt.ArrayLike) -> FitResult: ...

def fit_many(x: npt.ArrayLike, ys: npt.ArrayLike, *, constant_offset: Optional[float] = None,
             max_iterations: int = 50, accuracy: float = 1e-8, workers: int = 1,
             solver: _Solver = "lmsder") -> np.ndarray: ...
def mean_of(results: Union[Iterable[FitResult], np.ndarray]) -> FitResult: ...
def mean_and_std(results: Union[Iterable[FitResult], np.ndarray]) -> FitResult: ...

class PeakFit:
    peaks: np.ndarray
    regions: np.ndarray
    background: _Background
    shape: _Shape
    width: _Width
    resolution: Optional[npt.NDArray[np.float64]]
    resolution_covariance: Optional[npt.NDArray[np.float64]]
    blank: Optional[PeakFit]
    def covariance(self, region: int) -> npt.NDArray[np.float64]: ...
    def parameter_names(self, region: int) -> list[str]: ...
    def evaluate(self, x: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    def evaluate_background(self, x: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    def evaluate_peak(self, index: int, x: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    def to_html(self, path: Union[str, os.PathLike[str]], x: npt.ArrayLike, y: npt.ArrayLike, *,
                file_name: Optional[Union[str, bytes]] = None,
                file_format: Optional[Union[str, bytes]] = None,
                live_time: Optional[float] = None, real_time: Optional[float] = None,
                calibration: Optional[Union[str, bytes]] = None,
                metadata: Optional[Mapping[str, Union[str, bytes, float]]] = None,
                x_label: Union[str, bytes] = "x", y_label: Union[str, bytes] = "y") -> None: ...

class Spectrum:
    counts: npt.NDArray[np.float64]
    x: npt.NDArray[np.float64]
    channels: npt.NDArray[np.float64]
    x_unit: str
    calibration: Optional[npt.NDArray[np.float64]]
    live_time: float
    real_time: float
    start_time: Optional[datetime.datetime]
    format: str
    metadata: dict[str, str]
    is_counts: bool
    def __len__(self) -> int: ...

_Path = Union[str, bytes, os.PathLike]

def read_spectra(path: _Path) -> list[Spectrum]: ...
def read_spectrum(path: _Path, index: int = 0) -> Spectrum: ...

@overload
def find_peaks(x: Spectrum, y: None = None, *, errors: _Errors = ...,
               fwhm: Optional[float] = None, threshold: float = 5.0) -> np.ndarray: ...
@overload
def find_peaks(x: npt.ArrayLike, y: npt.ArrayLike, *, errors: _Errors = None,
               fwhm: Optional[float] = None, threshold: float = 5.0) -> np.ndarray: ...
def fit_peaks(x: Union[Spectrum, npt.ArrayLike], y: Optional[npt.ArrayLike] = None, *,
              peaks: Optional[npt.ArrayLike] = None, background: _Background = "linear",
              errors: _Errors = ..., window: Optional[Tuple[float, float]] = None,
              fwhm: Optional[float] = None, threshold: float = 5.0, same_width: bool = False,
              max_iterations: int = 50, accuracy: float = 1e-8, shape: _Shape = "gaussian",
              width: _Width = "free", resolution: Optional[Tuple[float, float, float]] = None,
              fixed: Optional[_Fixed] = None, live_time: Optional[float] = None,
              blank: Optional[Union[Tuple[npt.ArrayLike, npt.ArrayLike, Optional[float]],
                                    Tuple[npt.ArrayLike, npt.ArrayLike, Optional[float],
                                          npt.ArrayLike]]] = None,
              workers: int = 1) -> PeakFit: ...
def fit_peaks_many(x: npt.ArrayLike, ys: npt.ArrayLike, *, peaks: npt.ArrayLike,
                   background: _Background = "linear", errors: _Errors = None,
                   window: Optional[Tuple[float, float]] = None, fwhm: Optional[float] = None,
                   same_width: bool = False, max_iterations: int = 50, accuracy: float = 1e-8,
                   workers: int = 1, shape: _Shape = "gaussian", width: _Width = "free",
                   resolution: Optional[Tuple[float, float, float]] = None,
                   fixed: Optional[_Fixed] = None,
                   live_time: Optional[Union[float, npt.ArrayLike]] = None) -> np.ndarray: ...
def savitzky_golay(order: int, left: int, right: int) -> npt.NDArray[np.float64]: ...
def smooth(y: npt.ArrayLike, order: int, window: int) -> npt.NDArray[np.float64]: ...
def rotation_x(angle: float) -> npt.NDArray[np.float64]: ...
def rotation_y(angle: float) -> npt.NDArray[np.float64]: ...
def rotation_z(angle: float) -> npt.NDArray[np.float64]: ...
def rotation_about(axis: npt.ArrayLike, angle: float) -> npt.NDArray[np.float64]: ...
