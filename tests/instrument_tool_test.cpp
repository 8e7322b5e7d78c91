// vesk-numerics with instrument files: peaks on an SPE file fits at calibrated x as counts, info
// and convert report what the file holds, bad files exit with status 2, and so do --plot and
// --html of a file that holds several spectra.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tool_fixture.h"

namespace {

using vesk::testing::Outcome;
using vesk::testing::Tool;
namespace fs = std::filesystem;

constexpr int kChannels = 1024;
constexpr double kOffset = 1.5, kSlope = 0.5;  // keV, keV per channel
const std::vector<double> kLineChannels = {200.0, 611.0};

std::vector<long> counts() {
  std::vector<long> values;
  for (int i = 0; i < kChannels; ++i) {
    double value = 30.0;
    for (const double centre : kLineChannels) {
      value += 2000.0 * std::exp(-0.5 * std::pow((i - centre) / 2.0, 2));
    }
    values.push_back(std::lround(value));
  }
  return values;
}

std::string spe_text() {
  std::ostringstream text;
  text << "$SPEC_ID:\ntool test\n$DATE_MEA:\n01/02/2020 03:04:05\n$MEAS_TIM:\n100 125\n$DATA:\n0 "
       << kChannels - 1 << "\n";
  for (const long c : counts()) text << "  " << c << "\n";
  text << "$MCA_CAL:\n2\n" << kOffset << " " << kSlope << " keV\n";
  return text.str();
}

// The same spectrum as text columns of energy and counts.
std::string text_columns() {
  std::ostringstream text;
  text.precision(17);
  const std::vector<long> values = counts();
  for (int i = 0; i < kChannels; ++i) text << kOffset + kSlope * i << " " << values[i] << "\n";
  return text.str();
}

class Instrument : public Tool {
 protected:
  void SetUp() override {
    Tool::SetUp();
    std::ofstream(path("s.Spe")) << spe_text();
    std::ofstream(path("s.dat")) << text_columns();
    spe_ = "'" + path("s.Spe").string() + "'";
  }
  std::string spe_;
};

std::vector<double> means_of(const std::string& json_text) {
  std::vector<double> means;
  const nlohmann::json report = nlohmann::json::parse(json_text);
  for (const auto& peak : report["peaks"]) {
    means.push_back(peak["mean"].get<double>());
  }
  return means;
}

TEST_F(Instrument, PeaksFitsCountsAtCalibratedXChannelsOrAGivenCalibration) {
  const Outcome spe = run("peaks " + spe_ + " --format json");
  ASSERT_EQ(spe.status, 0) << spe.err;
  const Outcome text = run("peaks '" + path("s.dat").string() + "' --counts --format json");
  ASSERT_EQ(text.status, 0) << text.err;
  // The file implies --counts: the same fit as of the text columns with --counts.
  EXPECT_EQ(means_of(spe.out), means_of(text.out));
  const std::vector<double> energies = means_of(spe.out);
  ASSERT_EQ(energies.size(), kLineChannels.size()) << spe.out;
  const std::vector<double> channels =
      means_of(run("peaks " + spe_ + " --channels --format json").out);
  const std::vector<double> replaced =
      means_of(run("peaks " + spe_ + " --calibration 10,2 --format json").out);
  ASSERT_EQ(channels.size(), kLineChannels.size());
  ASSERT_EQ(replaced.size(), kLineChannels.size());
  for (std::size_t i = 0; i < kLineChannels.size(); ++i) {
    EXPECT_NEAR(energies[i], kOffset + kSlope * kLineChannels[i], 0.01);
    EXPECT_NEAR(channels[i], kLineChannels[i], 0.02);
    EXPECT_NEAR(replaced[i], 10.0 + 2.0 * kLineChannels[i], 0.04);
  }
  EXPECT_EQ(run("peaks " + spe_ + " --channels --calibration 1,2").status, 2);
  EXPECT_EQ(run("peaks " + spe_ + " --calibration 1").status, 2);
}

// The same spectrum twice in one N42 file, as a monitor that records several writes them.
std::string n42_of_two() {
  std::ostringstream text;
  text << "<?xml version=\"1.0\"?>\n<RadInstrumentData xmlns=\"http://physics.nist.gov/N42/2011/"
          "N42\"><EnergyCalibration id=\"E\"><CoefficientValues>"
       << kOffset << " " << kSlope << " 0</CoefficientValues></EnergyCalibration>";
  for (int s = 0; s < 2; ++s) {
    text << "<RadMeasurement id=\"M" << s << "\"><RealTimeDuration>PT125S</RealTimeDuration>"
         << "<Spectrum id=\"S" << s << "\" energyCalibrationReference=\"E\"><LiveTimeDuration>"
         << "PT100S</LiveTimeDuration><ChannelData>";
    for (const long c : counts()) text << c << " ";
    text << "</ChannelData></Spectrum></RadMeasurement>";
  }
  text << "</RadInstrumentData>\n";
  return text.str();
}

TEST_F(Instrument, PlotAndReportOfAFileOfSeveralSpectraAreRefusedAloud) {
  std::ofstream(path("two.n42")) << n42_of_two();
  const std::string two = "'" + path("two.n42").string() + "'";
  for (const char* option : {"--html", "--plot"}) {
    SCOPED_TRACE(option);
    const fs::path picture = path(std::string("picture") + (option[2] == 'h' ? ".html" : ".svg"));
    const Outcome outcome = run("peaks " + two + " " + option + " '" + picture.string() + "'");
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("two.n42: holds 2 spectra; " + std::string(option) + " shows one"),
              std::string::npos)
        << outcome.err;
    EXPECT_FALSE(fs::exists(picture));
    // Both spectra are fitted and printed all the same.
    EXPECT_NE(outcome.out.find("two.n42#2"), std::string::npos) << outcome.out;
  }
}

TEST_F(Instrument, InfoReportsFormatTimesDeadTimeAndCalibration) {
  const Outcome table = run("info " + spe_);
  ASSERT_EQ(table.status, 0) << table.err;
  for (const char* line :
       {"format        IAEA SPE", "channels      1024 (0 to 1023)", "live time     100 s",
        "real time     125 s", "dead time     20.000 %", "start time    2020-01-02T03:04:05",
        "calibration   x = 1.5 + 0.5 ch", "sample: tool test"}) {
    EXPECT_NE(table.out.find(line), std::string::npos) << line << "\n" << table.out;
  }
  const Outcome json = run("info " + spe_ + " --format json");
  ASSERT_EQ(json.status, 0) << json.err;
  const auto info = nlohmann::json::parse(json.out);
  EXPECT_EQ(info["format"], "IAEA SPE");
  EXPECT_EQ(info["channels"], kChannels);
  EXPECT_EQ(info["dead_time_percent"], 20.0);
  EXPECT_EQ(info["x_max"], kOffset + kSlope * (kChannels - 1));
  EXPECT_EQ(info["calibration"], nlohmann::json({kOffset, kSlope}));
  double total = 0.0;
  for (const long c : counts()) total += static_cast<double>(c);
  EXPECT_EQ(info["total_counts"], total);
}

TEST_F(Instrument, ConvertWritesEveryChannelAsCsvAndJson) {
  const Outcome csv = run("convert " + spe_ + " --to csv");
  ASSERT_EQ(csv.status, 0) << csv.err;
  std::istringstream lines(csv.out);
  std::string line;
  std::vector<std::string> rows;
  bool header_seen = false;
  while (std::getline(lines, line)) {
    if (line.rfind("# live_time_s: 100", 0) == 0) header_seen = true;
    if (!line.empty() && line[0] != '#') rows.push_back(line);
  }
  EXPECT_TRUE(header_seen) << csv.out.substr(0, 300);
  ASSERT_EQ(rows.size(), kChannels + 1u);
  EXPECT_EQ(rows[0], "channel,x,counts");
  EXPECT_EQ(rows[201], "200,101.5," + std::to_string(counts()[200]));
  const auto json = nlohmann::json::parse(run("convert " + spe_ + " --to json").out);
  EXPECT_EQ(json["counts"].size(), static_cast<std::size_t>(kChannels));
  EXPECT_EQ(json["x"][200], 101.5);
  EXPECT_EQ(json["live_time"], 100.0);
}

TEST_F(Instrument, BadFilesExitWithStatusTwoAndTheOthersStillGo) {
  std::ofstream(path("junk.chn"), std::ios::binary) << std::string("\x01\x02\x03\x00\xff", 5);
  std::ofstream(path("short.Spe")) << "$DATA:\n0 9\n1\n2\n";
  const std::string junk = "'" + path("junk.chn").string() + "'";
  const std::string short_spe = "'" + path("short.Spe").string() + "'";
  // peaks reads what is no instrument file as text columns, and says what is wrong with it as such.
  for (const char* command : {"info", "convert", "peaks --format json"}) {
    SCOPED_TRACE(command);
    const Outcome outcome = run(std::string(command) + " " + junk + " " + short_spe + " " + spe_);
    EXPECT_EQ(outcome.status, 2);
    const std::string why =
        command[0] == 'p' ? ":1: not a text file" : ": not a spectrum file this program reads";
    EXPECT_NE(outcome.err.find(path("junk.chn").string() + why), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find(path("short.Spe").string() + ": $DATA: channels 0 to 9 announced"),
              std::string::npos)
        << outcome.err;
    EXPECT_NE(outcome.out.find(path("s.Spe").string()), std::string::npos);
  }
}

}  // namespace
