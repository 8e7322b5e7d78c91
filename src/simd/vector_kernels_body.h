// The body of the vector kernels, included once per instruction set by vector_kernels_*.cpp,
// each compiled with its own target flags. Eigen is renamed per instruction set (the including
// file defines `Eigen`), so that no template instantiated with wider instructions can be merged
// by the linker into code that runs on a processor without them.
#include <immintrin.h>

#include <Eigen/Core>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "simd/vector_kernels.h"

namespace vesk::numerics::detail {
namespace VESK_KERNEL_NAMESPACE {
namespace {

using ConstArray = Eigen::Map<const Eigen::ArrayXd>;
using Array = Eigen::Map<Eigen::ArrayXd>;
using ConstMatrix = Eigen::Map<const Eigen::MatrixXd>;
using Matrix = Eigen::Map<Eigen::MatrixXd>;

// As many doubles as one vector register of the instruction set holds, as the compiler's own
// vector type. A block's sums are held in such values, which stay in registers while every tap
// is added; sums in an array of doubles go back to memory at each tap, and the loop waits on the
// store.
#if defined(__AVX512F__)
constexpr std::size_t kLanes = 8;
#elif defined(__AVX__)
constexpr std::size_t kLanes = 4;
#else
constexpr std::size_t kLanes = 2;
#endif
using Lanes = double __attribute__((vector_size(kLanes * sizeof(double))));
// Eigen's exponential gives a tiny normal number where the true value is subnormal or zero;
// such values are given as 0.
constexpr double kSmallestNormal = std::numeric_limits<double>::min();

Lanes load_lanes(const double* in) {
  Lanes values;
  std::memcpy(&values, in, sizeof values);
  return values;
}

void store_lanes(Lanes values, double* out) { std::memcpy(out, &values, sizeof values); }

// The element-wise loops below are written in vectors: at -O2 the compiler leaves loops of
// unknown length scalar. Each element sees the same operations either way, to the bit.
template <typename Value>
Value normal_or_zero(Value value) {
  return value < kSmallestNormal ? Value{} : value;
}

void exp(const double* in, std::size_t count, double* out) {
  const auto n = static_cast<Eigen::Index>(count);
  Array(out, n) = ConstArray(in, n).exp();
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes)
    store_lanes(normal_or_zero(load_lanes(out + i)), out + i);
  for (; i < count; ++i) out[i] = normal_or_zero(out[i]);
}

template <typename Value>
Value gaussian_exponent(Value x, double centre, double half_inverse_variance) {
  const Value distance = x - centre;
  return -(distance * distance) * half_inverse_variance;
}

void gaussian(const double* x, std::size_t count, double centre, double half_inverse_variance,
              double* out) {
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    store_lanes(gaussian_exponent(load_lanes(x + i), centre, half_inverse_variance), out + i);
  }
  for (; i < count; ++i) out[i] = gaussian_exponent(x[i], centre, half_inverse_variance);
  exp(out, count, out);
}

// Outputs are summed in blocks of this many vectors.
constexpr std::size_t kCorrelationVectors = 4;
constexpr std::size_t kCorrelationBlock = kLanes * kCorrelationVectors;

// Adds weight * in[0, kLanes) to sums.
void add_lanes(double weight, const double* in, Lanes& sums) {
  Lanes values;
  std::memcpy(&values, in, sizeof values);
  sums += weight * values;
}

// Every output is its own sum over the taps in tap order, as in the scalar loop below, so that
// the blocks and the tail agree to the bit.
void correlate_pair(const double* in_a, const double* weights_a, const double* in_b,
                    const double* weights_b, std::size_t count, std::size_t taps, double* out_a,
                    double* out_b) {
  const std::size_t outputs = count - taps + 1;
  std::size_t first = 0;
  for (; first + kCorrelationBlock <= outputs; first += kCorrelationBlock) {
    Lanes sums_a[kCorrelationVectors] = {};
    Lanes sums_b[kCorrelationVectors] = {};
    for (std::size_t k = 0; k < taps; ++k) {
      const double w_a = weights_a[k];
      const double w_b = weights_b[k];
      const double* shifted_a = in_a + first + k;
      const double* shifted_b = in_b + first + k;
#pragma GCC unroll 4
      for (std::size_t v = 0; v < kCorrelationVectors; ++v) {
        add_lanes(w_a, shifted_a + v * kLanes, sums_a[v]);
        add_lanes(w_b, shifted_b + v * kLanes, sums_b[v]);
      }
    }
    std::memcpy(out_a + first, sums_a, sizeof sums_a);
    std::memcpy(out_b + first, sums_b, sizeof sums_b);
  }
  for (std::size_t i = first; i < outputs; ++i) {
    double sum_a = 0.0;
    double sum_b = 0.0;
    for (std::size_t k = 0; k < taps; ++k) {
      sum_a += weights_a[k] * in_a[i + k];
      sum_b += weights_b[k] * in_b[i + k];
    }
    out_a[i] = sum_a;
    out_b[i] = sum_b;
  }
}

void log(const double* in, std::size_t count, double* out) {
  const auto n = static_cast<Eigen::Index>(count);
  Array(out, n) = ConstArray(in, n).log();
}

// One point's Poisson parts, for a single value or a vector of them with the same operations in
// the same order, so that every instruction set gives the same bits. Division and the
// comparisons round alike everywhere, and no product here feeds a sum that could be fused.
template <typename Value>
Value count_ratio(Value y, Value f) {
  return y > 0.0 ? y / f : Value{} + 1.0;
}

template <typename Value>
void count_weights(Value y, Value f, Value ratio, Value& a, Value& b) {
  a = y > 0.0 ? 1.0 - ratio : Value{} + 1.0;
  b = f > 0.0 ? 1.0 / f : Value{};
}

template <typename Value>
Value count_term(Value y, Value f, Value logarithm) {
  const Value y_log = y > 0.0 ? y * logarithm : Value{};
  return 2.0 * (f - y + y_log);
}

// No count can come from a model value below zero, nor a count above zero from zero.
template <typename Value>
auto outside_counts(Value y, Value f) {
  return !(f > 0.0 || (f == 0.0 && y == 0.0));
}

bool poisson_terms(const double* y, const double* f, std::size_t count, double* ratio,
                   double* logarithm, double* terms, double* a, double* b) {
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    const Lanes y_i = load_lanes(y + i);
    const Lanes f_i = load_lanes(f + i);
    const auto outside = outside_counts(y_i, f_i);
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      if (outside[lane]) return false;
    }
    store_lanes(count_ratio(y_i, f_i), ratio + i);
  }
  for (; i < count; ++i) {
    if (outside_counts(y[i], f[i])) return false;
    ratio[i] = count_ratio(y[i], f[i]);
  }
  log(ratio, count, logarithm);
  for (i = 0; i + kLanes <= count; i += kLanes) {
    const Lanes y_i = load_lanes(y + i);
    const Lanes f_i = load_lanes(f + i);
    Lanes a_i;
    Lanes b_i;
    store_lanes(count_term(y_i, f_i, load_lanes(logarithm + i)), terms + i);
    count_weights(y_i, f_i, load_lanes(ratio + i), a_i, b_i);
    store_lanes(a_i, a + i);
    store_lanes(b_i, b + i);
  }
  for (; i < count; ++i) {
    terms[i] = count_term(y[i], f[i], logarithm[i]);
    count_weights(y[i], f[i], ratio[i], a[i], b[i]);
  }
  return true;
}

Lanes square_root(Lanes values) {
#if defined(__AVX512F__)
  return _mm512_sqrt_pd(values);
#elif defined(__AVX__)
  return _mm256_sqrt_pd(values);
#else
  return _mm_sqrt_pd(values);
#endif
}

double square_root(double value) { return std::sqrt(value); }

// -value / sqrt(variance), the variance at least the smallest normal double. Square root and
// division are correctly rounded in every instruction set.
template <typename Value>
Value scaled_by_deviation(Value value, Value variance) {
  const Value floor = Value{} + kSmallestNormal;
  return -value / square_root(variance < kSmallestNormal ? floor : variance);
}

void significance(const double* value, const double* variance, std::size_t count, double* out) {
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    store_lanes(scaled_by_deviation(load_lanes(value + i), load_lanes(variance + i)), out + i);
  }
  for (; i < count; ++i) out[i] = scaled_by_deviation(value[i], variance[i]);
}

// (1 + 2x) erfcx(x) as a Chebyshev series in t = (x - kErfcxScale) / (x + kErfcxScale), which maps
// [0, inf] onto [-1, 1]; printed by scripts/erfcx-chebyshev, which says how and how well.
constexpr double kErfcxChebyshev[] = {
    1.1774832005374487,      -7.2607966203019005e-3,  -8.1265123236184998e-2,
    6.009212804122225e-2,    -2.875393558027666e-2,   1.059566336347286e-2,
    -3.1369272945542642e-3,  7.456494372536184e-4,    -1.3696965030100541e-4,
    1.7183861600300937e-5,   -7.1583646234503469e-7,  -2.4261399442449532e-7,
    5.5765709395703564e-8,   -2.1057869513809495e-9,  -1.1717889351884957e-9,
    1.9098355172456688e-10,  1.408871764208813e-11,   -6.901108320480815e-12,
    9.1679583641112933e-14,  2.1454508286554553e-13,  -1.4716575027010624e-14,
    -6.6686751187704079e-15, 7.504598509880083e-16,   2.22009300666632e-16,
    -3.1704898956330888e-17, -8.1935703098843316e-18,
};
constexpr double kErfcxScale = 4.0;
// Beyond this the series' variable is 1 to the last bit; at +inf it would be NaN.
constexpr double kErfcxLargest = 1e300;

// Clenshaw's recurrence for one value or a vector of them, the same operations either way. The
// series over 1 + 2x is its half over x + 1/2, which does not overflow for the largest doubles.
template <typename Value>
Value erfcx_series(Value x) {
  const Value largest = Value{} + kErfcxLargest;
  const Value bounded = x > largest ? largest : x;
  const Value t = (bounded - kErfcxScale) / (bounded + kErfcxScale);
  const Value twice_t = t + t;
  Value b1{};
  Value b2{};
  constexpr std::size_t kTerms = sizeof kErfcxChebyshev / sizeof kErfcxChebyshev[0];
  for (std::size_t n = kTerms - 1; n > 0; --n) {
    const Value b0 = twice_t * b1 - b2 + kErfcxChebyshev[n];
    b2 = b1;
    b1 = b0;
  }
  return 0.5 * (t * b1 - b2 + kErfcxChebyshev[0]) / (x + 0.5);
}

void erfcx(const double* in, std::size_t count, double* out) {
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    Lanes x;
    std::memcpy(&x, in + i, sizeof x);
    const Lanes value = erfcx_series(x);
    std::memcpy(out + i, &value, sizeof value);
  }
  for (; i < count; ++i) out[i] = erfcx_series(in[i]);
}

// J^T W J is symmetric: the upper triangle is the lower one's mirror.
void mirror_lower_triangle(double* normal, std::size_t parameters) {
  for (std::size_t column = 1; column < parameters; ++column) {
    for (std::size_t row = 0; row < column; ++row) {
      normal[column * parameters + row] = normal[row * parameters + column];
    }
  }
}

// a * b + c, in one rounding where the instruction set has it.
Lanes multiply_add(Lanes a, Lanes b, Lanes c) {
#if defined(__AVX512F__)
  return _mm512_fmadd_pd(a, b, c);
#elif defined(__FMA__)
  return _mm256_fmadd_pd(a, b, c);
#else
  return a * b + c;
#endif
}

// W J in scratch, or J itself when all weights are 1 (null w).
const double* weighted_jacobian(const double* jacobian, std::size_t count, std::size_t parameters,
                                const double* w, double* scratch) {
  if (w == nullptr) return jacobian;
  const auto n = static_cast<Eigen::Index>(count);
  const auto p = static_cast<Eigen::Index>(parameters);
  Matrix(scratch, n, p).array() = ConstMatrix(jacobian, n, p).array().colwise() * ConstArray(w, n);
  return scratch;
}

// With few parameters J^T W J is a handful of dot products along the chunk, which beats packing
// the chunk for a matrix product; with many, the matrix product wins.
constexpr std::size_t kLargestDotProductSystem = 16;

double dot(const double* a, const double* b, std::size_t count) {
  const auto n = static_cast<Eigen::Index>(count);
  return Eigen::Map<const Eigen::VectorXd>(a, n).dot(Eigen::Map<const Eigen::VectorXd>(b, n));
}

#if !defined(__AVX512F__)
// The normal equations of the fits of Gaussian lines have always been summed by Eigen's dot
// product, whose order of additions their results keep to the bit. Eigen reduces a dot product
// of more than one vector of points in two vector sums over alternate vectors, fused into
// multiply-adds where the processor has them, adds the two, then a last whole vector, folds the
// vector's halves, and adds the remaining points one by one. The dots below share one right-hand
// column and so read it once for several left-hand ones, which Eigen's one dot at a time cannot.

// a * b + c as Eigen's dot product rounds it: in one rounding where the processor fuses them.
double scalar_multiply_add(double a, double b, double c) {
#if defined(__FMA__)
  return __builtin_fma(a, b, c);
#else
  return a * b + c;
#endif
}

// The vector's lanes summed as Eigen folds them: the upper half onto the lower, then the pair.
double folded_sum(Lanes values) {
#if defined(__AVX__)
  return (values[0] + values[2]) + (values[1] + values[3]);
#else
  return values[0] + values[1];
#endif
}

// The right-hand column's values at [k, k + kLanes): right times the weights, rounded as the
// weighted column that Eigen's dot products were given, or right itself without weights.
Lanes right_lanes(const double* right, const double* weights, std::size_t k) {
  const Lanes values = load_lanes(right + k);
  return weights != nullptr ? values * load_lanes(weights + k) : values;
}

double right_value(const double* right, const double* weights, std::size_t k) {
  return weights != nullptr ? right[k] * weights[k] : right[k];
}

// out[i] += dot(left + i * count, right * weights) for Count consecutive left-hand columns of
// `count` points, each dot to the bits of Eigen's; null weights stand for all ones.
template <std::size_t Count>
void add_shared_dots(const double* left, const double* right, const double* weights,
                     std::size_t count, double* out) {
  const auto column = [&](std::size_t i) { return left + i * count; };
  const std::size_t whole = count - count % kLanes;
  if (whole == 0) {
    for (std::size_t i = 0; i < Count; ++i) {
      double sum = column(i)[0] * right_value(right, weights, 0);
      for (std::size_t k = 1; k < count; ++k) {
        sum = scalar_multiply_add(column(i)[k], right_value(right, weights, k), sum);
      }
      out[i] += sum;
    }
    return;
  }
  const std::size_t pairs_end = count - count % (2 * kLanes);
  Lanes first[Count];
  Lanes right_first = right_lanes(right, weights, 0);
#pragma GCC unroll 8
  for (std::size_t i = 0; i < Count; ++i) first[i] = load_lanes(column(i)) * right_first;
  if (whole > kLanes) {
    Lanes second[Count];
    Lanes right_second = right_lanes(right, weights, kLanes);
#pragma GCC unroll 8
    for (std::size_t i = 0; i < Count; ++i) {
      second[i] = load_lanes(column(i) + kLanes) * right_second;
    }
    for (std::size_t k = 2 * kLanes; k < pairs_end; k += 2 * kLanes) {
      right_first = right_lanes(right, weights, k);
      right_second = right_lanes(right, weights, k + kLanes);
#pragma GCC unroll 8
      for (std::size_t i = 0; i < Count; ++i) {
        first[i] = multiply_add(load_lanes(column(i) + k), right_first, first[i]);
        second[i] = multiply_add(load_lanes(column(i) + k + kLanes), right_second, second[i]);
      }
    }
#pragma GCC unroll 8
    for (std::size_t i = 0; i < Count; ++i) first[i] += second[i];
    if (whole > pairs_end) {
      right_first = right_lanes(right, weights, pairs_end);
#pragma GCC unroll 8
      for (std::size_t i = 0; i < Count; ++i) {
        first[i] = multiply_add(load_lanes(column(i) + pairs_end), right_first, first[i]);
      }
    }
  }
  for (std::size_t i = 0; i < Count; ++i) {
    double sum = folded_sum(first[i]);
    for (std::size_t k = whole; k < count; ++k) {
      sum = scalar_multiply_add(column(i)[k], right_value(right, weights, k), sum);
    }
    out[i] += sum;
  }
}

// As many left-hand columns as share a right-hand one at a time: their sums stay in registers.
constexpr std::size_t kSharedDots = 4;

// out[i] += dot(left + i * count, right * weights) for `columns` consecutive left-hand columns.
void add_dots_sharing(const double* left, std::size_t columns, const double* right,
                      const double* weights, std::size_t count, double* out) {
  std::size_t i = 0;
  for (; i + kSharedDots <= columns; i += kSharedDots) {
    add_shared_dots<kSharedDots>(left + i * count, right, weights, count, out + i);
  }
  switch (columns - i) {
    case 3:
      return add_shared_dots<3>(left + i * count, right, weights, count, out + i);
    case 2:
      return add_shared_dots<2>(left + i * count, right, weights, count, out + i);
    case 1:
      return add_shared_dots<1>(left + i * count, right, weights, count, out + i);
    default:
      return;
  }
}

// The lower triangle of J^T W J, column by column, and J^T a, by dots that share their
// right-hand column, weighted as it is read.
void add_dot_products(const double* jacobian, const double* w, const double* a, std::size_t count,
                      std::size_t parameters, double* normal, double* gradient, double*) {
  for (std::size_t column = 0; column < parameters; ++column) {
    add_dots_sharing(jacobian + column * count, parameters - column, jacobian + column * count, w,
                     count, normal + column * parameters + column);
  }
  add_dots_sharing(jacobian, parameters, a, nullptr, count, gradient);
}
#else
// With AVX-512, Eigen's own dot products, one at a time, of J and the weighted J.
void add_dot_products(const double* jacobian, const double* w, const double* a, std::size_t count,
                      std::size_t parameters, double* normal, double* gradient, double* scratch) {
  const double* right = weighted_jacobian(jacobian, count, parameters, w, scratch);
  for (std::size_t column = 0; column < parameters; ++column) {
    for (std::size_t row = column; row < parameters; ++row) {
      normal[column * parameters + row] +=
          dot(jacobian + row * count, right + column * count, count);
    }
    gradient[column] += dot(jacobian + column * count, a, count);
  }
}
#endif

void accumulate(const double* jacobian, std::size_t count, std::size_t parameters, const double* w,
                const double* a, double* scratch, double* normal, double* gradient) {
  if (parameters <= kLargestDotProductSystem) {
    add_dot_products(jacobian, w, a, count, parameters, normal, gradient, scratch);
  } else {
    const auto n = static_cast<Eigen::Index>(count);
    const auto p = static_cast<Eigen::Index>(parameters);
    const ConstMatrix j(jacobian, n, p);
    const double* right = weighted_jacobian(jacobian, count, parameters, w, scratch);
    // The lower triangle alone, by the same blocks of the same kernel as the full product and so
    // to the same bits, with a little over half its arithmetic.
    Matrix(normal, p, p).triangularView<Eigen::Lower>() += j.transpose() * ConstMatrix(right, n, p);
    Eigen::Map<Eigen::VectorXd>(gradient, p).noalias() +=
        j.transpose() * Eigen::Map<const Eigen::VectorXd>(a, n);
  }
  mirror_lower_triangle(normal, parameters);
}

// J^T W J by register tiles: kTileRows x kTileColumns of its sums held in vector registers
// while the points stream past, read straight from J's columns. Eigen's matrix product first
// packs the chunk into panels, which at the sizes of a region's normal equations costs as much as
// the arithmetic.
constexpr std::size_t kTileRows = 4;
constexpr std::size_t kTileColumns = 3;

double sum_of_lanes(Lanes values) {
  double sum = 0.0;
  for (std::size_t i = 0; i < kLanes; ++i) sum += values[i];
  return sum;
}

// The lower-triangle entries (row + i, column + j), i < Rows, j < Columns, of normal += L^T R,
// for the column-major parameters x parameters normal and L and R of `count` rows.
template <std::size_t Rows, std::size_t Columns>
void add_tile(const double* left, const double* right, std::size_t count, std::size_t parameters,
              std::size_t row, std::size_t column, double* normal) {
  Lanes sums[Rows][Columns] = {};
  const std::size_t whole = count - count % kLanes;
  for (std::size_t k = 0; k < whole; k += kLanes) {
    Lanes by_column[Columns];
#pragma GCC unroll 4
    for (std::size_t j = 0; j < Columns; ++j) {
      by_column[j] = load_lanes(right + (column + j) * count + k);
    }
#pragma GCC unroll 4
    for (std::size_t i = 0; i < Rows; ++i) {
      const Lanes by_row = load_lanes(left + (row + i) * count + k);
#pragma GCC unroll 4
      for (std::size_t j = 0; j < Columns; ++j) {
        sums[i][j] = multiply_add(by_row, by_column[j], sums[i][j]);
      }
    }
  }
#pragma GCC unroll 4
  for (std::size_t i = 0; i < Rows; ++i) {
#pragma GCC unroll 4
    for (std::size_t j = 0; j < Columns; ++j) {
      if (row + i < column + j) continue;
      double sum = sum_of_lanes(sums[i][j]);
      for (std::size_t k = whole; k < count; ++k) {
        sum += left[(row + i) * count + k] * right[(column + j) * count + k];
      }
      normal[(column + j) * parameters + row + i] += sum;
    }
  }
}

template <std::size_t Columns>
void add_tile_of(std::size_t rows, const double* left, const double* right, std::size_t count,
                 std::size_t parameters, std::size_t row, std::size_t column, double* normal) {
  switch (rows) {
    case 1:
      return add_tile<1, Columns>(left, right, count, parameters, row, column, normal);
    case 2:
      return add_tile<2, Columns>(left, right, count, parameters, row, column, normal);
    case 3:
      return add_tile<3, Columns>(left, right, count, parameters, row, column, normal);
    default:
      return add_tile<kTileRows, Columns>(left, right, count, parameters, row, column, normal);
  }
}

void accumulate_tiled(const double* jacobian, std::size_t count, std::size_t parameters,
                      const double* w, const double* a, double* scratch, double* normal,
                      double* gradient) {
  const double* right = weighted_jacobian(jacobian, count, parameters, w, scratch);
  for (std::size_t column = 0; column < parameters; column += kTileColumns) {
    const std::size_t columns = std::min(kTileColumns, parameters - column);
    for (std::size_t row = column; row < parameters; row += kTileRows) {
      const std::size_t rows = std::min(kTileRows, parameters - row);
      if (columns == kTileColumns) {
        add_tile_of<kTileColumns>(rows, jacobian, right, count, parameters, row, column, normal);
      } else if (columns == 2) {
        add_tile_of<2>(rows, jacobian, right, count, parameters, row, column, normal);
      } else {
        add_tile_of<1>(rows, jacobian, right, count, parameters, row, column, normal);
      }
    }
  }
  // J^T a: the tiles of one column, a, whose entries (row + i, 0) are gradient[row + i].
  for (std::size_t row = 0; row < parameters; row += kTileRows) {
    add_tile_of<1>(std::min(kTileRows, parameters - row), jacobian, a, count, parameters, row, 0,
                   gradient);
  }
  mirror_lower_triangle(normal, parameters);
}

}  // namespace

extern const VectorKernels kernels;
const VectorKernels kernels{InstructionSet::VESK_KERNEL_NAMESPACE,
                            &gaussian,
                            &exp,
                            &correlate_pair,
                            &log,
                            &poisson_terms,
                            &significance,
                            &erfcx,
                            &dot,
                            &accumulate,
                            &accumulate_tiled};

}  // namespace VESK_KERNEL_NAMESPACE
}  // namespace vesk::numerics::detail
