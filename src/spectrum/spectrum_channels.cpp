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
  if (data.x == nullptr || data.y == nullptr ||
      (data.statistics == Statistics::weighted && data.sigma == nullptr)) {
    return refuse(GSL_EFAULT, "missing data array");
  }
  const bool weighted = data.statistics == Statistics::weighted;
  for (std::size_t i = 0; i < data.size; ++i) {
    if (!std::isfinite(data.x[i])) return refuse(GSL_EDOM, at_point("non-finite x", i));
    if (!std::isfinite(data.y[i])) return refuse(GSL_EDOM, at_point("non-finite y", i));
    if (weighted && !(std::isfinite(data.sigma[i]) && data.sigma[i] > 0.0)) {
      return refuse(GSL_EDOM, at_point("error not positive and finite", i));
    }
    if (data.statistics == Statistics::poisson && data.y[i] < 0.0) {
      return refuse(GSL_EDOM, at_point("negative count", i));
    }
  }
  const bool decreasing = data.x[data.size - 1] < data.x[0];
  for (std::size_t i = 1; i < data.size; ++i) {
    if (decreasing ? data.x[i] > data.x[i - 1] : data.x[i] < data.x[i - 1]) {
      return refuse(GSL_EDOM, at_point("x out of order", i));
    }
  }
  if (data.x[0] == data.x[data.size - 1]) return refuse(GSL_EDOM, "every x is the same");
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
