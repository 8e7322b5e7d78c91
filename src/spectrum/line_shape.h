#ifndef VESK_NUMERICS_SRC_SPECTRUM_LINE_SHAPE_H
#define VESK_NUMERICS_SRC_SPECTRUM_LINE_SHAPE_H

// The line shapes of a spectrum in one place: their values, their derivatives for the
// least-squares core, their areas and FWHM with the gradients that carry a covariance over. The
// region model, the result's evaluation and the reports all take a line from here.

#include <cstddef>

#include "simd/vector_kernels.h"
#include "vesk/numerics/SpectrumFitResult.h"

namespace vesk::numerics::detail {

// Everything that sets one line's profile: its own height, position and widths, and the shape
// parameters its region shares (tailed lines only).
struct LineParameters {
  double amplitude = 0.0;
  double mean = 0.0;
  double sigma = 0.0;  // Gaussian width; pseudo_voigt: FWHM / (2 sqrt(2 ln 2))
  double gamma = 0.0;  // Lorentzian half width (lorentzian, voigt)
  double eta = 0.0;    // Lorentzian share (pseudo_voigt)
  double tail = 0.0;
  double tail_slope = 1.0;
  double step = 0.0;
};

// The parameters a shape's profile has, as indexes of gradients.
enum ShapeGradient : int {
  kByAmplitude,
  kBySigma,
  kByGamma,
  kByEta,
  kByTail,
  kByTailSlope,
  kShapeGradientSize
};

// Whether lines of this shape have a Gaussian width, a Lorentzian width, a Lorentzian share,
// a tail and step.
bool has_sigma(LineShape shape);
bool has_gamma(LineShape shape);
bool has_eta(LineShape shape);
bool has_tail(LineShape shape);

// Where one line writes its derivatives: columns of `count` doubles, each added to (so that
// lines sharing a parameter collect their derivatives in one column); null where the parameter
// is not fitted. The values are added to as well.
struct LineColumns {
  double* amplitude = nullptr;
  double* mean = nullptr;
  double* sigma = nullptr;
  double* gamma = nullptr;
  double* eta = nullptr;
  double* tail = nullptr;
  double* tail_slope = nullptr;
  double* step = nullptr;
  // Where the resolution ties a width to the position: d sigma / d mean and d gamma / d mean.
  double sigma_by_mean = 0.0;
  double gamma_by_mean = 0.0;
  // A Gaussian line's mean and sigma columns that no line has written yet, and that it starts
  // (as the sum 0 + its derivative) instead of adding to: they need not be zeroed first. Every
  // other column is added to.
  bool starts_mean = false;
  bool starts_sigma = false;
  // A line whose columns no line has written yet starts every one of them, and so does a line
  // whose derivatives are not wanted. Otherwise it adds to them all, and those it alone writes
  // must be zeroed first. (A Gaussian line's fitted mean and sigma follow the two flags above.)
  bool starts = false;
};

// The number of doubles per point that add_line needs as scratch.
constexpr std::size_t kLineScratchRows = 12;

// Adds the line (with a tailed line's step) at positions u to values, and its derivatives to
// the columns. scratch holds kLineScratchRows * count doubles.
void add_line(LineShape shape, const LineParameters& line, const double* u, std::size_t count,
              const VectorKernels& kernels, double* scratch, double* values,
              const LineColumns& columns);

// The line alone (no step) at x.
double line_value(LineShape shape, const LineParameters& line, double x);

// The step under a tailed line at x; 0 for other shapes.
double step_value(LineShape shape, const LineParameters& line, double x);

// The net area of the line (without step), and its gradient by the ShapeGradient parameters.
double line_area(LineShape shape, const LineParameters& line, double* gradient);

// The full width at half maximum of the line (without step), found as a root where there is no
// closed form, and its gradient by the ShapeGradient parameters (kByAmplitude is 0).
double line_fwhm(LineShape shape, const LineParameters& line, double* gradient);

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_SPECTRUM_LINE_SHAPE_H
