#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "checks/checks.hpp"

namespace korvani::fuzz {
namespace {

namespace fs = std::filesystem;

// Seeds keep guarding the code between fuzzing runs; crash inputs (inputs/<target>/) keep a
// fixed bug fixed.
TEST(FuzzCorpusReplay, EveryCommittedInputKeepsItsTargetsInvariants) {
  ASSERT_EQ(fuzzTargets().size(), 4u);
  for (const FuzzTarget& target : fuzzTargets()) {
    std::size_t seeds = 0;
    for (const char* dir : {KORVANI_FUZZ_CORPUS_DIR, KORVANI_FUZZ_CRASH_DIR}) {
      if (!fs::is_directory(fs::path(dir) / target.name)) continue;
      for (const auto& entry : fs::directory_iterator(fs::path(dir) / target.name)) {
        seeds += dir == std::string(KORVANI_FUZZ_CORPUS_DIR);
        std::ostringstream bytes;
        bytes << std::ifstream(entry.path(), std::ios::binary).rdbuf();
        EXPECT_EQ(target.check(bytes.str()), std::nullopt) << entry.path();
      }
    }
    // A renamed or emptied corpus folder would make this test pass vacuously.
    EXPECT_GE(seeds, 8u) << "seed corpus of " << target.name << " is missing or tiny";
  }
}

// The number oracle is what makes "numbers keep their text" checkable; a mistake in it would
// hide a bug or report one that is not there.
TEST(FuzzOracles, CanonicalNumberWorksOutValuesFromTextAlone) {
  const struct {
    std::string text;
    std::optional<CanonicalNumber> value;
  } cases[] = {
      {"-0.000e7", CanonicalNumber{}},
      {"-12.50", CanonicalNumber{true, "125", -1}},
      {"10.25e-3", CanonicalNumber{false, "1025", -5}},
      {"1234567890123456789012345678901234567890.5e-1",
       CanonicalNumber{false, "12345678901234567890123456789012345678905", -2}},
      {"100E+0001", CanonicalNumber{false, "1", 3}},
  };
  for (const auto& c : cases)
    EXPECT_TRUE(canonicalNumber(c.text) == c.value) << c.text;
  for (const char* text :
       {"", "-", "+1", "012", "1.", ".5", "1e+", "1.e2", "0x10", " 1", "1 ", "NaN", "--1"})
    EXPECT_FALSE(canonicalNumber(text)) << text;
}

}  // namespace
}  // namespace korvani::fuzz
