#include "discovery/version_text.h"

#include <gtest/gtest.h>

#include "case_name.h"

namespace mardo {
namespace {

struct version_case {
  const char* name;
  const char* full;
  const char* shown;
};

class VersionText : public ::testing::TestWithParam<version_case> {};

TEST_P(VersionText, HidesTheAlgorithmPartWhenAlgoIsOff) {
  EXPECT_EQ(format_version_text(GetParam().full, 0), GetParam().shown);
}

TEST_P(VersionText, ShowsTheFullTextWhenAlgoIsOn) {
  EXPECT_EQ(format_version_text(GetParam().full, 1), GetParam().full);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VersionText,
    ::testing::Values(version_case{"SvrAlgoFlash", "V1.0.2.SVR_3.4.5, algo : x1, flash : 16M",
                                   "3.4.5, flash : 16M"},
                      version_case{"AlgoFlashOnly", "algo : x1, flash : 16M", "flash : 16M"},
                      version_case{"AlgoAtEnd", "2.0.1, algo : x1", "2.0.1"},
                      version_case{"Plain", "2.0.1", "2.0.1"},
                      version_case{"SvrOnly", "V9.SVR_1.2.3", "1.2.3"},
                      version_case{"FirstSvrCounts", "A.SVR_B.SVR_C", "B.SVR_C"},
                      version_case{"FlashBeforeAlgo", "3.4.5, flash : 16M, algo : x1",
                                   "3.4.5, flash : 16M"},
                      version_case{"FlashWithoutComma", "build 7 flash : 8M", "flash : 8M"},
                      version_case{"AlgoWithoutCommaIsKept", "3.4 algo : x1", "3.4 algo : x1"},
                      version_case{"Empty", "", ""}),
    case_name());

TEST(VersionText, IsLimitedTo511BytesWithoutSplittingACharacter) {
  EXPECT_EQ(format_version_text(std::string(600, 'a'), 1).size(), 511u);
  // 170 three-byte characters are 510 bytes; one more would straddle the limit.
  std::string chinese;
  for (int i = 0; i < 171; ++i) chinese += "版";
  const std::string shown = format_version_text(chinese, 0);
  EXPECT_EQ(shown.size(), 510u);
  EXPECT_EQ(shown, chinese.substr(0, 510));
}

}  // namespace
}  // namespace mardo
