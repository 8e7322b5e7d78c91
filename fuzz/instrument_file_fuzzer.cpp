// One reader of instrument files on arbitrary bytes (chosen at compile time: VESK_FUZZ_READER is
// chn, n42, cnf or uxd). It may refuse the bytes only with FormatError; what it returns must be
// consistent: one length for counts, x and channels, and finite counts.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "readers.h"

namespace {

using vesk::io::Spectrum;
namespace detail = vesk::io::detail;

std::vector<Spectrum> read(const std::string& bytes) {
#if VESK_FUZZ_READER == 1
  return detail::read_chn(bytes, "fuzz.chn");  // the dispatcher checks the magic first
#elif VESK_FUZZ_READER == 2
  return detail::read_n42(bytes, "fuzz.n42");
#elif VESK_FUZZ_READER == 3
  return detail::read_xylib(bytes, "fuzz.cnf", "canberra_cnf");
#else
  return detail::read_xylib(bytes, "fuzz.uxd", "uxd");  // xylib's text readers crash too
#endif
}

void check(const Spectrum& s) {
  if (s.x.size() != s.counts.size() || s.channels.size() != s.counts.size()) std::abort();
  for (const double count : s.counts) {
    if (!std::isfinite(count)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
#if VESK_FUZZ_READER == 1
  if (!detail::looks_like_chn(bytes)) return 0;
#endif
  try {
    for (Spectrum& spectrum : read(bytes)) {
      detail::finish(spectrum, "fuzz");
      check(spectrum);
    }
  } catch (const vesk::io::FormatError&) {
  }
  return 0;
}
