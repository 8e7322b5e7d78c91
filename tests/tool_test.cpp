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

#include "vesk/numerics/GaussFit.h"
#include "vesk/numerics/filter.h"
#include "vesk/numerics/rotation.h"

namespace {

namespace fs = std::filesystem;
using vesk::numerics::GaussFit;
using vesk::numerics::GaussFitResult;

const std::string kTool = VESK_TOOL_PATH;
const std::string kPeakFile = std::string(VESK_DATA_DIR) + "/peak.dat";
const std::string kSignalFile = std::string(VESK_DATA_DIR) + "/signal.dat";

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

std::string read_file(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class Tool : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // Parameterised tests are named "Test/Case": one folder, not a folder in a folder.
    std::string name = info->name();
    std::replace(name.begin(), name.end(), '/', '-');
    directory_ =
        fs::temp_directory_path() / ("vesk-tool-" + std::to_string(::getpid()) + "-" + name);
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }

  fs::path path(const std::string& name) const { return directory_ / name; }

  // Runs the program with `arguments` (shell words) and `input` on standard input.
  Outcome run(const std::string& arguments, const std::string& input = "") const {
    std::ofstream(path("stdin")) << input;
    const std::string command = "'" + kTool + "' " + arguments + " <'" + path("stdin").string() +
                                "' >'" + path("stdout").string() + "' 2>'" +
                                path("stderr").string() + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(path("stdout")),
            read_file(path("stderr"))};
  }

  fs::path directory_;
};

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

std::size_t count_of(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
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
