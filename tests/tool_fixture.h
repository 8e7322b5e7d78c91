#ifndef VESK_TESTS_TOOL_FIXTURE_H
#define VESK_TESTS_TOOL_FIXTURE_H

// Runs the installed vesk-numerics program in a temporary folder of the test's own.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace vesk::testing {

namespace fs = std::filesystem;

inline const std::string kTool = VESK_TOOL_PATH;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

inline std::string read_file(const fs::path& path) {
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

inline std::size_t count_of(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

/// @p arguments with every {token} of @p files replaced by its file's quoted path.
inline std::string with_files(std::string arguments,
                              const std::vector<std::pair<std::string, std::string>>& files) {
  for (const auto& [token, file] : files) {
    for (std::size_t at = arguments.find(token); at != std::string::npos;
         at = arguments.find(token)) {
      arguments.replace(at, token.size(), file);
    }
  }
  return arguments;
}

/// Checks the exit status, and that the standard error holds @p message, or nothing for "".
inline void expect_outcome(const Outcome& outcome, int status, const std::string& message) {
  EXPECT_EQ(outcome.status, status) << outcome.err;
  if (message.empty()) {
    EXPECT_EQ(outcome.err, "");
  } else {
    EXPECT_NE(outcome.err.find(message), std::string::npos) << outcome.err;
  }
}

}  // namespace vesk::testing

#endif  // VESK_TESTS_TOOL_FIXTURE_H
