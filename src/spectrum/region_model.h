#ifndef VESK_NUMERICS_SRC_SPECTRUM_REGION_MODEL_H
#define VESK_NUMERICS_SRC_SPECTRUM_REGION_MODEL_H

// One region of a spectrum as a model for the least-squares core: a background plus lines of
// one shape, written in x measured from the region's centre, which keeps the background's
// coefficients of similar size and the normal equations well conditioned.

#include <Eigen/Core>

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "least_squares.h"
#include "simd/vector_kernels.h"
#include "spectrum/line_shape.h"
#include "vesk/numerics/SpectrumFitResult.h"

namespace vesk::numerics::detail {

// A detector's resolution FWHM(x)^2 = w0 + w1 x + w2 x^2, in absolute x, never below
// least_fwhm_squared: where the curve falls below it (a fitted curve near x = 0, far from the
// lines that measured it), lines are as narrow as their points can show and no narrower.
struct Resolution {
  std::array<double, 3> coefficients;
  double least_fwhm_squared = 0.0;
  double curve(double x) const {
    return coefficients[0] + x * (coefficients[1] + x * coefficients[2]);
  }
  double fwhm_squared(double x) const { return std::max(curve(x), least_fwhm_squared); }
  double fwhm_squared_slope(double x) const {
    return curve(x) > least_fwhm_squared ? coefficients[1] + 2.0 * x * coefficients[2] : 0.0;
  }
};

// Where a line's resolution width (sigma; a Lorentzian's gamma) comes from.
struct WidthSource {
  enum Kind : unsigned char {
    own,         // fitted for this line alone
    region,      // the region's one shared width
    like_line,   // the same parameter as line `line`'s
    resolution,  // the resolution at the line's position
    held,        // held at `value`
  };
  Kind kind = own;
  std::size_t line = 0;
  double value = 0.0;
};

// The shape parameters that the tailed lines of a region share.
inline constexpr std::array<ShapeParameter, 3> kTailParameters = {
    ShapeParameter::tail, ShapeParameter::tail_slope, ShapeParameter::step};

// What a region's model is made of, from the fit's settings.
struct ShapeSettings {
  Background background = Background::linear;
  LineShape shape = LineShape::gaussian;
  std::array<std::optional<double>, 5> fixed;  // by ShapeParameter
  std::optional<Resolution> resolution;

  bool holds(ShapeParameter parameter) const {
    return fixed[static_cast<std::size_t>(parameter)].has_value();
  }
  void hold(ShapeParameter parameter, double value) {
    fixed[static_cast<std::size_t>(parameter)] = value;
  }
};

// Where each parameter of a region sits in the parameter vector, -1 for those not fitted: the
// background's coefficients first, then the region's shape parameters (tail, tail slope, step),
// then the shared widths, then each line's amplitude, mean, and own widths and Lorentzian share.
class RegionLayout {
 public:
  static constexpr Eigen::Index kNotFitted = -1;

  struct Line {
    Eigen::Index amplitude = kNotFitted;
    Eigen::Index mean = kNotFitted;
    Eigen::Index sigma = kNotFitted;
    Eigen::Index gamma = kNotFitted;
    Eigen::Index eta = kNotFitted;
    WidthSource width;  // of the resolution width
  };

  // One line's width source per line.
  RegionLayout(const ShapeSettings& settings, const std::vector<WidthSource>& widths);
  // Gaussian lines on a background, their widths free or shared.
  RegionLayout(Background background, std::size_t peak_count, bool same_width);

  Eigen::Index size() const { return size_; }
  Eigen::Index background_size() const { return background_size_; }
  std::size_t peak_count() const { return lines_.size(); }
  const Line& line(std::size_t k) const { return lines_[k]; }
  Eigen::Index amplitude(std::size_t peak) const { return lines_[peak].amplitude; }
  Eigen::Index mean(std::size_t peak) const { return lines_[peak].mean; }
  Eigen::Index sigma(std::size_t peak) const { return lines_[peak].sigma; }
  Eigen::Index tail() const { return tail_; }
  Eigen::Index tail_slope() const { return tail_slope_; }
  Eigen::Index step() const { return step_; }
  // Where one of kTailParameters is among the fitted ones; kNotFitted where it is not.
  Eigen::Index tail_parameter(ShapeParameter parameter) const {
    return parameter == ShapeParameter::tail         ? tail_
           : parameter == ShapeParameter::tail_slope ? tail_slope_
                                                     : step_;
  }
  Background background() const { return settings_.background; }
  LineShape shape() const { return settings_.shape; }
  const ShapeSettings& settings() const { return settings_; }
  std::vector<std::string> names() const;

  // The line's parameters from the region's (absolute means), its widths from wherever they
  // come; line_gradient gives the derivative of each of its parameters by the fitted ones: rows
  // ShapeGradient plus one for the mean (kShapeGradientSize).
  LineParameters line_parameters(std::size_t k, const double* parameters, double centre) const;
  // The derivatives of a line's parameters by the few fitted ones they depend on.
  struct LineGradient {
    // Amplitude, mean, sigma, gamma, eta, tail and tail slope at most.
    static constexpr int kMostFitted = 7;
    static constexpr int kRows = kShapeGradientSize + 1;
    // The indexes of those fitted parameters in the region's, one per column of by_fitted.
    Eigen::Matrix<Eigen::Index, Eigen::Dynamic, 1, 0, kMostFitted, 1> fitted;
    Eigen::Matrix<double, kRows, Eigen::Dynamic, 0, kRows, kMostFitted> by_fitted;
  };
  LineGradient line_gradient(std::size_t k, const double* parameters, double centre) const;
  // The slope of line k's resolution width by its mean; 0 unless the resolution sets it.
  double width_by_mean(std::size_t k, const double* parameters, double centre) const;

 private:
  void place_region_parameters(bool shared_sigma, bool shared_gamma);
  double fixed_or(ShapeParameter parameter, double otherwise) const;

  ShapeSettings settings_;
  std::vector<Line> lines_;
  Eigen::Index background_size_ = 0;
  Eigen::Index tail_ = kNotFitted;
  Eigen::Index tail_slope_ = kNotFitted;
  Eigen::Index step_ = kNotFitted;
  Eigen::Index shared_sigma_ = kNotFitted;
  Eigen::Index shared_gamma_ = kNotFitted;
  Eigen::Index size_ = 0;
};

// The row of a line's mean in RegionLayout::line_gradient.
constexpr Eigen::Index kMeanGradientRow = kShapeGradientSize;

// The number of coefficients of a background.
Eigen::Index coefficient_count(Background background);

// A region's background at x from its reported coefficients (absolute x).
double background_at(Background background, double b0, double b1, double b2, double x);

// The background of the result's region `index` at x, with the steps of its tailed lines: what
// the result's evaluate_background gives wherever that region is the one at x.
double region_background(const SpectrumFitResult& result, std::size_t index, double x);
// The sum of region_background at x[0, count), added in that order.
double region_background_sum(const SpectrumFitResult& result, std::size_t index, const double* x,
                             std::size_t count);

// The background at centred positions u: values into `out`; with `derivatives` (count rows,
// background_size columns, leading dimension `stride`) also their derivatives.
void evaluate_background(Background background, const double* coefficients, const double* u,
                         std::size_t count, const VectorKernels& kernels, double* out,
                         double* derivatives, std::size_t stride);

class RegionModel {
 public:
  static constexpr int kParameters = Eigen::Dynamic;

  // x_centred: the region's positions minus its centre; they must outlive the model. No line may
  // be wider than widest_sigma. A tail falls off over at least least_tail_slope: a steeper one
  // lies within one of the points and cannot be told from the line.
  RegionModel(const RegionLayout& layout, const double* x_centred, double centre,
              double widest_sigma, const VectorKernels& kernels, double least_tail_slope = 0.0);

  Eigen::Index parameter_count() const { return layout_.size(); }

  // False where a line's amplitude or width is not positive, it is wider than the widest sigma,
  // or a shape parameter leaves its domain: lines are emission lines, narrower than their
  // region. The first restriction keeps two lines of a multiplet from collapsing onto one
  // position with huge amplitudes of opposite sign; the second keeps a weak line from turning
  // into a second background.
  bool evaluate(const double* parameters, std::size_t begin, std::size_t count, double* values,
                double* jacobian) const;

  // The shape parameters whose best value may lie on the edge of their domain: tail and step
  // ratios at 0, eta at 0 or 1, a Voigt line's Lorentzian width at 0, the tail slope at the
  // least tail slope, it and that width at the widest sigma. None when no such parameter is
  // fitted.
  std::optional<Bounds<kParameters>> bounds() const;
  // Of those bounds, the ones where the shape itself ends, not a limit the fit sets: the tail
  // and step ratios and a Voigt line's Lorentzian width at 0, eta at 0 and 1 (the others are
  // infinite). A parameter on one of them describes the line there: no tail, no step, a purely
  // Gaussian or Lorentzian line.
  Bounds<kParameters> shape_edges() const;

 private:
  bool in_domain(const double* parameters) const;

  const RegionLayout& layout_;
  const double* x_;
  double centre_;
  double widest_sigma_;
  const VectorKernels& kernels_;
  double least_tail_slope_;
  // Aligned like the core's buffers: the vector kernels' last bits must not depend on where the
  // heap put their output.
  mutable AlignedBuffer scratch_;
  // Which columns a line has written in the evaluation under way.
  mutable std::vector<bool> written_columns_;
};

// The derivatives of the reported parameters (background for absolute x, absolute means) with
// respect to the fitted ones (centred x): the matrix that carries the covariance over.
Eigen::MatrixXd to_absolute_x(const RegionLayout& layout, const Eigen::VectorXd& fitted,
                              double centre);

// The reported parameters from the fitted ones.
Eigen::VectorXd absolute_parameters(const RegionLayout& layout, const Eigen::VectorXd& fitted,
                                    double centre);

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_SPECTRUM_REGION_MODEL_H
