#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "ui/UiText.h"

using namespace quorvane::host;

namespace {

float bytesWide(std::string_view text) { return static_cast<float>(text.size()); }

}  // namespace

TEST(UiText, FitTitleCutsWholeUtf8Sequences) {
  struct Case {
    const char* title;
    float maxWidth;
    const char* expected;
  };
  // One unit of width per byte; each limit would fall inside a sequence if bytes were cut.
  const Case cases[] = {
      {"abcdef", 6, "abcdef"},                                                 // fits exactly: whole
      {"abcdefgh", 6, "abc..."},                                               // ASCII
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 8, "\xC3\xA9\xC3\xA9..."},  // two-byte sequences
      {"\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", 8, "\xE2\x82\xAC..."},          // three-byte sequences
      {"a\xF0\x9F\x8E\xAE\xF0\x9F\x8E\xAE"
       "b",
       7, "a..."},                             // four-byte sequences
      {"abcdefgh", 2, "..."},                  // nothing fits
      {"\x80\x80\x80\x80\x80\x80", 4, "..."},  // stray continuation bytes
  };
  for (const auto& c : cases) {
    EXPECT_EQ(uitext::fitTitle(c.title, c.maxWidth, bytesWide), c.expected) << c.title;
  }
}

TEST(UiText, LogTimeHasThreeDigitMilliseconds) {
  const std::regex form(R"(\d\d:\d\d:\d\d\.(\d{3}))");
  const auto second = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  for (const auto& [offset, fraction] : {std::pair{0, "000"}, {7, "007"}, {45, "045"}, {999, "999"}}) {
    std::smatch match;
    const std::string time = uitext::formatLogTime(second + std::chrono::milliseconds(offset));
    ASSERT_TRUE(std::regex_match(time, match, form)) << time;
    EXPECT_EQ(match[1], fraction);
  }
}
