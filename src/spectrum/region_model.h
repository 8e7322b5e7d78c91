#ifndef VESK_NUMERICS_SRC_SPECTRUM_REGION_MODEL_H
#define VESK_NUMERICS_SRC_SPECTRUM_REGION_MODEL_H

// One region of a spectrum as a model for the least-squares core: a background plus Gaussian
// peaks, written in x measured from the region's centre, which keeps the background's
// coefficients of similar size and the normal equations well conditioned.

#include <Eigen/Core>

#include <cstddef>
#include <string>
#include <vector>

#include "simd/vector_kernels.h"
#include "vesk/numerics/SpectrumFitResult.h"

namespace vesk::numerics::detail {

// Where each parameter of a region sits in the parameter vector: the background's coefficients
// first, then (with a shared width) the width, then each peak's amplitude, mean and (without a
// shared width) sigma.
class RegionLayout {
 public:
  RegionLayout(Background background, std::size_t peak_count, bool same_width);

  Eigen::Index size() const { return size_; }
  Eigen::Index background_size() const { return background_size_; }
  std::size_t peak_count() const { return peak_count_; }
  Eigen::Index amplitude(std::size_t peak) const { return peak_start(peak); }
  Eigen::Index mean(std::size_t peak) const { return peak_start(peak) + 1; }
  Eigen::Index sigma(std::size_t peak) const {
    return same_width_ ? background_size_ : peak_start(peak) + 2;
  }
  Background background() const { return background_; }
  bool same_width() const { return same_width_; }
  std::vector<std::string> names() const;

 private:
  Eigen::Index peak_start(std::size_t peak) const {
    return background_size_ + (same_width_ ? 1 : 0) +
           static_cast<Eigen::Index>(peak) * (same_width_ ? 2 : 3);
  }
  Background background_;
  std::size_t peak_count_;
  bool same_width_;
  Eigen::Index background_size_;
  Eigen::Index size_;
};

// The number of coefficients of a background.
Eigen::Index coefficient_count(Background background);

// The background at centred positions u: values into `out`; with `derivatives` (count rows,
// background_size columns, leading dimension `stride`) also their derivatives.
void evaluate_background(Background background, const double* coefficients, const double* u,
                         std::size_t count, const VectorKernels& kernels, double* out,
                         double* derivatives, std::size_t stride);

class RegionModel {
 public:
  static constexpr int kParameters = Eigen::Dynamic;

  // x_centred: the region's positions minus its centre; they must outlive the model. No peak may
  // be wider than widest_sigma.
  RegionModel(const RegionLayout& layout, const double* x_centred, double widest_sigma,
              const VectorKernels& kernels)
      : layout_(layout), x_(x_centred), widest_sigma_(widest_sigma), kernels_(kernels) {}

  Eigen::Index parameter_count() const { return layout_.size(); }

  // False where a peak's amplitude or width is not positive, or it is wider than the widest
  // sigma: peaks are emission lines, narrower than their region. The first restriction keeps two
  // lines of a multiplet from collapsing onto one position with huge amplitudes of opposite
  // sign; the second keeps a weak line from turning into a second background.
  bool evaluate(const double* parameters, std::size_t begin, std::size_t count, double* values,
                double* jacobian) const;

 private:
  const RegionLayout& layout_;
  const double* x_;
  double widest_sigma_;
  const VectorKernels& kernels_;
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
