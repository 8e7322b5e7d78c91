#include "spectrum/region_model.h"

#include <algorithm>
#include <cmath>

namespace vesk::numerics::detail {

Eigen::Index coefficient_count(Background background) {
  switch (background) {
    case Background::none:
      return 0;
    case Background::constant:
      return 1;
    case Background::linear:
    case Background::exponential:
      return 2;
    case Background::quadratic:
      return 3;
  }
  return 0;
}

RegionLayout::RegionLayout(Background background, std::size_t peak_count, bool same_width)
    : background_(background),
      peak_count_(peak_count),
      same_width_(same_width && peak_count > 0),
      background_size_(coefficient_count(background)),
      size_(background_size_ + (same_width_ ? 1 : 0) +
            static_cast<Eigen::Index>(peak_count) * (same_width_ ? 2 : 3)) {}

std::vector<std::string> RegionLayout::names() const {
  std::vector<std::string> names(static_cast<std::size_t>(size_));
  const char* const coefficient[] = {"b0", "b1", "b2"};
  for (Eigen::Index i = 0; i < background_size_; ++i)
    names[static_cast<std::size_t>(i)] = coefficient[i];
  if (same_width_) names[static_cast<std::size_t>(background_size_)] = "sigma";
  for (std::size_t k = 0; k < peak_count_; ++k) {
    const std::string suffix = "_" + std::to_string(k);
    names[static_cast<std::size_t>(amplitude(k))] = "amplitude" + suffix;
    names[static_cast<std::size_t>(mean(k))] = "mean" + suffix;
    if (!same_width_) names[static_cast<std::size_t>(sigma(k))] = "sigma" + suffix;
  }
  return names;
}

void evaluate_background(Background background, const double* coefficients, const double* u,
                         std::size_t count, const VectorKernels& kernels, double* out,
                         double* derivatives, std::size_t stride) {
  switch (background) {
    case Background::none:
      std::fill_n(out, count, 0.0);
      return;
    case Background::constant:
      std::fill_n(out, count, coefficients[0]);
      if (derivatives != nullptr) std::fill_n(derivatives, count, 1.0);
      return;
    case Background::linear:
    case Background::quadratic: {
      const double b2 = background == Background::quadratic ? coefficients[2] : 0.0;
      for (std::size_t i = 0; i < count; ++i) {
        out[i] = coefficients[0] + u[i] * (coefficients[1] + u[i] * b2);
      }
      if (derivatives == nullptr) return;
      std::fill_n(derivatives, count, 1.0);
      std::copy_n(u, count, derivatives + stride);
      if (background == Background::quadratic) {
        for (std::size_t i = 0; i < count; ++i) derivatives[2 * stride + i] = u[i] * u[i];
      }
      return;
    }
    case Background::exponential: {
      // b0 exp(-b1 u); the exponentials go where the derivative by b0 belongs.
      double* exponential = derivatives != nullptr ? derivatives : out;
      for (std::size_t i = 0; i < count; ++i) exponential[i] = -coefficients[1] * u[i];
      kernels.exp(exponential, count, exponential);
      for (std::size_t i = 0; i < count; ++i) out[i] = coefficients[0] * exponential[i];
      if (derivatives == nullptr) return;
      for (std::size_t i = 0; i < count; ++i) derivatives[stride + i] = -u[i] * out[i];
      return;
    }
  }
}

bool RegionModel::evaluate(const double* parameters, std::size_t begin, std::size_t count,
                           double* values, double* jacobian) const {
  for (std::size_t k = 0; k < layout_.peak_count(); ++k) {
    const double sigma = parameters[layout_.sigma(k)];
    if (!(parameters[layout_.amplitude(k)] > 0.0 && sigma > 0.0 && sigma <= widest_sigma_)) {
      return false;
    }
  }
  const double* u = x_ + begin;
  evaluate_background(layout_.background(), parameters, u, count, kernels_, values, jacobian,
                      count);
  const auto column = [&](Eigen::Index index) {
    return jacobian + static_cast<std::size_t>(index) * count;
  };
  if (layout_.same_width()) std::fill_n(column(layout_.sigma(0)), count, 0.0);
  for (std::size_t k = 0; k < layout_.peak_count(); ++k) {
    const double amplitude = parameters[layout_.amplitude(k)];
    const double mean = parameters[layout_.mean(k)];
    const double sigma = parameters[layout_.sigma(k)];
    const double inverse_variance = 1.0 / (sigma * sigma);
    double* shape = column(layout_.amplitude(k));
    double* by_mean = column(layout_.mean(k));
    double* by_sigma = column(layout_.sigma(k));
    kernels_.gaussian(u, count, mean, 0.5 * inverse_variance, shape);
    const double inverse_sigma = 1.0 / sigma;
    for (std::size_t i = 0; i < count; ++i) {
      const double height = amplitude * shape[i];
      const double distance = u[i] - mean;
      const double slope = height * distance * inverse_variance;
      values[i] += height;
      by_mean[i] = slope;
      // Shared widths collect every peak's derivative in one column.
      by_sigma[i] = (layout_.same_width() ? by_sigma[i] : 0.0) + slope * distance * inverse_sigma;
    }
  }
  return true;
}

Eigen::MatrixXd to_absolute_x(const RegionLayout& layout, const Eigen::VectorXd& fitted,
                              double centre) {
  Eigen::MatrixXd transform = Eigen::MatrixXd::Identity(layout.size(), layout.size());
  switch (layout.background()) {
    case Background::linear:
      transform(0, 1) = -centre;  // b0 = c0 - c1 xc
      break;
    case Background::quadratic:
      transform(0, 1) = -centre;  // b0 = c0 - c1 xc + c2 xc^2, b1 = c1 - 2 c2 xc
      transform(0, 2) = centre * centre;
      transform(1, 2) = -2.0 * centre;
      break;
    case Background::exponential: {
      // b0 = c0 exp(c1 xc), b1 = c1
      const double growth = std::exp(fitted(1) * centre);
      transform(0, 0) = growth;
      transform(0, 1) = fitted(0) * centre * growth;
      break;
    }
    case Background::none:
    case Background::constant:
      break;
  }
  return transform;
}

Eigen::VectorXd absolute_parameters(const RegionLayout& layout, const Eigen::VectorXd& fitted,
                                    double centre) {
  Eigen::VectorXd reported = fitted;
  switch (layout.background()) {
    case Background::linear:
      reported(0) = fitted(0) - fitted(1) * centre;
      break;
    case Background::quadratic:
      reported(0) = fitted(0) - fitted(1) * centre + fitted(2) * centre * centre;
      reported(1) = fitted(1) - 2.0 * fitted(2) * centre;
      break;
    case Background::exponential:
      reported(0) = fitted(0) * std::exp(fitted(1) * centre);
      break;
    case Background::none:
    case Background::constant:
      break;
  }
  for (std::size_t k = 0; k < layout.peak_count(); ++k) reported(layout.mean(k)) += centre;
  return reported;
}

}  // namespace vesk::numerics::detail
