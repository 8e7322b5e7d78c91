// The formats of xylib (Canberra CNF and MCA, PANalytical xrdml, Bruker raw and UXD, ...), read
// by xylib itself. Each block of a file is one spectrum: x from its first column, counts from its
// second, the metadata of file and block, times and calibration where xylib reports them.
//
// xylib keeps format tables that are only read, but also function-local statics of Boost (the
// object ids of Spirit grammars) and a cache singleton; the calls used here avoid the cache, and a
// mutex keeps any two of them from running at once, so that reading stays safe in every thread.
// Its readers run in a process of their own (see load_isolated).
#include <xylib/xylib.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "readers.h"

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>  // RUNNING_ON_VALGRIND: the reading process's time
#endif

// Sanitizers reserve far more address space than a limit on memory would leave them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VESK_IO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VESK_IO_SANITIZED 1
#endif
#endif

namespace vesk::io::detail {

namespace {

std::mutex& xylib_mutex() {
  static std::mutex mutex;
  return mutex;
}

// xylib's formats in the order they are tried: those whose checks are distinctive (magic bytes,
// a root element) first; then those whose checks accept much, tried only where the file's
// extension names them. Not tried at all: "text" and "csv" (text columns are read here) and
// "bruker_spc", whose check takes ORTEC .Spc files (a different format) for its own.
constexpr const char* kDistinctive[] = {"canberra_cnf", "canberra_mca", "bruker_raw",  "uxd",
                                        "xrdml",        "philips_rd",   "philips_udf", "vamas",
                                        "pdcif",        "rigaku_dat",   "cpi",         "specsxy",
                                        "xfit_xdd",     "spectra",      "xsyg"};
constexpr const char* kByExtension[] = {"spe", "dbws", "riet7", "chiplot"};

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool has_extension(const xylib::FormatInfo& format, const std::string& path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string extension = lower(path.substr(dot + 1));
  std::istringstream extensions(format.exts);
  std::string candidate;
  while (extensions >> candidate) {
    if (candidate == extension) return true;
  }
  return false;
}

bool passes_check(const xylib::FormatInfo& format, const std::string& bytes) {
  std::istringstream input(bytes);
  try {
    return xylib::check_format(&format, input, nullptr);
  } catch (const std::exception&) {
    return false;
  }
}

std::map<std::string, std::string> metadata_of(const xylib::MetaData& meta) {
  std::map<std::string, std::string> values;
  for (std::size_t i = 0; i < meta.size(); ++i) {
    const std::string& key = meta.get_key(i);
    values[key] = meta.get(key);
  }
  return values;
}

double seconds_of(const std::map<std::string, std::string>& meta, const char* key) {
  const auto found = meta.find(key);
  return found == meta.end() ? std::nan("") : number_or_nan(found->second);
}

// Canberra: "Thu, 2011-09-08 08:04:38"; Bruker raw: MEASURE_DATE "MM/DD/YY", MEASURE_TIME.
std::string start_time_of(const std::map<std::string, std::string>& meta) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (const auto found = meta.find("date and time"); found != meta.end()) {
    const std::size_t comma = found->second.find(',');
    const std::string text = found->second.substr(comma == std::string::npos ? 0 : comma + 1);
    if (std::sscanf(text.c_str(), " %d-%d-%d %d:%d:%d", &year, &month, &day, &hour, &minute,
                    &second) == 6) {
      return iso_time(year, month, day, hour, minute, second);
    }
  }
  const auto date = meta.find("MEASURE_DATE");
  const auto time = meta.find("MEASURE_TIME");
  if (date != meta.end() && time != meta.end()) {
    return month_day_year_time(date->second + " " + time->second);
  }
  return "";
}

std::vector<double> calibration_of(const std::map<std::string, std::string>& meta) {
  std::vector<double> terms;
  for (int k = 0;; ++k) {
    const auto found = meta.find("energy calib " + std::to_string(k));
    if (found == meta.end()) return terms;
    terms.push_back(number_or_nan(found->second));
  }
}

// What xylib read: the file's metadata and each block's name, metadata and first two columns.
struct LoadedBlock {
  std::string name;
  std::map<std::string, std::string> meta;
  std::vector<double> x, y;
};
struct Loaded {
  std::string description;  // the format's name as xylib gives it
  std::map<std::string, std::string> meta;
  std::vector<LoadedBlock> blocks;
};

// Whether xylib holds one block twice, as it does for a Bruker UXD range with a second
// _2THETACOUNTS.
bool holds_a_block_twice(const xylib::DataSet& data) {
  std::set<const xylib::Block*> blocks;
  for (int b = 0; b < data.get_block_count(); ++b) {
    if (!blocks.insert(data.get_block(b)).second) return true;
  }
  return false;
}

// Runs xylib's reader @p format on the bytes. The reader is made and run here rather than by
// xylib::load_string, which leaks the data set of a file that fails to load.
// @throws std::exception for anything xylib refuses.
Loaded load(const std::string& bytes, const std::string& format) {
  const auto* info =
      static_cast<const xylib::FormatInfo*>(xylib_get_format_by_name(format.c_str()));
  if (info == nullptr) throw std::runtime_error("xylib has no format " + format);
  std::unique_ptr<xylib::DataSet> data(info->ctor());
  std::istringstream input(bytes);
  data->load_data(input, nullptr);  // no path: nothing is read from beside the file
  if (holds_a_block_twice(*data)) {
    // Destroyed, it would delete that block twice: it is left to the reading process's end.
    data.release();
    throw std::runtime_error("damaged file: xylib read one range as two blocks");
  }
  Loaded loaded{info->desc, metadata_of(data->meta), {}};
  for (int b = 0; b < data->get_block_count(); ++b) {
    const xylib::Block& block = *data->get_block(b);
    const int points = block.get_point_count();
    if (block.get_column_count() < 2) throw std::runtime_error("a block without two columns");
    if (points <= 0 || static_cast<std::size_t>(points) > kMaxChannels) {
      throw std::runtime_error("a block of " + std::to_string(points) + " points");
    }
    LoadedBlock loaded_block{block.get_name(), metadata_of(block.meta), {}, {}};
    for (int i = 0; i < points; ++i) {
      loaded_block.x.push_back(block.get_column(1).get_value(i));
      loaded_block.y.push_back(block.get_column(2).get_value(i));
    }
    loaded.blocks.push_back(std::move(loaded_block));
  }
  return loaded;
}

// The messages between the reading process and its parent: sizes, then bytes.
void put_size(std::string& out, std::size_t size) {
  out.append(reinterpret_cast<const char*>(&size), sizeof size);
}
void put_text(std::string& out, const std::string& text) {
  put_size(out, text.size());
  out += text;
}
void put_meta(std::string& out, const std::map<std::string, std::string>& meta) {
  put_size(out, meta.size());
  for (const auto& [key, value] : meta) {
    put_text(out, key);
    put_text(out, value);
  }
}
void put_numbers(std::string& out, const std::vector<double>& values) {
  put_size(out, values.size());
  out.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double));
}

std::string serialised(const Loaded& loaded) {
  std::string out;
  put_text(out, loaded.description);
  put_meta(out, loaded.meta);
  put_size(out, loaded.blocks.size());
  for (const LoadedBlock& block : loaded.blocks) {
    put_text(out, block.name);
    put_meta(out, block.meta);
    put_numbers(out, block.x);
    put_numbers(out, block.y);
  }
  return out;
}

class Message {
 public:
  explicit Message(const std::string& bytes) : bytes_(bytes) {}
  std::size_t size() {
    std::size_t value = 0;
    take(&value, sizeof value);
    return value;
  }
  std::string text() {
    const std::size_t length = size();
    check(length);
    std::string value = bytes_.substr(at_, length);
    at_ += length;
    return value;
  }
  std::map<std::string, std::string> meta() {
    std::map<std::string, std::string> values;
    for (std::size_t n = size(); n > 0; --n) {
      std::string key = text();
      values[key] = text();
    }
    return values;
  }
  std::vector<double> numbers() {
    const std::size_t count = size();
    if (count > kMaxChannels) throw std::runtime_error("too many points");
    std::vector<double> values(count);
    take(values.data(), count * sizeof(double));
    return values;
  }

 private:
  void check(std::size_t length) const {
    if (length > bytes_.size() - at_) throw std::runtime_error("a short message from the reader");
  }
  void take(void* to, std::size_t length) {
    check(length);
    std::memcpy(to, bytes_.data() + at_, length);
    at_ += length;
  }
  const std::string& bytes_;
  std::size_t at_ = 0;
};

Loaded deserialised(const std::string& bytes) {
  Message message(bytes);
  Loaded loaded{message.text(), message.meta(), {}};
  for (std::size_t n = message.size(); n > 0; --n) {
    LoadedBlock block;
    block.name = message.text();
    block.meta = message.meta();
    block.x = message.numbers();
    block.y = message.numbers();
    if (block.x.size() != block.y.size()) throw std::runtime_error("columns of unequal length");
    loaded.blocks.push_back(std::move(block));
  }
  return loaded;
}

void write_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written <= 0 && errno != EINTR) return;
    if (written > 0) done += static_cast<std::size_t>(written);
  }
}

#ifndef VESK_IO_SANITIZED
// The child may grow by this much beyond the address space it inherits, whatever a damaged file
// claims: far more than any real file needs, and with what it shares of its parent well under the
// 200 MB that reading any file may take.
constexpr std::size_t kChildHeadroomBytes = std::size_t{128} << 20;

void limit_memory() {
  std::size_t pages = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%zu", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  if (pages == 0) return;
  const auto bytes = static_cast<rlim_t>(pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) +
                                         kChildHeadroomBytes);
  const rlimit limit{bytes, bytes};
  ::setrlimit(RLIMIT_AS, &limit);
}
#endif

// How long the reading process may take. Real files take milliseconds; a reader that loops on a
// damaged one is stopped well within the second that reading any file may take, unless the code
// runs instrumented (many times slower).
long child_microseconds() {
  constexpr long kChildMicroseconds = 600000;
#ifdef RUNNING_ON_VALGRIND
  constexpr long kValgrindSlowdown = 50;
  if (RUNNING_ON_VALGRIND) return kChildMicroseconds * kValgrindSlowdown;
#endif
#ifdef VESK_IO_SANITIZED
  constexpr long kSanitizerSlowdown = 10;
  return kChildMicroseconds * kSanitizerSlowdown;
#else
  return kChildMicroseconds;
#endif
}

// The first byte of the reading process's reply: what follows is the file as read, or why xylib
// refused it.
constexpr char kRead = 'R';
constexpr char kRefused = 'E';

// The reading process: reads the bytes with xylib, writes its reply to @p reply_fd and ends.
[[noreturn]] void read_in_child(const std::string& bytes, const std::string& format, int reply_fd) {
#ifdef RUNNING_ON_VALGRIND
  // What xylib does wrong on a damaged file is contained here; it is no finding of the caller's.
  VALGRIND_DISABLE_ERROR_REPORTING;
#endif
  // xylib prints warnings about damaged files; they must not mix with the caller's output.
  const int null_device = ::open("/dev/null", O_WRONLY);
  if (null_device >= 0) {
    ::dup2(null_device, STDOUT_FILENO);
    ::dup2(null_device, STDERR_FILENO);
  }
  const long microseconds = child_microseconds();
  constexpr long kMicroseconds = 1000000;
  const itimerval stop{{0, 0}, {microseconds / kMicroseconds, microseconds % kMicroseconds}};
  ::setitimer(ITIMER_REAL, &stop, nullptr);
#ifndef VESK_IO_SANITIZED
  limit_memory();
#endif
  std::string reply;
  try {
    reply = kRead + serialised(load(bytes, format));
  } catch (const std::exception& error) {
    reply = kRefused + std::string(error.what());
  } catch (...) {
    reply.clear();
  }
  write_all(reply_fd, reply);
  ::_exit(0);
}

// xylib's readers are not safe on damaged files: the binary ones follow offsets from the file
// without checking them against its size, so that a damaged file can make them read far outside
// it, and the text ones have crashed too (a Bruker UXD file with a second _2THETACOUNTS in one
// range, refused now before it does: see load). Every reader runs in a child process, with a limit
// on time and (in uninstrumented builds) memory; whatever happens to it, the parent reports an
// error. The fork happens under xylib's mutex, so that no other thread is inside xylib (holding a
// lock the child would wait for) at that moment.
Loaded load_isolated(const std::string& bytes, const std::string& format) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) throw std::runtime_error("cannot create a pipe");
  pid_t child = -1;
  {
    const std::lock_guard<std::mutex> lock(xylib_mutex());
    child = ::fork();
  }
  if (child < 0) {
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    throw std::runtime_error("cannot start the reading process");
  }
  if (child == 0) {
    ::close(pipe_ends[0]);
    read_in_child(bytes, format, pipe_ends[1]);
  }
  ::close(pipe_ends[1]);
  std::string reply;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(pipe_ends[0], buffer, sizeof buffer);
    if (got > 0) {
      reply.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(pipe_ends[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // The reply says how the reading ended, not the exit status (which valgrind sets by its own
  // findings in the child).
  if (!WIFEXITED(status) || reply.empty())
    throw std::runtime_error("damaged file: its reader failed");
  if (reply.front() == kRead) return deserialised(reply.substr(1));
  if (reply.front() == kRefused) throw std::runtime_error(reply.substr(1));
  throw std::runtime_error("damaged file: its reader failed");
}

Spectrum spectrum_of(LoadedBlock& block, const Loaded& file, const std::string& source) {
  const std::string& format = file.description;
  Spectrum spectrum;
  spectrum.format = format;
  spectrum.metadata = file.meta;
  for (const auto& [key, value] : block.meta) spectrum.metadata[key] = value;
  if (!block.name.empty()) spectrum.metadata["block"] = block.name;
  spectrum.x = std::move(block.x);
  spectrum.counts = std::move(block.y);
  const bool gamma = format.rfind("Canberra", 0) == 0;
  spectrum.is_counts = gamma;
  spectrum.x_unit = gamma ? "keV" : "deg";
  spectrum.live_time = seconds_of(spectrum.metadata, "live time (s)");
  spectrum.real_time = seconds_of(spectrum.metadata, "real time (s)");
  spectrum.start_time = start_time_of(spectrum.metadata);
  spectrum.calibration = calibration_of(spectrum.metadata);
  // xylib numbers Canberra channels from 1: its first point is channel 1 of the calibration.
  std::vector<double> from_one(spectrum.counts.size());
  for (std::size_t i = 0; i < from_one.size(); ++i) from_one[i] = i + 1.0;
  // A Canberra MCA file's energies are worked out by xylib from coefficients it does not report:
  // they are found again from the energies.
  if (gamma && spectrum.calibration.empty() && spectrum.x.size() == from_one.size()) {
    spectrum.calibration = calibration_through(from_one, spectrum.x);
  }
  if (!spectrum.calibration.empty()) spectrum.channels = std::move(from_one);
  for (const double value : spectrum.x) {
    if (!std::isfinite(value)) fail(source, format + ": an x that is not a number");
  }
  return spectrum;
}

// A Canberra MCA file holds each channel's count in 32 bits as two little-endian 16-bit words,
// the high word first (the order of the PDP-11 it comes from), and its channels fill the end of
// the file. xylib reads them as one little-endian number: 65 536 times the count below 65 536,
// and words crossed above. Where every value of the block is what that reading of the file's
// last bytes gives, the counts are taken in the file's own order; anything else (a reader that
// already takes that order, a different layout) is left as xylib read it.
void mca_counts_in_word_order(const std::string& bytes, std::vector<double>& counts) {
  constexpr std::size_t kCountBytes = 4;
  if (counts.empty() || bytes.size() < kCountBytes * counts.size()) return;
  const std::size_t first = bytes.size() - kCountBytes * counts.size();
  const auto byte_at = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]));
  };
  const auto word_at = [&](std::size_t i) { return byte_at(i) | byte_at(i + 1) << 8; };
  std::vector<double> in_word_order(counts.size());
  for (std::size_t k = 0; k < counts.size(); ++k) {
    const std::size_t at = first + kCountBytes * k;
    const std::uint32_t as_xylib_reads = word_at(at) | word_at(at + 2) << 16;
    if (counts[k] != static_cast<double>(as_xylib_reads)) return;
    in_word_order[k] = static_cast<double>(word_at(at) << 16 | word_at(at + 2));
  }
  counts = std::move(in_word_order);
}

}  // namespace

std::string xylib_format_of(const std::string& bytes, const std::string& path) {
  const std::lock_guard<std::mutex> lock(xylib_mutex());
  for (const char* name : kDistinctive) {
    const auto* format = static_cast<const xylib::FormatInfo*>(xylib_get_format_by_name(name));
    if (format != nullptr && passes_check(*format, bytes)) return name;
  }
  for (const char* name : kByExtension) {
    const auto* format = static_cast<const xylib::FormatInfo*>(xylib_get_format_by_name(name));
    if (format != nullptr && has_extension(*format, path) && passes_check(*format, bytes)) {
      return name;
    }
  }
  return "";
}

std::vector<Spectrum> read_xylib(const std::string& bytes, const std::string& source,
                                 const std::string& format) {
  Loaded loaded;
  try {
    loaded = load_isolated(bytes, format);
  } catch (const std::exception& error) {
    fail(source, format + ": " + error.what());
  }
  std::vector<Spectrum> spectra;
  for (LoadedBlock& block : loaded.blocks) {
    if (format == "canberra_mca") mca_counts_in_word_order(bytes, block.y);
    spectra.push_back(spectrum_of(block, loaded, source));
  }
  return spectra;
}

}  // namespace vesk::io::detail
