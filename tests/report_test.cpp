// The report's JSON text: whatever bytes a file name or a header brings, what is inlined into the
// page is valid UTF-8 and can close no element. The page itself is tested in a browser
// (python/tests/test_report.py).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "report/json_text.h"

namespace {

using vesk::report::append_json_number;
using vesk::report::append_json_string;

std::string json_string(const std::string& text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

TEST(ReportJson, StringsAreEscapedAndBrokenUtf8IsReplaced) {
  const struct {
    std::string text, json;
  } cases[] = {
      {"plain name.dat", "\"plain name.dat\""},
      {"</script><!--", "\"\\u003c/script\\u003e\\u003c!--\""},
      {"a\"b\\c'd&e", "\"a\\\"b\\\\c\\u0027d\\u0026e\""},
      {"tab\tnew\nline\x7f", "\"tab\\u0009new\\u000aline\\u007f\""},
      {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"\xe2\x80\xa8\xe2\x80\xa9", "\"\\u2028\\u2029\""},        // JavaScript line ends
      {"\xff\xfe", "\"\\ufffd\\ufffd\""},                        // never UTF-8
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},                        // overlong '/'
      {"\xe0\x80\xbc", "\"\\ufffd\\ufffd\\ufffd\""},             // overlong '<'
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},             // a surrogate
      {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // above U+10FFFF
      {"\xe2\x82", "\"\\ufffd\\ufffd\""},                        // cut short
      {std::string("nul\0byte", 8), "\"nul\\u0000byte\""},
  };
  for (const auto& c : cases) EXPECT_EQ(json_string(c.text), c.json) << c.text;
}

TEST(ReportJson, RandomBytesNeverYieldMarkupOrBrokenUtf8) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int trial = 0; trial < 2000; ++trial) {
    std::string text(static_cast<std::size_t>(trial % 40), '\0');
    for (char& c : text) c = static_cast<char>(byte(random));
    const std::string json = json_string(text);
    ASSERT_EQ(json.find_first_of("<>&'"), std::string::npos) << json;
    // Every byte above 0x7F belongs to a sequence that the escaper kept, which re-escapes to
    // itself: the output is a fixed point, so it holds no broken UTF-8.
    const std::string inner = json.substr(1, json.size() - 2);
    std::string kept;
    for (std::size_t i = 0; i < inner.size(); ++i) {
      if (static_cast<unsigned char>(inner[i]) >= 0x80) kept += inner[i];
    }
    EXPECT_EQ(json_string(kept), "\"" + kept + "\"");
  }
}

TEST(ReportJson, NumbersAreShortOrExactAndNeverNaN) {
  const struct {
    double value;
    int digits;
    const char* json;
  } cases[] = {
      {0.1, 0, "0.1"},          {1.0 / 3.0, 0, "0.3333333333333333"},
      {1.0 / 3.0, 4, "0.3333"}, {1234567.0, 4, "1.235e+06"},
      {NAN, 0, "null"},         {INFINITY, 6, "null"},
      {-0.0, 0, "-0"},          {42.0, 7, "42"},
  };
  for (const auto& c : cases) {
    std::string out;
    append_json_number(out, c.value, c.digits);
    EXPECT_EQ(out, c.json) << c.value << " " << c.digits;
  }
}

}  // namespace
