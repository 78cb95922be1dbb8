#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "ui/UiText.h"

using namespace quorvane::host;

TEST(UiText, FitTitleCutsWholeUtf8Sequences) {
  // Title, width, result; one unit of width per byte, each limit falling inside a sequence.
  const std::tuple<const char*, float, const char*> cases[] = {
      {"abcdef", 6, "abcdef"},                                                 // fits exactly: whole
      {"abcdefgh", 6, "abc..."},                                               // ASCII
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 8, "\xC3\xA9\xC3\xA9..."},  // two-byte sequences
      {"\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", 8, "\xE2\x82\xAC..."},          // three-byte sequences
      {"a\xF0\x9F\x8E\xAE\xF0\x9F\x8E\xAE\x62", 7, "a..."},                    // four-byte sequences
      {"abcdefgh", 2, "..."},                                                  // nothing fits
      {"\x80\x80\x80\x80\x80\x80", 4, "..."},                                  // stray continuation bytes
  };
  const auto bytesWide = [](std::string_view text) { return static_cast<float>(text.size()); };
  for (const auto& [title, maxWidth, expected] : cases) {
    EXPECT_EQ(uitext::fitTitle(title, maxWidth, bytesWide), expected) << title;
  }
}

TEST(UiText, LogTimeHasThreeDigitMilliseconds) {
  const auto second = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  for (const auto& [offset, fraction] : {std::pair{0, ".000"}, {7, ".007"}, {45, ".045"}, {999, ".999"}}) {
    const std::string time = uitext::formatLogTime(second + std::chrono::milliseconds(offset));
    EXPECT_TRUE(time.size() == 12 && time[2] == ':' && time.ends_with(fraction)) << time;
  }
}
