#include <map>
#include <utility>

#include "commands.h"
#include "data_table.h"
#include "vesk/numerics/filter.h"

namespace vesk::tools {

namespace {

struct Window {
  int left;
  int right;
  int length() const { return left + right + 1; }
};

Window requested_window(const SmoothOptions& options) {
  if (options.order < 0) throw UsageError("--order must be 0 or more");
  Window window{};
  if (options.left || options.right) {
    if (!options.left || !options.right) throw UsageError("--left and --right go together");
    if (*options.left < 0 || *options.right < 0) {
      throw UsageError("--left and --right must be 0 or more");
    }
    window = {*options.left, *options.right};
    if (options.window && *options.window != window.length()) {
      throw UsageError("--window " + std::to_string(*options.window) +
                       " differs from --left + --right + 1 = " + std::to_string(window.length()));
    }
  } else {
    if (!options.window) throw UsageError("--window (or --left and --right) is required");
    const int length = *options.window;
    if (length < 1 || length % 2 == 0) {
      throw UsageError("--window must be a positive odd number, got " + std::to_string(length));
    }
    window = {length / 2, length / 2};
  }
  if (window.length() < options.order + 1) {
    throw UsageError("window of " + std::to_string(window.length()) +
                     " samples is shorter than order + 1 = " + std::to_string(options.order + 1));
  }
  return window;
}

// The window for sample `index` of `count`: the requested one where it fits, else the same
// length shifted to stay inside the data.
Window window_at(const Window& requested, long index, long count) {
  Window window = requested;
  if (index < requested.left) {
    window.left = static_cast<int>(index);
    window.right = requested.length() - 1 - window.left;
  } else if (count - 1 - index < requested.right) {
    window.right = static_cast<int>(count - 1 - index);
    window.left = requested.length() - 1 - window.right;
  }
  return window;
}

}  // namespace

int run_smooth(const SmoothOptions& options, std::ostream& out) {
  const Window requested = requested_window(options);
  const DataTable table = read_table_file(options.input, {1, 2});
  const std::vector<double>& y = table.columns.back();
  const long count = static_cast<long>(y.size());
  if (count < requested.length()) {
    throw DataError(source_name(options.input) + ": " + std::to_string(count) +
                    " rows, fewer than the window length " + std::to_string(requested.length()));
  }
  std::map<std::pair<int, int>, arma::rowvec> weights_by_window;
  for (long index = 0; index < count; ++index) {
    const Window window = window_at(requested, index, count);
    auto [entry, added] = weights_by_window.try_emplace({window.left, window.right});
    if (added) {
      entry->second =
          numerics::create_savitzky_golay_filter(options.order, window.left, window.right);
    }
    double smoothed = 0.0;
    for (int k = 0; k < window.length(); ++k) {
      smoothed += entry->second(k) * y[static_cast<std::size_t>(index - window.left + k)];
    }
    out << exact_text(smoothed) << "\n";
  }
  return kSuccess;
}

}  // namespace vesk::tools
