// Runs the installed vesk-numerics program on good and bad input.
#include <gsl/gsl_vector.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tool_fixture.h"
#include "vesk/numerics/GaussFit.h"
#include "vesk/numerics/filter.h"
#include "vesk/numerics/rotation.h"

namespace {

namespace fs = std::filesystem;
using vesk::numerics::GaussFit;
using vesk::numerics::GaussFitResult;
using vesk::testing::count_of;
using vesk::testing::kTool;
using vesk::testing::Outcome;
using vesk::testing::read_file;
using vesk::testing::Tool;

const std::string kPeakFile = std::string(VESK_DATA_DIR) + "/peak.dat";
const std::string kSignalFile = std::string(VESK_DATA_DIR) + "/signal.dat";

// The data rows of a file, as the program reads them: '#' comments and a header skipped.
std::vector<std::vector<double>> rows_of(const std::string& text) {
  std::vector<std::vector<double>> rows;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream fields(line);
    std::vector<double> row;
    double value = 0;
    while (fields >> value) row.push_back(value);
    if (!row.empty()) rows.push_back(row);
  }
  return rows;
}

std::vector<double> column(const std::vector<std::vector<double>>& rows, std::size_t index) {
  std::vector<double> values;
  for (const auto& row : rows) values.push_back(row.at(index));
  return values;
}

std::vector<double> numbers_of(const std::string& text) {
  std::istringstream stream(text);
  std::vector<double> values;
  double value = 0;
  while (stream >> value) values.push_back(value);
  return values;
}

// Text as PLplot's SVG output spells it: every character as a hexadecimal reference.
std::string as_svg_text(const std::string& text) {
  std::string encoded;
  char reference[16];
  for (unsigned char c : text) {
    std::snprintf(reference, sizeof reference, "&#x%x;", c);
    encoded += reference;
  }
  return encoded;
}

void expect_json_matches(const nlohmann::json& json, const GaussFitResult& expected) {
  EXPECT_EQ(json.at("status").get<int>(), expected.status_);
  EXPECT_EQ(json.at("status_str").get<std::string>(), expected.status_str_);
  EXPECT_EQ(json.at("num_iterations").get<int>(), expected.num_iterations_);
  EXPECT_EQ(json.at("amplitude").get<double>(), expected.amplitude_);
  EXPECT_EQ(json.at("mean").get<double>(), expected.mean_);
  EXPECT_EQ(json.at("sigma").get<double>(), expected.sigma_);
  EXPECT_EQ(json.at("variance_err").get<double>(), expected.variance_err_);
  EXPECT_EQ(json.at("offset").get<double>(), expected.offset_);
  EXPECT_EQ(json.at("offset_err").get<double>(), expected.offset_err_);
  EXPECT_EQ(json.at("chisq_dof").get<double>(), expected.chisq_dof_);
}

TEST_F(Tool, FitPrintsTheTable) {
  const Outcome outcome = run("fit '" + kPeakFile + "'");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  for (const char* piece : {"amplitude", "FWHM", "area", "chi-square/dof", "success (0)",
                            "energy_keV", "counts", "101 points, offset fitted"}) {
    EXPECT_NE(outcome.out.find(piece), std::string::npos) << piece;
  }
  EXPECT_EQ(outcome.err, "");
}

TEST_F(Tool, FitJsonMatchesTheLibrary) {
  const auto rows = rows_of(read_file(kPeakFile));
  const GaussFitResult expected = GaussFit().fit(column(rows, 0), column(rows, 1));
  const Outcome outcome = run("fit --json '" + kPeakFile + "'");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const nlohmann::json json = nlohmann::json::parse(outcome.out);
  expect_json_matches(json, expected);
  EXPECT_EQ(json.at("points").get<int>(), 101);
  EXPECT_NEAR(json.at("fwhm").get<double>(), 2.3548200450309493 * expected.sigma_, 1e-12);
}

TEST_F(Tool, SolverOptionSelectsTheLibrarysSolver) {
  const auto rows = rows_of(read_file(kPeakFile));
  GaussFit fitter;
  fitter.set_solver(GaussFit::Solver::normal_equations);
  const GaussFitResult expected = fitter.fit(column(rows, 0), column(rows, 1));
  const Outcome outcome = run("fit --json --solver normal '" + kPeakFile + "'");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  expect_json_matches(nlohmann::json::parse(outcome.out), expected);

  const Outcome unknown = run("fit --solver qr '" + kPeakFile + "'");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("--solver"), std::string::npos) << unknown.err;
}

TEST_F(Tool, OneColumnFitsAgainstTheSampleIndexWithFixedOffset) {
  const auto rows = rows_of(read_file(kPeakFile));
  std::string one_column = "counts\n";
  for (const auto& row : rows) one_column += std::to_string(row[1]) + "\n";
  const std::vector<double> y = column(rows_of(one_column), 0);
  GaussFit fitter;
  fitter.enable_constant_offset(true);
  fitter.set_constant_offset(120);
  const gsl_vector_const_view y_view = gsl_vector_const_view_array(y.data(), y.size());
  const GaussFitResult expected = fitter.fit(y_view.vector);

  const Outcome outcome = run("fit --json --offset 120 -", one_column);
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const nlohmann::json json = nlohmann::json::parse(outcome.out);
  expect_json_matches(json, expected);
  EXPECT_EQ(json.at("offset").get<double>(), 120.0);
  EXPECT_EQ(json.at("offset_err").get<double>(), 0.0);
}

TEST_F(Tool, PlotIsValidSvgWithEveryPoint) {
  const std::string svg = path("fit.svg").string();
  const Outcome outcome = run("fit --plot '" + svg + "' '" + kPeakFile + "'");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const std::string check = "xmllint --noout '" + svg + "'";
  EXPECT_EQ(std::system(check.c_str()), 0) << "not well-formed XML";
  const std::string text = read_file(svg);
  EXPECT_NE(text.find("<svg"), std::string::npos);
  EXPECT_EQ(count_of(text, "&#x25cf;"), 101u + 1u);  // data points, plus the legend's sample
  EXPECT_EQ(count_of(text, "&#x2022;"), 101u);       // residuals
  // Labels from the header, the residual panel and the legend.
  for (const char* label : {"energy_keV", "counts", "residual", "fitted Gaussian"}) {
    EXPECT_NE(text.find(as_svg_text(label)), std::string::npos) << label;
  }
}

TEST_F(Tool, FailedFitExitsOneWithStatusAndIterationsOnly) {
  const std::string svg = path("never.svg").string();
  const Outcome outcome = run("fit --max-iterations 1 --plot '" + svg + "' '" + kPeakFile + "'");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.out.find("exceeded max number of iterations"), std::string::npos);
  EXPECT_NE(outcome.out.find("iterations      1"), std::string::npos);
  EXPECT_EQ(outcome.out.find("amplitude"), std::string::npos);
  EXPECT_FALSE(fs::exists(svg));

  const Outcome json = run("fit --json --max-iterations 1 '" + kPeakFile + "'");
  EXPECT_EQ(json.status, 1);
  const nlohmann::json parsed = nlohmann::json::parse(json.out);
  EXPECT_FALSE(parsed.contains("amplitude"));
  EXPECT_EQ(parsed.at("num_iterations").get<int>(), 1);

  const Outcome too_few = run("fit", "1 2\n2 3\n3 4\n");
  EXPECT_EQ(too_few.status, 1);
  EXPECT_NE(too_few.out.find("Not enough data points (-1)"), std::string::npos);
}

struct BadInputCase {
  const char* name;
  const char* arguments;
  const char* input;
  int status;
  const char* message;
};

class ToolBadInput : public Tool, public ::testing::WithParamInterface<BadInputCase> {};

TEST_P(ToolBadInput, ExitsWithAOneLineMessage) {
  const BadInputCase& c = GetParam();
  const Outcome outcome = run(c.arguments, c.input);
  EXPECT_EQ(outcome.status, c.status) << outcome.err;
  EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, ToolBadInput,
    ::testing::Values(
        BadInputCase{"NotANumber", "fit", "x y\n1 2\nabc 3\n", 2,
                     "<stdin>:3: expected a number, got 'abc'"},
        BadInputCase{"SecondHeader", "fit -", "x y\nu v\n", 2,
                     "<stdin>:2: expected a number, got 'u'"},
        BadInputCase{"ColumnCount", "fit", "# c\n1 2\n1 2 3\n", 2,
                     "<stdin>:3: row has 3 columns, expected 2"},
        BadInputCase{"TooManyColumns", "fit", "1,2,3\n", 2,
                     "<stdin>:1: row has 3 columns, expected 1 or 2"},
        BadInputCase{"NoData", "fit", "# only a comment\n\n", 2, "no data"},
        BadInputCase{"NaN", "fit", "1 2\n2 nan\n", 2,
                     "<stdin>:2: expected a finite number, got 'nan'"},
        BadInputCase{"Infinity", "smooth --order 0 --window 1", "1\n-inf\n", 2,
                     "<stdin>:2: expected a finite number, got '-inf'"},
        BadInputCase{"EmptyField", "fit", "1,,2\n", 2, "<stdin>:1: row has 3 columns"},
        BadInputCase{"MissingFile", "fit /nonexistent/peak.dat", "", 2,
                     "/nonexistent/peak.dat: cannot open"},
        BadInputCase{"UnknownOption", "fit --bogus", "", 2, "--help"},
        BadInputCase{"MissingValue", "fit --offset", "", 2, "--help"},
        BadInputCase{"NoSubcommand", "", "", 2, "--help"},
        BadInputCase{"EvenWindow", "smooth --order 2 --window 4", "1\n2\n3\n4\n5\n", 2,
                     "--window must be a positive odd number"},
        BadInputCase{"ShortWindow", "smooth --order 4 --window 3", "1\n2\n3\n", 2,
                     "shorter than order + 1"},
        BadInputCase{"LeftWithoutRight", "smooth --order 1 --left 2", "1\n2\n3\n", 2,
                     "--left and --right go together"},
        BadInputCase{"WindowLongerThanData", "smooth --order 1 --window 5", "1\n2\n3\n", 2,
                     "fewer than the window length 5"},
        BadInputCase{"ZeroAxis", "rotate --axis 0,0,0 --angle 1", "", 2, "zero vector"},
        BadInputCase{"BadAxis", "rotate --axis q --angle 1", "", 2, "got 'q'"},
        BadInputCase{"RotateRowWidth", "rotate --axis x --angle 1 -", "1 2\n", 2,
                     "<stdin>:1: row has 2 columns, expected 3"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Tool, SmoothKeepsTheLengthAndMatchesTheWeightedSum) {
  const std::vector<double> y = column(rows_of(read_file(kSignalFile)), 1);
  const Outcome outcome = run("smooth --order 2 --window 7 '" + kSignalFile + "'");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const std::vector<double> smoothed = numbers_of(outcome.out);
  ASSERT_EQ(smoothed.size(), y.size());

  const arma::rowvec centred = vesk::numerics::create_savitzky_golay_filter(2, 3, 3);
  for (std::size_t i = 3; i + 3 < y.size(); ++i) {
    double expected = 0.0;
    for (std::size_t k = 0; k < 7; ++k) expected += centred(k) * y[i - 3 + k];
    EXPECT_DOUBLE_EQ(smoothed[i], expected) << i;
  }
  // At the ends the window keeps its length and shifts inwards.
  const arma::rowvec first = vesk::numerics::create_savitzky_golay_filter(2, 0, 6);
  const arma::rowvec last = vesk::numerics::create_savitzky_golay_filter(2, 6, 0);
  double expected_first = 0.0;
  double expected_last = 0.0;
  for (std::size_t k = 0; k < 7; ++k) {
    expected_first += first(k) * y[k];
    expected_last += last(k) * y[y.size() - 7 + k];
  }
  EXPECT_DOUBLE_EQ(smoothed.front(), expected_first);
  EXPECT_DOUBLE_EQ(smoothed.back(), expected_last);
}

TEST_F(Tool, SmoothWithAFixedAsymmetricWindow) {
  const std::string input = "1\n4\n9\n16\n25\n36\n49\n";  // a parabola: reproduced exactly
  const Outcome outcome = run("smooth --order 2 --left 2 --right 1", input);
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const std::vector<double> smoothed = numbers_of(outcome.out);
  const std::vector<double> expected = numbers_of(input);
  ASSERT_EQ(smoothed.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(smoothed[i], expected[i], 1e-10);
}

TEST_F(Tool, RotatePrintsTheLibrarysMatrixAndRotatesRows) {
  const Outcome matrix = run("rotate --axis 1,2,3 --angle 0.7");
  ASSERT_EQ(matrix.status, 0) << matrix.err;
  const arma::mat33 expected = vesk::numerics::calc_3d_rotation_matrix_around_axis({1, 2, 3}, 0.7);
  const std::vector<double> printed = numbers_of(matrix.out);
  ASSERT_EQ(printed.size(), 9u);
  for (arma::uword i = 0; i < 3; ++i) {
    for (arma::uword j = 0; j < 3; ++j) EXPECT_EQ(printed[3 * i + j], expected(i, j));
  }

  const Outcome rows = run("rotate --axis z --angle 90 --degrees -", "1 0 0\n0,2,0\n");
  ASSERT_EQ(rows.status, 0) << rows.err;
  const std::vector<double> turned = numbers_of(rows.out);
  const std::vector<double> wanted = {0, 1, 0, -2, 0, 0};
  ASSERT_EQ(turned.size(), wanted.size());
  for (std::size_t i = 0; i < wanted.size(); ++i) EXPECT_NEAR(turned[i], wanted[i], 1e-15);
}

TEST_F(Tool, ClosedPipeEndsQuietly) {
  std::string many;
  for (int i = 0; i < 200000; ++i) many += std::to_string(i % 17) + "\n";
  std::ofstream(path("many")) << many;
  const std::string command = "'" + kTool + "' smooth --order 0 --window 1 '" +
                              path("many").string() + "' 2>'" + path("stderr").string() +
                              "' | head -n 1 >/dev/null";
  std::system(command.c_str());
  EXPECT_EQ(read_file(path("stderr")), "");
}

TEST_F(Tool, HelpNamesEverySubcommand) {
  const Outcome outcome = run("--help");
  EXPECT_EQ(outcome.status, 0);
  for (const char* name : {"fit", "smooth", "rotate"}) {
    EXPECT_NE(outcome.out.find(name), std::string::npos) << name;
  }
  EXPECT_EQ(run("fit --help").status, 0);
}

}  // namespace

namespace {

// Series of measurements: many columns, several peaks, several files.
class ToolSeries : public Tool {
 protected:
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name)) << text;
    return path(name).string();
  }

  // An export with four columns and two noiseless lines: A=400 at 609.3 (sigma 1.7) and A=850 at
  // 661.7 (sigma 1.8) on a baseline of 150.
  std::string two_peak_spectrum() const {
    std::string text = "channel,energy_keV,counts,uncertainty\n";
    for (int i = 0; i <= 360; ++i) {
      const double e = 590.0 + 0.25 * i;
      const double a = (e - 609.3) / 1.7;
      const double b = (e - 661.7) / 1.8;
      const double counts = 400 * std::exp(-0.5 * a * a) + 850 * std::exp(-0.5 * b * b) + 150;
      text += std::to_string(2360 + i) + "," + exact_text(e) + "," + exact_text(counts) + ",1\n";
    }
    return write("spectrum.csv", text);
  }

  static std::string exact_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
  }

  std::vector<std::string> series() const {
    std::vector<std::string> files;
    for (int run = 1; run <= 6; ++run) {
      char name[32];
      std::snprintf(name, sizeof name, "/series/run_%02d.dat", run);
      files.push_back(std::string(VESK_DATA_DIR) + name);
    }
    return files;
  }

  static std::string quoted(const std::vector<std::string>& files) {
    std::string words;
    for (const std::string& file : files) words += " '" + file + "'";
    return words;
  }
};

GaussFitResult library_fit(const std::vector<std::vector<double>>& rows, std::size_t x_column,
                           std::size_t y_column, double low, double high) {
  std::vector<double> x;
  std::vector<double> y;
  for (const auto& row : rows) {
    if (row.at(x_column) < low || row.at(x_column) > high) continue;
    x.push_back(row[x_column]);
    y.push_back(row.at(y_column));
  }
  return GaussFit().fit(x, y);
}

// CSV rows as written, split at commas (the fields here hold none).
std::vector<std::vector<std::string>> csv_rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream parts(line);
    while (std::getline(parts, field, ',')) fields.push_back(field);
    if (!line.empty() && line.back() == ',') fields.emplace_back();
    rows.push_back(fields);
  }
  return rows;
}

TEST_F(ToolSeries, RangePicksEachPeakOfASpectrum) {
  const std::string spectrum = two_peak_spectrum();
  std::vector<std::vector<double>> rows;
  for (const auto& fields : csv_rows(read_file(spectrum))) {
    if (fields.front() == "channel") continue;  // the header
    std::vector<double> row;
    for (const std::string& field : fields) row.push_back(std::strtod(field.c_str(), nullptr));
    rows.push_back(row);
  }
  struct Line {
    const char* range;
    double low, high, amplitude, mean, sigma;
  };
  for (const Line& line :
       {Line{"600:618", 600, 618, 400, 609.3, 1.7}, Line{"655:668", 655, 668, 850, 661.7, 1.8}}) {
    SCOPED_TRACE(line.range);
    const Outcome outcome = run("fit --json --columns energy_keV,counts --range " +
                                std::string(line.range) + " '" + spectrum + "'");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const nlohmann::json json = nlohmann::json::parse(outcome.out);
    expect_json_matches(json, library_fit(rows, 1, 2, line.low, line.high));
    EXPECT_NEAR(json.at("amplitude").get<double>(), line.amplitude, 1e-6);
    EXPECT_NEAR(json.at("mean").get<double>(), line.mean, 1e-9);
    EXPECT_NEAR(json.at("sigma").get<double>(), line.sigma, 1e-9);
    EXPECT_NEAR(json.at("offset").get<double>(), 150, 1e-6);
  }
  // Open-ended ranges, and columns by number: the same fit of the same points.
  const Outcome by_number = run("fit --json --columns 2,3 --range :618 '" + spectrum + "'");
  const Outcome by_name =
      run("fit --json --columns energy_keV,counts --range 590:618 '" + spectrum + "'");
  ASSERT_EQ(by_number.status, 0) << by_number.err;
  EXPECT_EQ(by_number.out, by_name.out);
  const Outcome y_only = run("fit --json --columns counts --range 260: '" + spectrum + "'");
  ASSERT_EQ(y_only.status, 0) << y_only.err;
  EXPECT_NEAR(nlohmann::json::parse(y_only.out).at("mean").get<double>(), (661.7 - 590) / 0.25,
              1e-7);
}

TEST_F(ToolSeries, SummaryIsTheLibrarysMeanAndSpread) {
  std::vector<GaussFitResult> results;
  for (const std::string& file : series()) {
    const auto rows = rows_of(read_file(file));
    results.push_back(GaussFit().fit(column(rows, 0), column(rows, 1)));
  }
  const GaussFitResult expected = GaussFitResult::calc_mean_and_std(results);
  const Outcome outcome = run("fit --format json --summary" + quoted(series()));
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const nlohmann::json json = nlohmann::json::parse(outcome.out);
  ASSERT_EQ(json.size(), 7u);
  for (std::size_t i = 0; i < 6; ++i) {
    expect_json_matches(json[i], results[i]);
    EXPECT_EQ(json[i].at("file").get<std::string>(), series()[i]);
  }
  const nlohmann::json& summary = json[6];
  EXPECT_TRUE(summary.at("summary").get<bool>());
  EXPECT_EQ(summary.at("fits_used").get<int>(), 6);
  EXPECT_EQ(summary.at("mean").get<double>(), expected.mean_);
  EXPECT_EQ(summary.at("mean_std").get<double>(), expected.mean_err_);
  EXPECT_EQ(summary.at("sigma_std").get<double>(), expected.sigma_err_);
  EXPECT_EQ(summary.at("variance").get<double>(), expected.variance_);
  EXPECT_EQ(summary.at("offset_std").get<double>(), expected.offset_err_);
  EXPECT_EQ(summary.at("amplitude").get<double>(), expected.amplitude_);
}

TEST_F(ToolSeries, CsvReadsBackAsTheSameDoublesAndKeepsFailedFits) {
  std::vector<std::string> files = series();
  files.insert(files.begin() + 2, write("three_points.dat", "1 2\n2 5\n3 2\n"));
  const Outcome outcome = run("fit --format csv --summary" + quoted(files));
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  const auto rows = csv_rows(outcome.out);
  ASSERT_EQ(rows.size(), files.size() + 2);
  EXPECT_EQ(rows[0].size(), 19u);
  EXPECT_EQ(rows[0][0], "file");
  EXPECT_EQ(rows[0][18], "chisq_dof");
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto& fields = rows[i + 1];
    ASSERT_EQ(fields.size(), 19u) << i;
    EXPECT_EQ(fields[0], files[i]);
    if (i == 2) {
      EXPECT_EQ(fields[1], "-1");
      EXPECT_EQ(fields[2], "Not enough data points");
      for (std::size_t f = 4; f < 19; ++f) EXPECT_EQ(fields[f], "") << f;
      continue;
    }
    const auto data = rows_of(read_file(files[i]));
    const GaussFitResult expected = GaussFit().fit(column(data, 0), column(data, 1));
    const std::vector<double> wanted = {
        expected.amplitude_, expected.amplitude_err_, expected.mean_,     expected.mean_err_,
        expected.sigma_,     expected.sigma_err_,     expected.variance_, expected.variance_err_,
        expected.offset_,    expected.offset_err_};
    for (std::size_t f = 0; f < wanted.size(); ++f) {
      EXPECT_EQ(std::strtod(fields[4 + f].c_str(), nullptr), wanted[f]) << i << " field " << f;
    }
    EXPECT_EQ(std::strtod(fields[17].c_str(), nullptr), expected.chisq_);
  }
  EXPECT_EQ(rows.back()[0], "summary");
  EXPECT_NE(rows.back()[2].find("6 of 7"), std::string::npos) << rows.back()[2];
}

TEST_F(ToolSeries, ABadFileIsReportedAndSkipped) {
  const std::string bad = write("bad.dat", "energy counts\n1 2\n2 lots\n");
  std::vector<std::string> files = series();
  files.insert(files.begin() + 1, bad);
  const Outcome outcome = run("fit" + quoted(files));
  EXPECT_EQ(outcome.status, 2);
  EXPECT_NE(outcome.err.find(bad + ":3: expected a number, got 'lots'"), std::string::npos)
      << outcome.err;
  EXPECT_EQ(count_of(outcome.out, "run_0"), 6u);
  EXPECT_EQ(outcome.out.find("bad.dat"), std::string::npos);
}

struct ExitCase {
  const char* name;
  const char* arguments;  // {good}, {few}, {bad}, {wide} stand for files made by the test
  int status;
  const char* message;  // in the standard error; empty: nothing there
};

class ToolExitStatus : public ToolSeries, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ToolExitStatus, IsTheWorstOutcome) {
  const ExitCase& c = GetParam();
  const std::string arguments = vesk::testing::with_files(
      c.arguments, {{"{good}", "'" + kPeakFile + "'"},
                    {"{few}", "'" + write("few.dat", "1 2\n2 5\n3 2\n") + "'"},
                    {"{bad}", "'" + write("bad.dat", "1 2\nx y\n") + "'"},
                    {"{wide}", "'" + write("wide.dat", "t e n\n1 2 3\n2 3 4\n") + "'"}});
  vesk::testing::expect_outcome(run("fit " + arguments), c.status, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ToolExitStatus,
    ::testing::Values(
        ExitCase{"AllFitted", "{good} {good}", 0, ""},
        ExitCase{"OneFitFailed", "{good} {few}", 1, ""},
        ExitCase{"FailedFitAndBadFile", "{few} {bad} {good}", 2, "bad.dat:2: expected a number"},
        ExitCase{"RangeLeavesTooFewPoints", "--range 650:650.5 {good}", 1, ""},
        ExitCase{"RangeOutsideTheData", "--range 1:2 {good} {good}", 1, ""},
        ExitCase{"MalformedRange", "--range 655-668 {good}", 2, "--range must be LO:HI"},
        ExitCase{"RangeNotNumbers", "--range a:b {good}", 2, "--range must hold numbers"},
        ExitCase{"EmptyRange", "--range 668:655 {good}", 2, "LO exceeds HI"},
        ExitCase{"UnknownColumnName", "--columns energy,counts {good}", 2,
                 "peak.dat: no column named 'energy' (columns: energy_keV, counts)"},
        ExitCase{"ColumnPastTheLast", "--columns 1,3 {good} {good}", 2,
                 "peak.dat: no column 3; the file has 2 columns"},
        ExitCase{"MalformedColumns", "--columns 1,2,3 {good}", 2, "--columns must be X,Y or Y"},
        ExitCase{"WideFileNeedsColumns", "{wide}", 2, "choose two with --columns X,Y"},
        ExitCase{"WideFileWithColumns", "--columns t,n {wide}", 1, ""},
        ExitCase{"PlotOfSeveralFiles", "--plot x.svg {good} {good}", 2, "--plot draws one fit"},
        ExitCase{"TrendXWithoutGroup", "--trend-plot t.svg --trend-x 'run' {good}", 2,
                 "exactly one capture group"},
        ExitCase{"TrendXWithoutPlot", "--trend-x 'r(\\d)' {good}", 2, "goes with --trend-plot"},
        ExitCase{"TrendXFindsNoNumber", "--trend-plot t.svg --trend-x '_(\\d+)' {good} {good}", 2,
                 "finds no number in the file name"},
        ExitCase{"JsonAndCsv", "--json --format csv {good}", 2, "--json asks for JSON"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToolSeries, TrendPlotHasOnePointPerCompletedFit) {
  std::vector<std::string> files = series();
  files.push_back(write("run_07.dat", "1 2\n2 5\n3 2\n"));  // fails: too few points
  const std::string svg = path("trend.svg").string();
  const Outcome outcome =
      run("fit --trend-plot '" + svg + "' --trend-x 'run_(\\d+)'" + quoted(files));
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  const std::string check = "xmllint --noout '" + svg + "'";
  EXPECT_EQ(std::system(check.c_str()), 0) << "not well-formed XML";
  const std::string text = read_file(svg);
  EXPECT_EQ(count_of(text, "&#x25cf;"), 2u * 6u);  // mean and sigma of each completed fit
  for (const char* label :
       {"mean (energy_keV)", "sigma (energy_keV)", "number from the file name"}) {
    EXPECT_NE(text.find(as_svg_text(label)), std::string::npos) << label;
  }
}

}  // namespace
