#include "app_lib/sys/text.h"

#include <string>

#include "tests/support/test_support.h"

namespace app_lib::sys {
namespace {

using namespace std::string_literals;

TEST(TextTest, TrimsUnicodeWhiteSpaceOnly) {
  struct Case {
    const char* name;
    std::string input;
    std::string trimmed;
  };
  const Case cases[] = {
      {"empty", "", ""},
      {"only blanks", " \t\r\n\v\f", ""},
      {"line ending", "{\"type\":\"ping\"}\r\n", "{\"type\":\"ping\"}"},
      {"inner blanks stay", "  a b\tc  ", "a b\tc"},
      {"ideographic space U+3000", "\xE3\x80\x80x\xE3\x80\x80", "x"},
      {"no-break space U+00A0", "\xC2\xA0x\xC2\xA0", "x"},
      {"line separator U+2028", "\xE2\x80\xA8x\xE2\x80\xA9", "x"},
      {"next line U+0085", "\xC2\x85x\xC2\x85", "x"},
      {"en quad to hair space", "\xE2\x80\x80\xE2\x80\x8Ax\xE2\x80\xAF\xE2\x81\x9F", "x"},
      {"ogham space mark", "\xE1\x9A\x80x", "x"},
      {"zero width space U+200B stays", "\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B"},
      {"byte order mark stays", "\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},
      {"NUL stays", "\0x\0"s, "\0x\0"s},
      {"non-ASCII content kept whole", " 服务 ", "服务"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(trim_white_space(c.input), c.trimmed);
  }
}

TEST(TextTest, NamesTheByteIndexOfInvalidUtf8) {
  struct Case {
    const char* name;
    std::string input;
    std::string error;  // empty: valid
  };
  const Case cases[] = {
      {"ASCII", "plain", ""},
      {"all lengths", "a\xC3\xA9\xE6\x9C\x8D\xF0\x9F\x98\x80", ""},
      {"stray continuation", "ab\x80", "invalid UTF-8 sequence of 1 bytes from index 2"},
      {"0xFF", "\xFF", "invalid UTF-8 sequence of 1 bytes from index 0"},
      {"overlong", "x\xC0\xAF", "invalid UTF-8 sequence of 1 bytes from index 1"},
      {"encoded surrogate", "\xED\xA0\x80", "invalid UTF-8 sequence of 1 bytes from index 0"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", "invalid UTF-8 sequence of 1 bytes from index 0"},
      {"broken after two bytes",
       "ok\xE6\x9C"
       "A",
       "invalid UTF-8 sequence of 2 bytes from index 2"},
      {"cut at the end", "ok\xF0\x9F\x98", "incomplete UTF-8 byte sequence from index 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = validate_utf8(c.input);
    if (c.error.empty()) {
      ASSERT_OK(result);
      EXPECT_EQ(*result, c.input);
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), c.error);
    }
  }
}

TEST(TextTest, ReplacesEachMaximalInvalidSequenceOnce) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string input;
    std::string lossy;
  };
  const Case cases[] = {
      {"valid 服", "valid 服"},
      {"a\xFF"
       "b",
       "a" + fffd + "b"},
      {"\xF0\x9F\x98"
       "x",
       fffd + "x"},                          // one truncated sequence, one mark
      {"\xE0\x80\x80", fffd + fffd + fffd},  // overlong: every byte on its own
      {"\xC3", fffd},
      {"\x80\x80", fffd + fffd},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_lossy(c.input), c.lossy);
}

TEST(TextTest, LowersAsciiOnly) {
  EXPECT_EQ(ascii_lower("AbC-Ä"), "abc-Ä");
}

}  // namespace
}  // namespace app_lib::sys
