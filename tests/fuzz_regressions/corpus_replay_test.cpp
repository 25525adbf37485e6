#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "checks/json_checks.hpp"
#include "checks/targets.hpp"

namespace korvani::fuzz {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> filesIn(const fs::path& dir) {
  std::vector<fs::path> files;
  if (!fs::is_directory(dir)) return files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string readBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Seeds keep guarding the code between fuzzing runs; crash inputs (inputs/<target>/) keep a
// fixed bug fixed.
TEST(FuzzCorpusReplay, EveryCommittedInputKeepsItsTargetsInvariants) {
  ASSERT_FALSE(fuzzTargets().empty());
  for (const FuzzTarget& target : fuzzTargets()) {
    const std::string name(target.name);
    SCOPED_TRACE(name);
    const auto seeds = filesIn(fs::path(KORVANI_FUZZ_CORPUS_DIR) / name);
    // A renamed or emptied corpus folder would make this test pass vacuously.
    EXPECT_GE(seeds.size(), 8u) << "seed corpus of " << name << " is missing or tiny";
    auto inputs = seeds;
    const auto crashes = filesIn(fs::path(KORVANI_FUZZ_CRASH_DIR) / name);
    inputs.insert(inputs.end(), crashes.begin(), crashes.end());
    for (const fs::path& file : inputs) {
      const Violation violation = target.check(readBytes(file));
      EXPECT_FALSE(violation.has_value()) << file.string() << ": " << violation.value_or("");
    }
  }
}

// The number oracle is what makes "numbers keep their text" checkable; a mistake in it would
// hide a bug or report one that is not there.
TEST(FuzzOracles, CanonicalNumberWorksOutValuesFromTextAlone) {
  struct Case {
    const char* text;
    bool negative;
    const char* digits;
    std::int64_t exponent;
  };
  const Case cases[] = {
      {"0", false, "", 0},
      {"-0.000e7", false, "", 0},
      {"0e999999999999999999999", false, "", 0},
      {"100", false, "1", 2},
      {"1e2", false, "1", 2},
      {"-12.50", true, "125", -1},
      {"0.001", false, "1", -3},
      {"4E+2", false, "4", 2},
      {"4e-2", false, "4", -2},
      {"10.25e-3", false, "1025", -5},
      // 39 digits: the last one is rounded half to even into 38.
      {"123456789012345678901234567890123456785", false, "12345678901234567890123456789012345678",
       1},
      {"123456789012345678901234567890123456775", false, "12345678901234567890123456789012345678",
       1},
      {"1234567890123456789012345678901234567751", false, "12345678901234567890123456789012345678",
       2},
      {"999999999999999999999999999999999999995", false, "1", 39},
      {"-1.000000000000000000000000000000000000001", true, "1", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto number = canonicalNumber(c.text);
    ASSERT_TRUE(number.has_value());
    EXPECT_EQ(number->negative, c.negative);
    EXPECT_EQ(number->digits, c.digits);
    EXPECT_EQ(number->exponent, c.exponent);
  }
  for (const char* text : {"", "-", "+1", "012", "-01", "1.", ".5", "1e", "1e+", "1.e2", "0x10",
                           " 1", "1 ", "NaN", "Infinity", "1_000", "--1"}) {
    EXPECT_FALSE(canonicalNumber(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace korvani::fuzz
