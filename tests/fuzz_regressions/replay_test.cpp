// Every input under tests/data/fuzz-regressions/<target>/ once crashed or
// hung its target, or is a hostile case kept on purpose. Each goes through
// the same entry the fuzzer calls; an entry that finds a broken invariant
// traps, which fails this test with the file's name in the log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fuzz/fuzz_entries.h"

namespace tavrin::fuzzing {
namespace {

namespace fs = std::filesystem;
using Entry = int (*)(const uint8_t*, size_t);

const std::map<std::string, Entry>& Targets() {
  static const std::map<std::string, Entry> targets = {
      {"markup_fuzz", &MarkupFuzzOne},
      {"last_settings_fuzz", &LastSettingsFuzzOne},
      {"language_index_fuzz", &LanguageIndexFuzzOne},
      {"ui_texts_fuzz", &UiTextsFuzzOne},
      {"channel_block", &ChannelBlockFuzzOne},
  };
  return targets;
}

const fs::path kRoot = TAVRIN_FUZZ_REGRESSIONS_DIR;

std::vector<fs::path> InputsOf(const std::string& target) {
  std::vector<fs::path> files;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(kRoot / target, error)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<uint8_t> Bytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A finding filed under a misspelt folder would never be replayed.
TEST(FuzzRegressions, EveryFolderNamesATarget) {
  ASSERT_TRUE(fs::is_directory(kRoot)) << kRoot;
  int folders = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(kRoot)) {
    ASSERT_TRUE(entry.is_directory()) << entry.path() << " lies outside a target's folder";
    EXPECT_TRUE(Targets().contains(entry.path().filename().string()))
        << entry.path() << " is no fuzz target";
    ++folders;
  }
  EXPECT_GT(folders, 0);
}

class Replay : public testing::TestWithParam<std::string> {};

TEST_P(Replay, EveryInputPasses) {
  const std::vector<fs::path> files = InputsOf(GetParam());
  if (files.empty()) GTEST_SKIP() << "no findings for " << GetParam();
  const Entry entry = Targets().at(GetParam());
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.string());
    const std::vector<uint8_t> bytes = Bytes(file);
    // Printed first: a trap ends the process before gtest can say which.
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
    EXPECT_EQ(entry(bytes.data(), bytes.size()), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, Replay,
                         testing::Values("markup_fuzz", "last_settings_fuzz", "language_index_fuzz",
                                         "ui_texts_fuzz", "channel_block"),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

}  // namespace
}  // namespace tavrin::fuzzing
