#include "spectrum/region_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "least_squares.h"
#include "vesk/numerics/peak_measures.h"

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

RegionLayout::RegionLayout(const ShapeSettings& settings, const std::vector<WidthSource>& widths)
    : settings_(settings),
      lines_(widths.size()),
      background_size_(coefficient_count(settings.background)) {
  bool shared = false;
  for (const WidthSource& width : widths) shared = shared || width.kind == WidthSource::region;
  const LineShape shape = settings.shape;
  const bool gamma_held = fixed_or(ShapeParameter::gamma, -1.0) > 0.0;
  // The resolution width is sigma, but a Lorentzian's gamma; a Voigt line's gamma is shared
  // with its sigma, and otherwise its own.
  const bool sigma_shared = shared && has_sigma(shape);
  const bool gamma_shared = shared && has_gamma(shape) && !gamma_held;
  place_region_parameters(sigma_shared, gamma_shared);
  Eigen::Index next = size_;
  for (std::size_t k = 0; k < lines_.size(); ++k) {
    Line& line = lines_[k];
    line.width = widths[k];
    line.amplitude = next++;
    line.mean = next++;
    const WidthSource::Kind kind = widths[k].kind;
    if (has_sigma(shape)) {
      if (kind == WidthSource::own) line.sigma = next++;
      if (kind == WidthSource::region) line.sigma = shared_sigma_;
    }
    if (has_gamma(shape) && !gamma_held) {
      const bool follows_sigma = shape == LineShape::lorentzian;
      if (kind == WidthSource::region) {
        line.gamma = shared_gamma_;
      } else if (kind == WidthSource::own || (!follows_sigma && kind != WidthSource::like_line)) {
        line.gamma = next++;
      }
    }
    if (has_eta(shape) && !settings.holds(ShapeParameter::eta)) {
      line.eta = next++;
    }
  }
  for (Line& line : lines_) {
    if (line.width.kind != WidthSource::like_line) continue;
    const Line& model = lines_[line.width.line];
    line.sigma = model.sigma;
    line.gamma = model.gamma;
  }
  size_ = next;
}

RegionLayout::RegionLayout(Background background, std::size_t peak_count, bool same_width)
    : RegionLayout(ShapeSettings{background, LineShape::gaussian, {}, std::nullopt},
                   std::vector<WidthSource>(
                       peak_count,
                       WidthSource{same_width ? WidthSource::region : WidthSource::own, 0, 0.0})) {}

double RegionLayout::fixed_or(ShapeParameter parameter, double otherwise) const {
  const std::optional<double>& fixed = settings_.fixed[static_cast<std::size_t>(parameter)];
  return fixed ? *fixed : otherwise;
}

void RegionLayout::place_region_parameters(bool shared_sigma, bool shared_gamma) {
  Eigen::Index next = background_size_;
  // A region without lines has no tail or step to fit.
  if (has_tail(settings_.shape) && !lines_.empty()) {
    const auto place = [&](ShapeParameter parameter, Eigen::Index& index) {
      if (!settings_.holds(parameter)) index = next++;
    };
    place(ShapeParameter::tail, tail_);
    place(ShapeParameter::tail_slope, tail_slope_);
    place(ShapeParameter::step, step_);
  }
  if (shared_sigma) shared_sigma_ = next++;
  if (shared_gamma) shared_gamma_ = next++;
  size_ = next;
}

std::vector<std::string> RegionLayout::names() const {
  std::vector<std::string> names(static_cast<std::size_t>(size_));
  const auto name = [&](Eigen::Index index, const std::string& text) {
    if (index != kNotFitted) names[static_cast<std::size_t>(index)] = text;
  };
  const char* const coefficient[] = {"b0", "b1", "b2"};
  for (Eigen::Index i = 0; i < background_size_; ++i) name(i, coefficient[i]);
  name(tail_, "tail");
  name(tail_slope_, "tail_slope");
  name(step_, "step");
  name(shared_sigma_, "sigma");
  name(shared_gamma_, "gamma");
  for (std::size_t k = 0; k < lines_.size(); ++k) {
    const std::string suffix = "_" + std::to_string(k);
    const Line& line = lines_[k];
    name(line.amplitude, "amplitude" + suffix);
    name(line.mean, "mean" + suffix);
    if (line.sigma != shared_sigma_ && line.width.kind == WidthSource::own)
      name(line.sigma, "sigma" + suffix);
    if (line.gamma != shared_gamma_ && line.width.kind != WidthSource::like_line)
      name(line.gamma, "gamma" + suffix);
    name(line.eta, "eta" + suffix);
  }
  return names;
}

namespace {

double value_at(const double* parameters, Eigen::Index index, double otherwise) {
  return index == RegionLayout::kNotFitted ? otherwise : parameters[index];
}

// The resolution width at absolute position x and its slope by x: sigma for every shape but the
// Lorentzian, whose width is gamma.
std::pair<double, double> resolution_width(LineShape shape, const Resolution& resolution,
                                           double x) {
  const double fwhm = std::sqrt(resolution.fwhm_squared(x));
  const double per_fwhm = shape == LineShape::lorentzian ? 0.5 : 1.0 / kFwhmPerSigma;
  return {per_fwhm * fwhm, per_fwhm * resolution.fwhm_squared_slope(x) / (2.0 * fwhm)};
}

// The largest tail height ratio a fit may reach. A tail steeper than its line is wide may have
// a ratio above 1 and still be a tail; one of this ratio, as steep as the points allow, is a
// second copy of the line that the data cannot tell from it, and the fit would trade the line's
// height for it without end.
constexpr double kLargestTailRatio = 10.0;

// Default shape parameters where neither fitted nor held: those of a line without them.
constexpr double kNoTailSlope = 1.0;

}  // namespace

LineParameters RegionLayout::line_parameters(std::size_t k, const double* parameters,
                                             double centre) const {
  const Line& line = lines_[k];
  LineParameters p;
  p.amplitude = parameters[line.amplitude];
  p.mean = parameters[line.mean];
  const double held_width = line.width.kind == WidthSource::held ? line.width.value : 0.0;
  p.sigma = value_at(parameters, line.sigma, held_width);
  p.gamma = value_at(parameters, line.gamma, fixed_or(ShapeParameter::gamma, held_width));
  p.eta = value_at(parameters, line.eta, fixed_or(ShapeParameter::eta, 0.0));
  p.tail = value_at(parameters, tail_, fixed_or(ShapeParameter::tail, 0.0));
  p.tail_slope =
      value_at(parameters, tail_slope_, fixed_or(ShapeParameter::tail_slope, kNoTailSlope));
  p.step = value_at(parameters, step_, fixed_or(ShapeParameter::step, 0.0));
  if (line.width.kind == WidthSource::resolution && settings_.resolution) {
    const double width =
        resolution_width(settings_.shape, *settings_.resolution, p.mean + centre).first;
    (settings_.shape == LineShape::lorentzian ? p.gamma : p.sigma) = width;
  }
  return p;
}

RegionLayout::LineGradient RegionLayout::line_gradient(std::size_t k, const double* parameters,
                                                       double centre) const {
  const Line& line = lines_[k];
  LineGradient gradient;
  gradient.fitted.resize(0);
  gradient.by_fitted.setZero(LineGradient::kRows, LineGradient::kMostFitted);
  // Adds `value` at (row, index), index a fitted parameter's or kNotFitted; a parameter that
  // several rows depend on has one column.
  const auto add = [&](Eigen::Index row, Eigen::Index index, double value) {
    if (index == kNotFitted) return;
    Eigen::Index column = 0;
    while (column < gradient.fitted.size() && gradient.fitted(column) != index) ++column;
    if (column == gradient.fitted.size()) {
      gradient.fitted.conservativeResize(column + 1);
      gradient.fitted(column) = index;
    }
    gradient.by_fitted(row, column) += value;
  };
  add(kByAmplitude, line.amplitude, 1.0);
  add(kMeanGradientRow, line.mean, 1.0);
  add(kBySigma, line.sigma, 1.0);
  add(kByGamma, line.gamma, 1.0);
  add(kByEta, line.eta, 1.0);
  add(kByTail, tail_, 1.0);
  add(kByTailSlope, tail_slope_, 1.0);
  add(settings_.shape == LineShape::lorentzian ? kByGamma : kBySigma, line.mean,
      width_by_mean(k, parameters, centre));
  gradient.by_fitted.conservativeResize(Eigen::NoChange, gradient.fitted.size());
  return gradient;
}

double RegionLayout::width_by_mean(std::size_t k, const double* parameters, double centre) const {
  const Line& line = lines_[k];
  if (line.width.kind != WidthSource::resolution || !settings_.resolution) return 0.0;
  return resolution_width(settings_.shape, *settings_.resolution, parameters[line.mean] + centre)
      .second;
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

RegionModel::RegionModel(const RegionLayout& layout, const double* x_centred, double centre,
                         double widest_sigma, const VectorKernels& kernels, double least_tail_slope)
    : layout_(layout),
      x_(x_centred),
      centre_(centre),
      widest_sigma_(widest_sigma),
      kernels_(kernels),
      least_tail_slope_(least_tail_slope),
      scratch_(kLineScratchRows * kChunk) {}

bool RegionModel::in_domain(const double* parameters) const {
  const auto within = [&](double width) { return width > 0.0 && width <= widest_sigma_; };
  for (std::size_t k = 0; k < layout_.peak_count(); ++k) {
    const RegionLayout::Line& line = layout_.line(k);
    if (!(parameters[line.amplitude] > 0.0)) return false;
    if (line.sigma != RegionLayout::kNotFitted && !within(parameters[line.sigma])) return false;
    // A Voigt line without Lorentzian width is a Gaussian; a Lorentzian needs its width.
    if (line.gamma != RegionLayout::kNotFitted &&
        !(layout_.shape() == LineShape::voigt && parameters[line.gamma] == 0.0) &&
        !within(parameters[line.gamma])) {
      return false;
    }
    if (line.eta != RegionLayout::kNotFitted &&
        !(parameters[line.eta] >= 0.0 && parameters[line.eta] <= 1.0)) {
      return false;
    }
    if (line.width.kind == WidthSource::resolution && layout_.settings().resolution &&
        !(layout_.settings().resolution->fwhm_squared(parameters[line.mean] + centre_) > 0.0)) {
      return false;
    }
  }
  const auto at_least = [&](Eigen::Index index, double least, bool strict) {
    if (index == RegionLayout::kNotFitted) return true;
    return strict ? parameters[index] > least : parameters[index] >= least;
  };
  return at_least(layout_.tail(), 0.0, false) && at_least(layout_.step(), 0.0, false) &&
         at_least(layout_.tail_slope(), 0.0, true) &&
         (layout_.tail_slope() == RegionLayout::kNotFitted ||
          parameters[layout_.tail_slope()] <= widest_sigma_);
}

Bounds<RegionModel::kParameters> RegionModel::shape_edges() const {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  Bounds<kParameters> edges{Eigen::VectorXd::Constant(layout_.size(), -kInfinity),
                            Eigen::VectorXd::Constant(layout_.size(), kInfinity)};
  const auto at_least = [&](Eigen::Index index, double lower) {
    if (index != RegionLayout::kNotFitted) edges.lower(index) = lower;
  };
  at_least(layout_.tail(), 0.0);
  at_least(layout_.step(), 0.0);
  for (std::size_t k = 0; k < layout_.peak_count(); ++k) {
    at_least(layout_.line(k).eta, 0.0);
    if (layout_.line(k).eta != RegionLayout::kNotFitted) edges.upper(layout_.line(k).eta) = 1.0;
    if (layout_.shape() == LineShape::voigt) at_least(layout_.line(k).gamma, 0.0);
  }
  return edges;
}

std::optional<Bounds<RegionModel::kParameters>> RegionModel::bounds() const {
  // The shape's own edges, and the limits that the fit sets beyond them.
  Bounds<kParameters> bounds = shape_edges();
  const auto at_most = [&](Eigen::Index index, double upper) {
    if (index != RegionLayout::kNotFitted) bounds.upper(index) = upper;
  };
  at_most(layout_.tail(), kLargestTailRatio);
  if (layout_.tail_slope() != RegionLayout::kNotFitted) {
    bounds.lower(layout_.tail_slope()) = least_tail_slope_;
    at_most(layout_.tail_slope(), widest_sigma_);
  }
  if (layout_.shape() == LineShape::voigt) {
    for (std::size_t k = 0; k < layout_.peak_count(); ++k) {
      at_most(layout_.line(k).gamma, widest_sigma_);
    }
  }
  if (bounds.lower.array().isInf().all() && bounds.upper.array().isInf().all()) {
    return std::nullopt;
  }
  return bounds;
}

bool RegionModel::evaluate(const double* parameters, std::size_t begin, std::size_t count,
                           double* values, double* jacobian) const {
  if (!in_domain(parameters)) return false;
  const double* u = x_ + begin;
  evaluate_background(layout_.background(), parameters, u, count, kernels_, values, jacobian,
                      count);
  const auto column = [&](Eigen::Index index) {
    return index == RegionLayout::kNotFitted ? nullptr
                                             : jacobian + static_cast<std::size_t>(index) * count;
  };
  // No column is zeroed first. A Gaussian line starts the mean and sigma columns that no line
  // before it wrote, and its amplitude column is its shape. A line of another shape starts all
  // its columns where no line before it wrote any of them (no tail or width shared with one), and
  // otherwise adds to them all, those that it alone writes zeroed first.
  const bool gaussian = layout_.shape() == LineShape::gaussian;
  std::vector<bool>& written = written_columns_;
  written.assign(static_cast<std::size_t>(layout_.size()), false);
  const auto first_write = [&](Eigen::Index index) {
    if (index == RegionLayout::kNotFitted) return false;
    const bool first = !written[static_cast<std::size_t>(index)];
    written[static_cast<std::size_t>(index)] = true;
    return first;
  };
  const auto zero = [&](Eigen::Index index) {
    std::fill_n(jacobian + static_cast<std::size_t>(index) * count, count, 0.0);
  };
  for (std::size_t k = 0; k < layout_.peak_count(); ++k) {
    const RegionLayout::Line& line = layout_.line(k);
    LineColumns columns;
    columns.amplitude = column(line.amplitude);
    columns.mean = column(line.mean);
    columns.sigma = column(line.sigma);
    columns.gamma = column(line.gamma);
    columns.eta = column(line.eta);
    columns.tail = column(layout_.tail());
    columns.tail_slope = column(layout_.tail_slope());
    columns.step = column(layout_.step());
    if (gaussian) {
      first_write(line.amplitude);
      columns.starts_mean = first_write(line.mean);
      columns.starts_sigma = first_write(line.sigma);
    } else {
      const Eigen::Index touched[] = {line.amplitude,       line.mean,     line.sigma,
                                      line.gamma,           line.eta,      layout_.tail(),
                                      layout_.tail_slope(), layout_.step()};
      columns.starts = std::none_of(std::begin(touched), std::end(touched), [&](Eigen::Index i) {
        return i != RegionLayout::kNotFitted && written[static_cast<std::size_t>(i)];
      });
      for (const Eigen::Index index : touched) {
        if (first_write(index) && !columns.starts) zero(index);
      }
    }
    const double width_slope = layout_.width_by_mean(k, parameters, centre_);
    (layout_.shape() == LineShape::lorentzian ? columns.gamma_by_mean : columns.sigma_by_mean) =
        width_slope;
    add_line(layout_.shape(), layout_.line_parameters(k, parameters, centre_), u, count, kernels_,
             scratch_.data(), values, columns);
  }
  // A column that no line writes (none is expected) stays a zero derivative.
  for (Eigen::Index index = layout_.background_size(); index < layout_.size(); ++index) {
    if (!written[static_cast<std::size_t>(index)]) zero(index);
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
