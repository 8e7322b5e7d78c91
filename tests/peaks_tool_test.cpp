// vesk-numerics peaks on a spectrum with known lines: the three formats, fixed lines in a window,
// line shapes, widths and held parameters, the exit statuses, spreadsheet exports with decimal
// commas, binary files, and the plot.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tool_fixture.h"

namespace {

namespace fs = std::filesystem;
using vesk::testing::count_of;
using vesk::testing::Outcome;
using vesk::testing::Tool;

constexpr int kChannels = 2048;
constexpr double kSigma = 6.0 / 2.3548200450309493;
// Lines (channel, area): a single line, a doublet 1.4 FWHM apart, another single line.
const std::vector<std::pair<double, double>> kLines = {
    {300.0, 20000.0}, {700.0, 15000.0}, {708.4, 9000.0}, {1500.0, 12000.0}};

double expected_counts(double channel) {
  double value = 50.0 * std::exp(-channel / 1000.0) + 5.0;
  for (const auto& [centre, area] : kLines) {
    const double d = (channel - centre) / kSigma;
    value += area / (kSigma * std::sqrt(2.0 * M_PI)) * std::exp(-0.5 * d * d);
  }
  return value;
}

// The spectrum without noise, rounded to whole counts, as "channel<separator>counts" rows.
std::string spectrum_text(char separator = ' ', bool decimal_comma = false) {
  std::ostringstream text;
  text << "channel" << separator << "counts\n";
  for (int i = 0; i < kChannels; ++i) {
    std::string counts = std::to_string(std::round(expected_counts(i) * 10.0) / 10.0);
    if (decimal_comma) counts.replace(counts.find('.'), 1, ",");
    text << i << separator << counts << "\n";
  }
  return text.str();
}

class Peaks : public Tool {
 protected:
  std::string spectrum(const std::string& name = "spectrum.dat", char separator = ' ',
                       bool decimal_comma = false) {
    const fs::path file = path(name);
    std::ofstream(file) << spectrum_text(separator, decimal_comma);
    return "'" + file.string() + "'";
  }
};

std::vector<std::vector<std::string>> csv_rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::istringstream cells(line);
    std::string cell;
    while (std::getline(cells, cell, ',')) fields.push_back(cell);
    rows.push_back(fields);
  }
  return rows;
}

TEST_F(Peaks, CsvJsonAndTableReportTheSameLines) {
  const std::string file = spectrum();
  const Outcome csv = run("peaks --counts --format csv " + file);
  ASSERT_EQ(csv.status, 0) << csv.err;
  const auto rows = csv_rows(csv.out);
  ASSERT_EQ(rows.size(), kLines.size() + 1);
  EXPECT_EQ(csv.out.substr(0, csv.out.find('\n')),
            "file,peak,region,mean,mean_err,sigma,sigma_err,fwhm,fwhm_err,amplitude,"
            "amplitude_err,area,area_err,region_lo,region_hi,chisq,dof,status,status_str,gamma,"
            "gamma_err,eta,eta_err,tail,tail_err,tail_slope,tail_slope_err,step,step_err,counts,"
            "counts_err,rate,rate_err,critical_level,detection_limit,significant,net_rate,"
            "net_rate_err,width_tied,outside_region");
  const Outcome json = run("peaks --counts --format json " + file);
  ASSERT_EQ(json.status, 0) << json.err;
  const nlohmann::json parsed = nlohmann::json::parse(json.out);
  EXPECT_EQ(parsed["background"], "linear");
  ASSERT_EQ(parsed["peaks"].size(), kLines.size());
  for (std::size_t k = 0; k < kLines.size(); ++k) {
    const auto& peak = parsed["peaks"][k];
    // CSV numbers read back as exactly the doubles that JSON carries.
    EXPECT_EQ(std::stod(rows[k + 1][3]), peak["mean"].get<double>());
    EXPECT_EQ(std::stod(rows[k + 1][11]), peak["area"].get<double>());
    EXPECT_NEAR(peak["mean"].get<double>(), kLines[k].first, 0.05);
    EXPECT_NEAR(peak["area"].get<double>(), kLines[k].second, 0.01 * kLines[k].second);
    EXPECT_EQ(rows[k + 1][18], "success");
    // Gaussian lines have none of the other shapes' numbers.
    for (std::size_t column = 19; column < 29; ++column) EXPECT_EQ(rows[k + 1][column], "nan");
    EXPECT_EQ(rows[k + 1][38], "0");  // width_tied, after the counts and rates
    EXPECT_EQ(rows[k + 1][39], "0");  // outside_region
    EXPECT_TRUE(peak["gamma"].is_null() && peak["tail"].is_null());
    EXPECT_EQ(peak["width_tied"], false);
    EXPECT_EQ(peak["outside_region"], false);
  }
  EXPECT_EQ(parsed["shape"], "gaussian");
  EXPECT_EQ(parsed["width"], "free");
  EXPECT_TRUE(parsed["resolution"].is_null());
  const Outcome table = run("peaks --counts " + file);
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(count_of(table.out, "\n"), kLines.size() + 1);
  EXPECT_EQ(count_of(table.out, "±"), 5 * kLines.size());  // and the net counts
}

TEST_F(Peaks, FixedLinesInAWindowAreOneRegionOverExactlyItsPoints) {
  const Outcome json =
      run("peaks --counts --at 699,709 --window 660:760 --same-width "
          "--background constant --format json " +
          spectrum());
  ASSERT_EQ(json.status, 0) << json.err;
  const nlohmann::json parsed = nlohmann::json::parse(json.out);
  ASSERT_EQ(parsed["regions"].size(), 1u);
  const auto& region = parsed["regions"][0];
  EXPECT_EQ(region["lo"], 660.0);
  EXPECT_EQ(region["hi"], 760.0);
  EXPECT_EQ(region["points"], 101);
  ASSERT_EQ(parsed["peaks"].size(), 2u);
  EXPECT_NEAR(parsed["peaks"][0]["mean"].get<double>(), 700.0, 0.05);
  EXPECT_NEAR(parsed["peaks"][1]["mean"].get<double>(), 708.4, 0.05);
  EXPECT_EQ(parsed["peaks"][0]["sigma"], parsed["peaks"][1]["sigma"]);
}

// What the line options set comes back in the record: the shape, the width mode, the given
// resolution with zero covariance, and held parameters at their values with error 0; CSV carries
// the same numbers as JSON.
TEST_F(Peaks, LineOptionsComeBackInTheRecord) {
  const std::string file = spectrum();
  struct Case {
    const char* options;
    const char* shape;
    const char* width;
    const char* held;  // a key of every peak held at `value`
    double value;
  };
  for (const Case& c :
       {Case{"--shape pseudo-voigt --width shared --fix eta=0.25", "pseudo_voigt", "shared", "eta",
             0.25},
        Case{"--shape tailed --resolution 36,0,0 --fix step=0 --fix tail-slope=1.5", "tailed",
             "resolution", "step", 0.0},
        Case{"--shape voigt --same-width --fix gamma=0.5", "voigt", "shared", "gamma", 0.5},
        Case{"--shape lorentzian", "lorentzian", "free", nullptr, 0.0}}) {
    SCOPED_TRACE(c.options);
    const Outcome json = run("peaks --counts --format json " + std::string(c.options) + " " + file);
    ASSERT_LE(json.status, 1) << json.err;
    const nlohmann::json parsed = nlohmann::json::parse(json.out);
    EXPECT_EQ(parsed["shape"], c.shape);
    EXPECT_EQ(parsed["width"], c.width);
    ASSERT_FALSE(parsed["peaks"].empty());
    const Outcome csv = run("peaks --counts --format csv " + std::string(c.options) + " " + file);
    const auto rows = csv_rows(csv.out);
    ASSERT_EQ(rows.size(), parsed["peaks"].size() + 1);
    for (std::size_t k = 0; k < parsed["peaks"].size(); ++k) {
      const auto& peak = parsed["peaks"][k];
      if (c.held != nullptr) {
        EXPECT_EQ(peak[c.held], c.value);
        EXPECT_EQ(peak[std::string(c.held) + "_err"], 0.0);
      }
      for (std::size_t column = 19; column < 29; ++column) {
        const auto& value = peak[rows[0][column]];
        if (value.is_null()) {
          EXPECT_EQ(rows[k + 1][column], "nan") << rows[0][column];
        } else {
          EXPECT_EQ(std::stod(rows[k + 1][column]), value.get<double>()) << rows[0][column];
        }
      }
    }
  }
  const nlohmann::json given =
      nlohmann::json::parse(run("peaks --counts --format json --resolution 36,0.01,0 " + file).out);
  EXPECT_EQ(given["resolution"]["coefficients"], nlohmann::json({36.0, 0.01, 0.0}));
  EXPECT_EQ(given["resolution"]["covariance"],
            nlohmann::json({{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}}));
}

TEST_F(Peaks, SemicolonsAndDecimalCommasReadAsTheSameNumbers) {
  const Outcome plain = run("peaks --counts --format csv " + spectrum());
  const Outcome european =
      run("peaks --counts --format csv " + spectrum("european.csv", ';', true));
  ASSERT_EQ(european.status, 0) << european.err;
  const auto a = csv_rows(plain.out), b = csv_rows(european.out);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t r = 1; r < a.size(); ++r) {
    EXPECT_EQ(std::vector<std::string>(a[r].begin() + 1, a[r].end()),
              std::vector<std::string>(b[r].begin() + 1, b[r].end()));
  }
}

TEST_F(Peaks, ABinaryFileIsNamedWithItsBytesEscapedAndCutShort) {
  std::string bytes = "\x89PNG\r\n\x1a\n";
  for (int i = 0; i < 200; ++i) bytes += static_cast<char>(i * 37 % 256);
  std::ofstream(path("picture.png"), std::ios::binary) << bytes;
  const Outcome outcome = run("peaks '" + path("picture.png").string() + "'");
  EXPECT_EQ(outcome.status, 2);
  EXPECT_NE(outcome.err.find("picture.png:"), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find("\\x89PNG"), std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.err.find('\x89'), std::string::npos);
  EXPECT_LT(outcome.err.size(), 300u);
  // The same for every command that reads data.
  EXPECT_NE(run("fit '" + path("picture.png").string() + "'").err.find("\\x"), std::string::npos);
}

TEST_F(Peaks, PlotIsWellFormedSvgWithACurveForEveryLineAndRegion) {
  const std::string svg = path("spectrum.svg").string();
  const Outcome outcome = run("peaks --counts --log-y --plot '" + svg + "' " + spectrum());
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  ASSERT_EQ(std::system(("xmllint --noout '" + svg + "'").c_str()), 0);
  const std::string text = vesk::testing::read_file(svg);
  // Three regions (the doublet shares one), four lines; each legend entry draws one more.
  EXPECT_EQ(count_of(text, "stroke=\"#2CA02C\""), kLines.size() + 1);  // each line's curve
  EXPECT_EQ(count_of(text, "stroke=\"#D62728\""), 3u + 1);             // model per region
  EXPECT_EQ(count_of(text, "stroke=\"#FF7F0E\""), 3u + 1);             // background per region
  EXPECT_EQ(count_of(text, "fill=\"#9467BD\""), 3u + 1);               // shaded regions
}

// A tailed shape draws through the library's own curves: every line with its tail over the
// background with its steps, and the total model, per region.
TEST_F(Peaks, PlotOfTailedLinesHasACurveForEveryLineAndRegion) {
  const std::string svg = path("tailed.svg").string();
  const Outcome outcome =
      run("peaks --counts --shape tailed --format json --plot '" + svg + "' " + spectrum());
  ASSERT_LE(outcome.status, 1) << outcome.err;
  ASSERT_EQ(std::system(("xmllint --noout '" + svg + "'").c_str()), 0);
  const nlohmann::json parsed = nlohmann::json::parse(outcome.out);
  const std::string text = vesk::testing::read_file(svg);
  std::size_t fitted_regions = 0, lines_in_them = 0;
  for (const auto& region : parsed["regions"]) fitted_regions += region["ok"].get<bool>();
  for (const auto& peak : parsed["peaks"]) {
    lines_in_them += parsed["regions"][peak["region"].get<std::size_t>()]["ok"].get<bool>();
  }
  EXPECT_GE(fitted_regions, 3u);
  EXPECT_EQ(count_of(text, "stroke=\"#2CA02C\""), lines_in_them + 1);
  EXPECT_EQ(count_of(text, "stroke=\"#D62728\""), fitted_regions + 1);
  EXPECT_EQ(count_of(text, "stroke=\"#FF7F0E\""), fitted_regions + 1);
}

TEST_F(Peaks, RatesLimitsAndABlankInEveryFormat) {
  const std::string file = spectrum();
  // A line that is there and one that is not, over 600 s; the blank (the same spectrum over
  // 300 s) has twice the rates, so the net rates are minus the rates.
  const std::string arguments =
      "peaks --counts --at 300,1000 --live-time 600 --blank " + file + " --blank-live-time 300 ";
  const Outcome json = run(arguments + "--format json " + file);
  ASSERT_EQ(json.status, 0) << json.err;
  const nlohmann::json peaks = nlohmann::json::parse(json.out)["peaks"];
  ASSERT_EQ(peaks.size(), 2u);
  const auto& line = peaks[0];
  const auto& empty = peaks[1];
  EXPECT_EQ(line["significant"], true);
  EXPECT_EQ(line["rate"].get<double>(), line["counts"].get<double>() / 600.0);
  EXPECT_NEAR(line["counts"].get<double>(), 20000.0, 50.0);
  EXPECT_NEAR(line["net_rate"].get<double>(), -line["rate"].get<double>(),
              1e-6 * line["rate"].get<double>());
  EXPECT_EQ(empty["significant"], false);
  EXPECT_LT(empty["counts"].get<double>(), empty["critical_level"].get<double>());
  EXPECT_GT(empty["detection_limit"].get<double>(), empty["critical_level"].get<double>());
  const Outcome csv = run(arguments + "--format csv " + file);
  ASSERT_EQ(csv.status, 0) << csv.err;
  const auto rows = csv_rows(csv.out);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][35], "significant");
  EXPECT_EQ(rows[1][35], "1");
  EXPECT_EQ(rows[2][35], "0");
  EXPECT_EQ(std::stod(rows[2][34]), empty["detection_limit"].get<double>());
  EXPECT_EQ(std::stod(rows[1][36]), line["net_rate"].get<double>());
  const Outcome table = run(arguments + file);
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_NE(table.out.find("rate /s"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("net rate /s"), std::string::npos) << table.out;
  EXPECT_EQ(count_of(table.out, "not detected"), 1u) << table.out;
}

struct PeaksExit {
  const char* name;
  const char* arguments;  // {good} and {bad} stand for files the test makes
  int status;
  const char* message;  // in the standard error; empty: nothing there
};

class PeaksExitStatus : public Peaks, public ::testing::WithParamInterface<PeaksExit> {};

TEST_P(PeaksExitStatus, IsTheWorstOutcome) {
  const PeaksExit& c = GetParam();
  std::ofstream(path("bad.dat")) << "1 2\n2 x\n";
  const Outcome outcome =
      run("peaks " + vesk::testing::with_files(c.arguments,
                                               {{"{good}", spectrum()},
                                                {"{bad}", "'" + path("bad.dat").string() + "'"}}));
  vesk::testing::expect_outcome(outcome, c.status, c.message);
  if (c.status != 2 || std::string(c.name).find("File") != std::string::npos) {
    EXPECT_FALSE(outcome.out.empty());  // the fitted files are printed all the same
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PeaksExitStatus,
    ::testing::Values(
        PeaksExit{"AllFitted", "--counts {good} {good}", 0, ""},
        PeaksExit{"RegionFailed", "--counts --at 300 --max-iterations 1 {good}", 1, ""},
        PeaksExit{"BadFileAmongGood", "--counts {good} {bad} {good}", 2, "bad.dat:2:"},
        PeaksExit{"RegionFailedAndBadFile", "--at 300 --max-iterations 1 {good} {bad}", 2,
                  "bad.dat:2:"},
        PeaksExit{"LineOutsideTheData", "--at 5000 {good}", 2, "outside the data"},
        PeaksExit{"UnknownBackground", "--background cubic {good}", 2, "--background"},
        PeaksExit{"WindowWithOneEnd", "--window 100: {good}", 2, "--window needs both ends"},
        PeaksExit{"PlotOfTwoSpectra", "--plot x.svg {good} {good}", 2, "--plot draws one"},
        PeaksExit{"LogWithoutPlot", "--log-y {good}", 2, "--log-y goes with --plot"},
        PeaksExit{"CountsAndErrorColumn", "--counts --columns 1,2,2 {good}", 2,
                  "--counts takes the errors"},
        PeaksExit{"BadColumns", "--columns 1 {good}", 2, "--columns must be X,Y"},
        PeaksExit{"WindowWithoutColon", "--window 10 {good}", 2, "--window must be LO:HI"},
        PeaksExit{"UnknownShape", "--shape hypermet {good}", 2, "--shape must be"},
        PeaksExit{"UnknownWidth", "--width fixed {good}", 2, "--width must be"},
        PeaksExit{"ResolutionOfTwo", "--resolution 1,2 {good}", 2, "--resolution must be three"},
        PeaksExit{"ResolutionAndSharedWidth", "--resolution 1,0,0 --width shared {good}", 2,
                  "--resolution goes with --width resolution"},
        PeaksExit{"ResolutionAndSameWidth", "--resolution 1,0,0 --same-width {good}", 2,
                  "drop --same-width"},
        PeaksExit{"SameWidthAndResolutionWidth", "--same-width --width resolution {good}", 2,
                  "--same-width means --width shared"},
        PeaksExit{"FixUnknownName", "--fix width=2 {good}", 2, "--fix must be NAME=VALUE"},
        PeaksExit{"FixWithoutValue", "--fix eta {good}", 2, "--fix must be NAME=VALUE"},
        PeaksExit{"FixOutOfDomain", "--fix eta=1.5 {good}", 2, "--fix eta=1.5 is out of"},
        PeaksExit{"FixNotFinite", "--fix tail=inf {good}", 2, "out of the domain"},
        PeaksExit{"NegativeLiveTime", "--live-time -5 {good}", 2,
                  "--live-time must be a positive number"},
        PeaksExit{"BlankLiveTimeWithoutBlank", "--blank-live-time 5 {good}", 2,
                  "--blank-live-time goes with --blank"},
        PeaksExit{"UnreadableBlank", "--counts --blank {bad} {good}", 2, "bad.dat:2:"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
