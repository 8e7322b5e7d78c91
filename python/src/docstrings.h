#ifndef VESK_PYTHON_DOCSTRINGS_H
#define VESK_PYTHON_DOCSTRINGS_H

// The Python documentation of the compiled names, in numpydoc form.

namespace vesk::python::docs {

constexpr const char* kFitResult = R"(Result of one Gaussian peak fit.

The peak is ``amplitude * exp(-(x - mean)**2 / (2 * variance)) + offset``. Values are in the
units of the data: ``mean``, ``sigma`` and ``fwhm`` in x units, ``variance`` in x units squared,
``amplitude`` and ``offset`` in y units, ``chisq`` in y units squared, ``area`` in x times y
units. Each ``*_err`` is the parameter's error estimate: the square root of the covariance
diagonal scaled by ``sqrt(chisq_dof)``.

A failed fit (``ok`` is False) has every number 0.0; ``status`` and ``status_str`` say why
(-1 "Not enough data points", or GSL's status code and text) and ``num_iterations`` how far the
solver got. Records are read-only; ``scaled`` returns a converted copy. They pickle.
)";

constexpr const char* kOk =
    "True when the fit completed (status 0, or -2 when the solver's budget ended a fit that was "
    "still improving); False when it failed and every number is 0.";
constexpr const char* kFwhm = "Full width at half maximum, 2 sqrt(2 ln 2) sigma, in x units.";
constexpr const char* kFwhmErr = "Error estimate of fwhm, in x units.";
constexpr const char* kArea = "Area under the peak above the offset, amplitude sigma sqrt(2 pi).";

constexpr const char* kResult = R"(Evaluate the fitted curve.

Parameters
----------
x : float or array_like
    Abscissae, in x units.

Returns
-------
float or numpy.ndarray
    ``amplitude * exp(-((x - mean) / sigma)**2 / 2) + offset``: a float for a scalar, else a
    float64 array of the shape of `x`. A zero sigma gives amplitude + offset everywhere.

Raises
------
TypeError
    If `x` holds strings, complex numbers or objects.
)";

constexpr const char* kToDict =
    "All fields, ok, fwhm, fwhm_err and area as a dict of Python numbers and text.";

constexpr const char* kScaled = R"(A copy converted to other units.

Parameters
----------
x : float, optional
    Factor for the x axis: mean, sigma, fwhm and their errors are multiplied by it, variance and
    its error by its square.
y : float, optional
    Factor for the y axis: amplitude, offset and their errors are multiplied by it, chisq and
    chisq_dof by its square.

Returns
-------
FitResult
)";

constexpr const char* kGaussFit = R"(Least-squares fitter of one Gaussian peak.

Fits ``y = A exp(-(x - mu)**2 / (2 v)) + c`` by unweighted non-linear least squares, from start
values it finds in the data. The settings are read back, as stored, by the properties of the
same names.

Parameters
----------
constant_offset : float or None, optional
    None (default) fits the offset c too; a number holds c at that value, in y units.
max_iterations : int, optional
    The solver's iteration budget; 0 or less selects 50.
accuracy : float, optional
    The solver's step and gradient tolerance, kept within [1e-12, 0.01].
solver : {'lmsder', 'normal_equations'}, optional
    'lmsder' (default): GSL's classic solver. 'normal_equations': the trust-region solver on
    the normal equations, 1.5 to 3 times as fast; same optimum.

Raises
------
ValueError
    If `solver` is not one of the names above.
TypeError
    If a setting has the wrong type.
)";

constexpr const char* kFit = R"(Fit a Gaussian peak.

``fit(x, y)`` fits y against x; ``fit(y)`` fits y against its sample index 0, 1, 2, ... (mean
and sigma are then in samples). Only the first ``min(len(x), len(y))`` points are used.

Parameters
----------
x : array_like
    1-D abscissae; contiguous float64 arrays are read in place, anything else is converted once.
y : array_like, optional
    1-D ordinates.

Returns
-------
FitResult
    Bad data never raise: NaN or infinite values give status 1 ("input domain error"), too few
    points status -1 ("Not enough data points"), a solver failure GSL's status; all with every
    number 0.

Raises
------
TypeError
    If an argument holds strings, complex numbers or objects.
ValueError
    If an argument is not 1-D.
)";

constexpr const char* kMeanOf = R"(Means of the ten numbers of a series of fit results.

Parameters
----------
results : iterable of FitResult, or fit_many's structured array
    Every element counts, failed fits included.

Returns
-------
FitResult
    amplitude, mean, variance, offset, sigma and their errors averaged; an empty series gives
    an all-zero record.

Raises
------
TypeError
    If an element is neither a FitResult nor a row of fit_many's array.
)";

constexpr const char* kMeanAndStd = R"(Means and spreads of the peak parameters of a series.

Parameters
----------
results : iterable of FitResult, or fit_many's structured array
    Every element counts, failed fits included; their error fields are not read.

Returns
-------
FitResult
    amplitude, mean, variance, offset and sigma averaged over the series; each ``*_err`` holds
    the sample standard deviation (n - 1 divisor) of its parameter. An empty series gives an
    all-zero record.
)";

constexpr const char* kSavitzkyGolay = R"(Savitzky-Golay smoothing weights.

Parameters
----------
order : int
    Polynomial order, 0 or more.
left, right : int
    Samples before and after the smoothed point, 0 or more.

Returns
-------
numpy.ndarray
    ``left + right + 1`` float64 weights; their dot product with the window's samples is the
    value, at the point, of the least-squares polynomial of `order` over the window.

Raises
------
vesk_numerics.Error
    If an argument is negative.
numpy.linalg.LinAlgError
    If the window is too short to determine the polynomial (``left + right + 1 <= order``).
)";

constexpr const char* kSmooth = R"(Smooth a series with Savitzky-Golay weights.

Near the ends the window keeps its length and shifts inwards, using asymmetric weights there.

Parameters
----------
y : array_like
    1-D samples, evenly spaced.
order : int
    Polynomial order, 0 or more.
window : int
    Odd window length, at most ``len(y)``.

Returns
-------
numpy.ndarray
    Float64 array of the length of `y`.

Raises
------
ValueError
    If `window` is not a positive odd number or exceeds ``len(y)``, or `y` is not 1-D;
    vesk_numerics.Error for a negative order.
numpy.linalg.LinAlgError
    If ``window <= order``.
)";

constexpr const char* kRotationAxis = R"(Rotation matrix about a coordinate axis.

Parameters
----------
angle : float
    Angle in radians; positive turns counter-clockwise looking down the axis.

Returns
-------
numpy.ndarray
    (3, 3) float64 matrix R; ``R @ v`` is v rotated.
)";

constexpr const char* kRotationAbout = R"(Rotation matrix about an arbitrary axis.

Parameters
----------
axis : array_like
    Three components of the axis, of any non-zero length.
angle : float
    Angle in radians, counter-clockwise looking down the axis.

Returns
-------
numpy.ndarray
    (3, 3) float64 matrix R; ``R @ v`` is v rotated. A zero axis gives NaN.

Raises
------
ValueError
    If `axis` does not have three components.
)";

}  // namespace vesk::python::docs

#endif  // VESK_PYTHON_DOCSTRINGS_H
