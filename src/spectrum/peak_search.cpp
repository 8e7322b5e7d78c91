#include "spectrum/peak_search.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <utility>

#include "least_squares.h"
#include "spectrum/region_model.h"
#include "vesk/numerics/filter.h"

namespace vesk::numerics::detail {

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
// The median absolute deviation of normal noise is 0.6745 of its standard deviation; a second
// difference of white noise has six times its variance.
constexpr double kMadPerSigma = 0.6744897501960817;
constexpr double kSecondDifferenceVariance = 6.0;
// The second derivative is smoothed over about 1.5 sigma either side: wide enough to find weak
// lines, narrow enough to keep the lines of a doublet 1.2 FWHM apart apart (tuned on simulated
// gamma spectra: 1 and 2 sigma each lost more lines).
constexpr double kMatchedWidthPerSigma = 1.5;
constexpr int kWidestHalfWidth = 1 << 20;
// Widths tried when the peaks' width is unknown, as smoothing half-widths in channels.
constexpr int kTrialHalfWidths[] = {2, 3, 5, 8, 13, 21, 34};
// So many of the most significant peaks are fitted alone to measure the width.
constexpr std::size_t kWidthSamples = 7;
// A single-peak fit for the width spans this many sigma either side.
constexpr double kWidthWindowReach = 4.0;
// The width is measured again this often, with the smoothing that the last measurement calls for.
constexpr int kWidthRefinements = 1;
constexpr int kSmallestWidthWindow = 5;

double median(std::vector<double> values) {
  if (values.empty()) return kNan;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// A smoothing's filter, and whether the spectrum is long enough for it at all.
struct Smoothing {
  std::size_t width = 0;
  std::size_t taps = 0;
  arma::rowvec weights;
  arma::rowvec squared_weights;
  bool fits = false;
};

// The buffers of the second derivative sized for the spectrum and 0 where the smoothing cannot
// reach (within half_width of either end; everywhere when the spectrum is shorter than the
// filter), and the filter that fills the rest.
Smoothing prepare_derivative(const Channels& channels, int half_width, SecondDerivative& result) {
  Smoothing smoothing;
  const std::size_t n = channels.size();
  smoothing.width = static_cast<std::size_t>(half_width);
  smoothing.taps = 2 * smoothing.width + 1;
  smoothing.fits = n >= smoothing.taps;
  if (!smoothing.fits) {
    result.value.assign(n, 0.0);
    result.significance.assign(n, 0.0);
    return smoothing;
  }
  const auto edge = static_cast<std::ptrdiff_t>(smoothing.width);
  for (std::vector<double>* row : {&result.value, &result.significance}) {
    row->resize(n);
    std::fill(row->begin(), row->begin() + edge, 0.0);
    std::fill(row->end() - edge, row->end(), 0.0);
  }
  smoothing.weights = create_savitzky_golay_derivative_filter(2, half_width, half_width, 2);
  smoothing.squared_weights = arma::square(smoothing.weights);
  return smoothing;
}

// The second derivative and its significance at the smoothing's outputs [begin, end), output o
// being channel o + width. Each output is its own sum, so that pieces computed apart agree with
// the whole to the bit.
void derivative_piece(const Channels& channels, const Smoothing& smoothing, std::size_t begin,
                      std::size_t end, SecondDerivative& result) {
  // The derivative's variance goes where its significance will be, which replaces it.
  double* value = result.value.data() + smoothing.width;
  double* significance = result.significance.data() + smoothing.width;
  best_vector_kernels().correlate_pair(
      channels.y.data() + begin, smoothing.weights.memptr(), channels.variance.data() + begin,
      smoothing.squared_weights.memptr(), end - begin + smoothing.taps - 1, smoothing.taps,
      value + begin, significance + begin);
  // Where no channel of the window has any variance the derivative is 0 too, and so is the
  // significance; the kernel's floor only keeps the division defined.
  best_vector_kernels().significance(value + begin, significance + begin, end - begin,
                                     significance + begin);
}

// Channels per piece when the workers share one smoothing: a piece costs many times what
// handing it out does.
constexpr std::size_t kLeastChannelsPerPiece = 1024;

// [begin, end) of piece k of the `pieces` that divide `count` items.
std::pair<std::size_t, std::size_t> piece_range(std::size_t count, std::size_t pieces,
                                                std::size_t k) {
  return {count * k / pieces, count * (k + 1) / pieces};
}

// Smoothing the second derivative over 2m + 1 channels widens a Gaussian's sign changes, from
// sigma to sqrt(sigma^2 + k m (m + 1)) channels from its centre, with k = 0.13 to 0.2 for peaks
// as wide as the smoothing or wider (measured on noiseless peaks).
constexpr double kSmoothingWidening = 0.16;
// The narrowest width a peak can be measured to have, in channels.
constexpr double kNarrowestSigmaChannels = 0.5;

// Where the smoothed second derivative changes sign on one side of a minimum at `centre`,
// as a fractional distance in channels; `direction` is +1 or -1.
double sign_change_distance(const std::vector<double>& d2, std::size_t centre, int direction) {
  std::size_t i = centre;
  for (;;) {
    const bool at_end = direction > 0 ? i + 1 >= d2.size() : i == 0;
    if (at_end) break;
    const std::size_t next = direction > 0 ? i + 1 : i - 1;
    if (!(d2[next] < 0.0)) {
      const double fraction = d2[i] / (d2[i] - d2[next]);
      return static_cast<double>(direction > 0 ? i - centre : centre - i) + fraction;
    }
    i = next;
  }
  return static_cast<double>(direction > 0 ? i - centre : centre - i);
}

double width_in_channels(const std::vector<double>& d2, std::size_t centre, int half_width) {
  const double half_distance =
      0.5 * (sign_change_distance(d2, centre, 1) + sign_change_distance(d2, centre, -1));
  const double m = half_width;
  const double variance = half_distance * half_distance - kSmoothingWidening * m * (m + 1.0);
  return std::sqrt(std::max(variance, kNarrowestSigmaChannels * kNarrowestSigmaChannels));
}

// A parabola through three equally spaced values: where it peaks, relative to the middle one.
double vertex_offset(double left, double middle, double right) {
  const double curvature = left - 2.0 * middle + right;
  // Data near the largest doubles can overflow the derivative: such a maximum stays where it is.
  if (!(curvature < 0.0) || !std::isfinite(curvature)) return 0.0;
  return std::clamp(0.5 * (left - right) / curvature, -0.5, 0.5);
}

// Fits one peak on a linear background over channels [first, last] and returns its sigma in x
// units, or NaN when the fit fails.
double single_peak_sigma(const Channels& channels, std::size_t first, std::size_t last,
                         std::size_t peak, double sigma_guess) {
  const std::size_t count = last - first + 1;
  const double centre = channels.x[peak];
  std::vector<double> u(count);
  for (std::size_t i = 0; i < count; ++i) u[i] = channels.x[first + i] - centre;
  const RegionLayout layout(Background::linear, 1, false);
  const RegionModel model(layout, u.data(), 0.0, u.back() - u.front(), best_vector_kernels());
  const double background = std::min(channels.y[first], channels.y[last]);
  ParameterVector<Eigen::Dynamic> start(layout.size());
  start << background, 0.0, channels.y[peak] - background, 0.0, sigma_guess;
  const Observations observations{channels.y.data() + first, nullptr, count,
                                  Statistic::least_squares};
  const auto minimum = minimise(model, observations, start, {50, 1e-6});
  if (minimum.status != 0) return kNan;
  const double sigma = std::fabs(minimum.parameters(layout.sigma(0)));
  const bool plausible = std::isfinite(sigma) && sigma < std::fabs(u.back() - u.front());
  return plausible ? sigma : kNan;
}

}  // namespace

double Channels::x_at(double channel) const {
  const double last = static_cast<double>(x.size() - 1);
  const double clamped = std::clamp(channel, 0.0, last);
  const auto below = static_cast<std::size_t>(std::floor(clamped));
  if (below + 1 >= x.size()) return x.back();
  const double fraction = clamped - static_cast<double>(below);
  return x[below] + fraction * (x[below + 1] - x[below]);
}

double Channels::channel_of(double position) const {
  const auto above = std::lower_bound(x.begin(), x.end(), position);
  if (above == x.begin()) return 0.0;
  if (above == x.end()) return static_cast<double>(x.size() - 1);
  const auto index = static_cast<double>(above - x.begin());
  const double step = *above - *(above - 1);
  return step > 0.0 ? index - (*above - position) / step : index;
}

double robust_noise_variance(const std::vector<double>& y) {
  if (y.size() < 3) return kNan;
  std::vector<double> differences(y.size() - 2);
  for (std::size_t i = 1; i + 1 < y.size(); ++i)
    differences[i - 1] = y[i + 1] - 2.0 * y[i] + y[i - 1];
  const double centre = median(differences);
  for (double& d : differences) d = std::fabs(d - centre);
  const double sigma = median(differences) / kMadPerSigma;
  return sigma * sigma / kSecondDifferenceVariance;
}

std::vector<double> expected_counts(const std::vector<double>& y) {
  constexpr std::size_t kNeighbours = 2;
  const std::size_t n = y.size();
  std::vector<double> expected(n);
  const auto mean_around = [&](std::size_t i) {
    const std::size_t first = i > kNeighbours ? i - kNeighbours : 0;
    const std::size_t last = std::min(n - 1, i + kNeighbours);
    double sum = 0.0;
    for (std::size_t k = first; k <= last; ++k) sum += y[k];
    return sum / static_cast<double>(last - first + 1);
  };
  const std::size_t inner_end = n > kNeighbours ? n - kNeighbours : 0;
  for (std::size_t i = 0; i < std::min(kNeighbours, n); ++i) expected[i] = mean_around(i);
  // Inside, the same sums written out, in the same order, which the compiler vectorises.
  static_assert(kNeighbours == 2, "the sum below is written for two neighbours");
  constexpr double kWindow = 2 * kNeighbours + 1;
  for (std::size_t i = kNeighbours; i < inner_end; ++i) {
    expected[i] = ((((0.0 + y[i - 2]) + y[i - 1]) + y[i]) + y[i + 1]) + y[i + 2];
    expected[i] /= kWindow;
  }
  for (std::size_t i = std::max(kNeighbours, inner_end); i < n; ++i) expected[i] = mean_around(i);
  return expected;
}

int matched_half_width(double sigma_channels) {
  if (!std::isfinite(sigma_channels)) return 2;
  const double half_width = std::min(kMatchedWidthPerSigma * std::fabs(sigma_channels),
                                     static_cast<double>(kWidestHalfWidth));
  return std::max(static_cast<int>(std::lround(half_width)), 2);
}

double height_at(const Channels& channels, std::size_t channel, int reach) {
  const std::size_t first = channel > static_cast<std::size_t>(reach) ? channel - reach : 0;
  const std::size_t last = std::min(channels.size() - 1, channel + static_cast<std::size_t>(reach));
  const double lowest =
      *std::min_element(channels.y.begin() + static_cast<std::ptrdiff_t>(first),
                        channels.y.begin() + static_cast<std::ptrdiff_t>(last) + 1);
  return channels.y[channel] - lowest;
}

namespace {

constexpr std::size_t kScanBlock = 4;

// Whether any of the kScanBlock values from `s` on is above `threshold` (false for NaN).
bool any_above(const double* s, double threshold) {
  return (s[0] > threshold) | (s[1] > threshold) | (s[2] > threshold) | (s[3] > threshold);
}

// The maxima of the significance above `threshold` among channels [begin, end), in order.
std::vector<Candidate> maxima_of(const Channels& channels, const SecondDerivative& derivative,
                                 int half_width, double threshold, std::size_t begin,
                                 std::size_t end) {
  const double* s = derivative.significance.data();
  const std::size_t last = std::min(end, derivative.significance.size() - 1);
  std::vector<Candidate> found;
  for (std::size_t i = std::max<std::size_t>(begin, 1); i < last; ++i) {
    // Nearly every channel lies below the threshold: four at a time are passed over with one
    // test that has no branch per channel.
    while (i + kScanBlock <= last && !any_above(s + i, threshold)) i += kScanBlock;
    if (i >= last) break;
    if (!(s[i] > threshold) || s[i] < s[i - 1] || !(s[i] > s[i + 1])) continue;
    const double channel = static_cast<double>(i) + vertex_offset(s[i - 1], s[i], s[i + 1]);
    found.push_back({channel, s[i], height_at(channels, i, 3 * half_width),
                     width_in_channels(derivative.value, i, half_width)});
  }
  return found;
}

}  // namespace

std::vector<Candidate> significant_maxima(const Channels& channels, int half_width,
                                          double threshold, Workers& workers) {
  for (const SearchedSmoothing& searched : channels.searched) {
    if (searched.half_width == half_width && searched.threshold == threshold) {
      return searched.maxima;
    }
  }
  SecondDerivative& derivative = channels.derivative;
  const Smoothing smoothing = prepare_derivative(channels, half_width, derivative);
  const std::size_t pieces =
      std::clamp<std::size_t>(channels.size() / kLeastChannelsPerPiece, 1, 2 * workers.size());
  if (smoothing.fits) {
    const std::size_t outputs = channels.size() - smoothing.taps + 1;
    workers.for_each_index(pieces, [&](std::size_t k, std::size_t) {
      const auto [begin, end] = piece_range(outputs, pieces, k);
      derivative_piece(channels, smoothing, begin, end, derivative);
    });
  }
  // A maximum's width is read from the derivative on either side of it, which may lie in
  // another piece: the maxima are sought once every piece is in place.
  std::vector<std::vector<Candidate>> found(pieces);
  workers.for_each_index(pieces, [&](std::size_t k, std::size_t) {
    const auto [begin, end] = piece_range(channels.size(), pieces, k);
    found[k] = maxima_of(channels, derivative, half_width, threshold, begin, end);
  });
  std::vector<Candidate> maxima = std::move(found[0]);
  for (std::size_t k = 1; k < pieces; ++k) {
    maxima.insert(maxima.end(), found[k].begin(), found[k].end());
  }
  channels.searched.push_back({half_width, threshold, maxima});
  return maxima;
}

std::vector<Candidate> significant_maxima(const Channels& channels, int half_width,
                                          double threshold) {
  Workers alone(1);
  return significant_maxima(channels, half_width, threshold, alone);
}

namespace {

// The median sigma (x units) of single-peak fits to the most significant of the `candidates`
// found with some smoothing, shared among `workers`; each fit spans kWidthWindowReach sigma
// either side, a sigma of `sigma_channels` to start with (or the peak's own width from the
// search when that is 0).
double median_fitted_sigma(const Channels& channels, std::vector<Candidate> candidates,
                           double sigma_channels, Workers& workers) {
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) { return a.significance > b.significance; });
  if (candidates.size() > kWidthSamples) candidates.resize(kWidthSamples);
  const double spacing =
      std::fabs(channels.x.back() - channels.x.front()) / static_cast<double>(channels.size() - 1);
  std::vector<double> fitted(candidates.size(), kNan);
  workers.for_each_index(candidates.size(), [&](std::size_t k, std::size_t) {
    const Candidate& c = candidates[k];
    const auto peak = static_cast<std::size_t>(std::lround(c.channel));
    // No wider than the data, so that the window's reach stays a number of channels.
    const double width = std::min(sigma_channels > 0.0 ? sigma_channels : c.sigma_channels,
                                  static_cast<double>(channels.size()));
    const auto reach =
        std::max(kSmallestWidthWindow, static_cast<int>(std::lround(kWidthWindowReach * width)));
    const std::size_t first = peak > static_cast<std::size_t>(reach) ? peak - reach : 0;
    const std::size_t last = std::min(channels.size() - 1, peak + static_cast<std::size_t>(reach));
    const double sigma_guess =
        std::fabs(channels.x_at(static_cast<double>(peak) + width) - channels.x[peak]);
    fitted[k] = single_peak_sigma(channels, first, last, peak, sigma_guess);
  });
  std::vector<double> sigmas;
  for (double sigma : fitted) {
    // A line narrower than half a channel cannot be told from a single noisy channel.
    if (sigma >= kNarrowestSigmaChannels * spacing) sigmas.push_back(sigma);
  }
  return median(sigmas);
}

// The smoothing at which the most significant peak stands out most, and the maxima found with
// it; best_width 0 when no peak passes the threshold. The significance of a peak grows with the
// smoothing up to about 3.7 of its sigma and falls beyond: the trial widths stop once the best
// peak stands out less than at the last one. They are tried one at a time, each shared among the
// workers.
struct BestSmoothing {
  int best_width = 0;
  std::vector<Candidate> candidates;
};

BestSmoothing best_smoothing(const Channels& channels, double threshold, Workers& workers) {
  BestSmoothing best;
  double best_significance = threshold;
  for (const int width : kTrialHalfWidths) {
    std::vector<Candidate> found = significant_maxima(channels, width, threshold, workers);
    double strongest = 0.0;
    for (const Candidate& c : found) strongest = std::max(strongest, c.significance);
    if (strongest > best_significance) {
      best_significance = strongest;
      best.best_width = width;
      best.candidates = std::move(found);
    } else if (best.best_width != 0) {
      return best;
    }
  }
  return best;
}

}  // namespace

double estimate_sigma(const Channels& channels, double threshold, Workers& workers) {
  // First at the smoothing at which the most significant peak stands out most, which may merge
  // close lines; then again with the smoothing and fit windows that this width calls for.
  BestSmoothing best = best_smoothing(channels, threshold, workers);
  if (best.best_width == 0) return kNan;
  const double spacing =
      (channels.x.back() - channels.x.front()) / static_cast<double>(channels.size() - 1);
  if (!(spacing > 0.0)) return kNan;  // all points at one x: no width can be measured
  double sigma = median_fitted_sigma(channels, std::move(best.candidates), 0.0, workers);
  int half_width = best.best_width;
  for (int refinement = 0; refinement < kWidthRefinements && sigma > 0.0; ++refinement) {
    const double sigma_channels = sigma / spacing;
    // The same smoothing again would find the same peaks and fit them alike.
    if (matched_half_width(sigma_channels) == half_width) break;
    half_width = matched_half_width(sigma_channels);
    const double refined =
        median_fitted_sigma(channels, significant_maxima(channels, half_width, threshold, workers),
                            sigma_channels, workers);
    if (std::isnan(refined)) break;
    sigma = refined;
  }
  return sigma;
}

}  // namespace vesk::numerics::detail
