#include "spectrum/spectrum_channels.h"

#include <gsl/gsl_errno.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "fit_policy.h"

namespace vesk::numerics::detail {

namespace {

std::string at_point(const char* what, std::size_t index) {
  return std::string(what) + " at point " + std::to_string(index);
}

}  // namespace

PreparedChannels prepare_channels(const SpectrumData& data) {
  PreparedChannels prepared;
  const auto refuse = [&](int status, std::string text) {
    prepared.status = status;
    prepared.status_str = std::move(text);
    return prepared;
  };
  if (data.size < 3) return refuse(GSL_FAILURE, kNotEnoughDataText);
  switch (const DataFaultAt found = find_data_fault(data); found.fault) {
    case DataFault::none:
      break;
    case DataFault::missing_array:
      return refuse(GSL_EFAULT, "missing data array");
    case DataFault::non_finite_x:
      return refuse(GSL_EDOM, at_point("non-finite x", found.index));
    case DataFault::non_finite_y:
      return refuse(GSL_EDOM, at_point("non-finite y", found.index));
    case DataFault::non_finite_error:
    case DataFault::non_positive_error:
      return refuse(GSL_EDOM, at_point("error not positive and finite", found.index));
    case DataFault::negative_count:
      return refuse(GSL_EDOM, at_point("negative count", found.index));
    case DataFault::x_out_of_order:
      return refuse(GSL_EDOM, at_point("x out of order", found.index));
    case DataFault::x_constant:
      return refuse(GSL_EDOM, "every x is the same");
  }
  const bool weighted = data.statistics == Statistics::weighted;
  const bool decreasing = data.x[data.size - 1] < data.x[0];
  Channels& channels = prepared.channels;
  channels.statistics = data.statistics;
  channels.x.assign(data.x, data.x + data.size);
  channels.y.assign(data.y, data.y + data.size);
  if (weighted) channels.sigma.assign(data.sigma, data.sigma + data.size);
  if (decreasing) {
    std::reverse(channels.x.begin(), channels.x.end());
    std::reverse(channels.y.begin(), channels.y.end());
    std::reverse(channels.sigma.begin(), channels.sigma.end());
  }
  switch (data.statistics) {
    case Statistics::poisson:
      channels.variance = expected_counts(channels.y);
      break;
    case Statistics::weighted:
      channels.variance.resize(data.size);
      for (std::size_t i = 0; i < data.size; ++i) {
        channels.variance[i] = channels.sigma[i] * channels.sigma[i];
      }
      break;
    case Statistics::unweighted:
      channels.variance.assign(data.size, robust_noise_variance(channels.y));
      break;
  }
  return prepared;
}

double spacing(const Channels& channels) {
  return (channels.x.back() - channels.x.front()) / static_cast<double>(channels.size() - 1);
}

}  // namespace vesk::numerics::detail

namespace vesk::numerics {

DataFaultAt find_data_fault(const SpectrumData& data) noexcept {
  const bool weighted = data.statistics == Statistics::weighted;
  const bool counts = data.statistics == Statistics::poisson;
  if (data.size > 0 &&
      (data.x == nullptr || data.y == nullptr || (weighted && data.sigma == nullptr))) {
    return {DataFault::missing_array, 0};
  }
  for (std::size_t i = 0; i < data.size; ++i) {
    if (!std::isfinite(data.x[i])) return {DataFault::non_finite_x, i};
    if (!std::isfinite(data.y[i])) return {DataFault::non_finite_y, i};
    if (weighted && !std::isfinite(data.sigma[i])) return {DataFault::non_finite_error, i};
    if (weighted && !(data.sigma[i] > 0.0)) return {DataFault::non_positive_error, i};
    if (counts && data.y[i] < 0.0) return {DataFault::negative_count, i};
  }
  if (data.size == 0) return {};
  const bool decreasing = data.x[data.size - 1] < data.x[0];
  for (std::size_t i = 1; i < data.size; ++i) {
    if (decreasing ? data.x[i] > data.x[i - 1] : data.x[i] < data.x[i - 1]) {
      return {DataFault::x_out_of_order, i};
    }
  }
  if (data.x[0] == data.x[data.size - 1]) return {DataFault::x_constant, 0};
  return {};
}

}  // namespace vesk::numerics
