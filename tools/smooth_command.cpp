#include "commands.h"
#include "data_table.h"
#include "vesk/numerics/smoothing.h"

namespace vesk::tools {

using numerics::smooth_series;
using numerics::Window;

namespace {

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
  for (double value : smooth_series(y.data(), y.size(), options.order, requested)) {
    out << exact_text(value) << "\n";
  }
  return kSuccess;
}

}  // namespace vesk::tools
