// Strings as stored values (bytes inline after the header, grown in place by their sole holder), the
// decimal text of ints and the join behind Concat. What scripts see of texts and `len` is in the script
// corpus (tests/scripts/strings, tests/scripts/builtins).
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "vm_engine/limits.h"
#include "vm_engine/pool.h"
#include "vm_engine/text_join.h"
#include "vm_engine/vm.h"

using namespace tarnwick;

namespace {

ValueRef S(std::string_view s) { return ValueRef::string(s); }
ValueRef I(int64_t i) { return ValueRef::integer(i); }

class ScopedLimits {
 public:
  explicit ScopedLimits(Limits l) : saved_(current_limits()) { set_limits(l); }
  ~ScopedLimits() { set_limits(saved_); }

 private:
  Limits saved_;
};

// --- Decimal text of ints ----------------------------------------------------------------------------------

std::vector<int64_t> int_samples() {
  std::vector<int64_t> out = {0, 1, -1, 9, -9, INT64_MAX, INT64_MIN, INT64_MIN + 1};
  // Both sides of every power of ten, where the digit count changes.
  int64_t p = 1;
  for (int d = 0; d < 19; ++d) {
    for (int64_t v : {p - 1, p, p + 1}) {
      out.push_back(v);
      out.push_back(-v);
    }
    if (d < 18) p *= 10;
  }
  for (int64_t v = 1; v > 0 && v < INT64_MAX / 3; v = v * 3 + 1) out.push_back(v);
  return out;
}

TEST(IntText, MatchesTheStandardRenderingAtEveryLength) {
  for (int64_t v : int_samples()) {
    std::string expected = std::to_string(v);
    char buf[24];
    char* end = write_int_text(buf, v);
    EXPECT_EQ(std::string(buf, end), expected) << v;
    EXPECT_EQ(int_text_size(v), expected.size()) << v;
  }
}

// --- String values ------------------------------------------------------------------------------------

// Texts at every length across the recycled block sizes and past them: the bytes and the length survive,
// whatever the block, and copies are distinct values with the same text.
TEST(StringValues, EveryLengthKeepsItsBytes) {
  std::vector<ValueRef> kept;
  for (size_t n = 1; n <= 300; ++n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('a' + (i * 7 + n) % 26));
    ValueRef v = S(text);
    ASSERT_EQ(v.as_string(), text);
    ValueRef copy = shallow_copy(v);
    EXPECT_NE(copy.identity(), v.identity());
    EXPECT_EQ(copy.as_string(), text);
    EXPECT_TRUE(values_equal(copy, v));
    kept.push_back(std::move(v));
  }
  // Blocks recycled after the first round must not disturb what is still held.
  for (size_t n = 1; n <= 300; ++n) {
    ValueRef scratch = S(std::string(n, '#'));
    EXPECT_EQ(kept[n - 1].as_string().size(), n);
    EXPECT_NE(kept[n - 1].as_string()[0], '#');
  }
}

TEST(StringValues, EmbeddedZeroBytesAndUtf8AreData) {
  std::string with_zero("a\0b", 3);
  ValueRef v = S(with_zero);
  EXPECT_EQ(v.as_string().size(), 3u);
  EXPECT_FALSE(values_equal(v, S(std::string("a\0c", 3))));
  EXPECT_TRUE(values_equal(v, S(with_zero)));
  EXPECT_EQ(to_display(S("h\xC3\xA9")), "\"h\xC3\xA9\"");
  // Empty texts are the shared empty string, but a copy of it is a value of its own.
  EXPECT_EQ(S("").identity(), shared_empty_string().identity());
  ValueRef empty_copy = shallow_copy(shared_empty_string());
  EXPECT_NE(empty_copy.identity(), shared_empty_string().identity());
  EXPECT_TRUE(empty_copy.unique());
  EXPECT_EQ(empty_copy.as_string(), "");
}

// Growing one byte at a time crosses every block size; the text must match the same growth of a
// std::string, whether the value stays in its block or moves.
TEST(StringValues, GrowingInPlaceKeepsTheText) {
  ValueRef v = shallow_copy(S("x"));
  std::string expected = "x";
  for (int i = 0; i < 1000; ++i) {
    char c = static_cast<char>('0' + i % 10);
    size_t old = v.as_string().size();
    v.string_grow(old + 1)[old] = c;
    expected.push_back(c);
    ASSERT_EQ(v.as_string(), expected) << i;
    ASSERT_TRUE(v.unique());
  }
  // A large step at once.
  size_t old = v.as_string().size();
  char* bytes = v.string_grow(old + 5000);
  for (size_t i = 0; i < 5000; ++i) bytes[old + i] = 'z';
  EXPECT_EQ(v.as_string(), expected + std::string(5000, 'z'));
}

// --- The join -------------------------------------------------------------------------------------------

std::string join(std::vector<ValueRef> parts, bool* ok = nullptr) {
  bool joined = join_texts(parts.data(), parts.data() + parts.size(), nullptr);
  if (ok != nullptr) *ok = joined;
  return joined ? std::string(parts[0].as_string()) : "<refused>";
}

struct JoinCase {
  const char* label;
  std::vector<ValueRef> parts;
  const char* expected;
};

class Join : public ::testing::TestWithParam<JoinCase> {};

TEST_P(Join, GivesThePlainTextsInOrder) { EXPECT_EQ(join(GetParam().parts), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Texts, Join,
    ::testing::Values(JoinCase{"StringsAndInts", {S("item "), I(42), S(": "), I(-7), S(" of "), I(INT64_MIN)},
                               "item 42: -7 of -9223372036854775808"},
                      JoinCase{"IntFirst", {I(0), S("|"), I(1000000)}, "0|1000000"},
                      JoinCase{"ScalarsOfEveryKind",
                               {S("<"), ValueRef(), ValueRef::boolean(true), ValueRef::floating(2.5),
                                ValueRef::floating(3.0), ValueRef::function("f"), I(5)},
                               "<niltrue2.53.0<function f>5"},
                      JoinCase{"FloatFirst", {ValueRef::floating(0.1), S("x")}, "0.1x"},
                      JoinCase{"NaNAndInfinity", {ValueRef::floating(NAN), S(" "), ValueRef::floating(-INFINITY)},
                               "NaN -inf"},
                      JoinCase{"Utf8PartsStayWhole", {S("\xE2\x82\xAC"), S("h\xC3\xA9")}, "\xE2\x82\xAC" "h\xC3\xA9"}),
    [](const auto& info) { return std::string(info.param.label); });

// Many operands of every short length, ints of every width among them: the join must equal the texts
// appended one by one, for a fresh result and for one extended in place.
TEST(JoinTexts, LongRunsOfShortTextsAndInts) {
  for (bool in_place : {false, true}) {
    std::vector<ValueRef> parts;
    std::string expected = "start";
    parts.push_back(in_place ? shallow_copy(S("start")) : S("start"));
    int64_t n = 7;
    for (size_t len = 0; len <= 40; ++len) {
      std::string text;
      for (size_t i = 0; i < len; ++i) text.push_back(static_cast<char>('A' + (len + i) % 26));
      parts.push_back(S(text));
      expected += text;
      int64_t v = len % 2 == 0 ? n : -n;
      parts.push_back(I(v));
      expected += std::to_string(v);
      n = n < INT64_MAX / 10 ? n * 10 + 3 : 7;
    }
    ASSERT_TRUE(join_texts(parts.data(), parts.data() + parts.size(), nullptr));
    EXPECT_EQ(parts[0].as_string(), expected) << in_place;
  }
}

TEST(JoinTexts, ContainersAreLeftToTheCaller) {
  std::vector<ValueRef> parts = {S("a"), ValueRef::array({I(1)}), S("b")};
  EXPECT_FALSE(join_texts(parts.data(), parts.data() + parts.size(), nullptr));
  EXPECT_EQ(parts[0].as_string(), "a");  // nothing changed
  EXPECT_EQ(parts[1].kind(), ValueKind::Array);
}

TEST(JoinTexts, AllEmptyGivesTheSharedEmptyString) {
  std::vector<ValueRef> parts = {ValueRef::integer(1), S("")};
  parts[0] = S("");
  ASSERT_TRUE(join_texts(parts.data(), parts.data() + 2, nullptr));
  EXPECT_EQ(parts[0].identity(), shared_empty_string().identity());
}

// The first operand grows in place only when nothing else holds it; other holders keep their text.
TEST(JoinTexts, SharedFirstOperandIsNotChanged) {
  for (bool rendered : {false, true}) {
    ValueRef other = shallow_copy(S("base"));
    std::vector<ValueRef> parts = {other, rendered ? ValueRef::floating(1.5) : I(15)};
    ASSERT_TRUE(join_texts(parts.data(), parts.data() + 2, nullptr));
    EXPECT_EQ(parts[0].as_string(), rendered ? "base1.5" : "base15");
    EXPECT_EQ(other.as_string(), "base");
    EXPECT_NE(parts[0].identity(), other.identity());
  }
}

TEST(JoinTexts, SoleHolderGrowsInPlace) {
  for (bool rendered : {false, true}) {
    std::vector<ValueRef> parts = {shallow_copy(S("ab")), rendered ? ValueRef() : I(7)};
    const void* before = parts[0].identity();
    ASSERT_TRUE(join_texts(parts.data(), parts.data() + 2, nullptr));
    EXPECT_EQ(parts[0].as_string(), rendered ? "abnil" : "ab7");
    EXPECT_EQ(parts[0].identity(), before);  // room in its block: not moved
  }
}

// The register about to be overwritten by the result is let go first, so the text can grow in place; the
// register ends up nil and no other holder sees a change.
TEST(JoinTexts, AliasIsReleasedForTheResult) {
  ValueRef reg = shallow_copy(S("line"));
  std::vector<ValueRef> parts = {reg, I(3)};
  const void* before = reg.identity();
  ASSERT_TRUE(join_texts(parts.data(), parts.data() + 2, &reg));
  EXPECT_TRUE(reg.is_nil());
  EXPECT_EQ(parts[0].as_string(), "line3");
  EXPECT_EQ(parts[0].identity(), before);

  ValueRef keeper = shallow_copy(S("line"));
  ValueRef reg2 = keeper;
  std::vector<ValueRef> parts2 = {keeper, I(4)};
  ASSERT_TRUE(join_texts(parts2.data(), parts2.data() + 2, &reg2));
  EXPECT_EQ(parts2[0].as_string(), "line4");
  EXPECT_EQ(keeper.as_string(), "line");
}

// The register the result replaces gives its block when nothing else holds it and the result fits without
// wasting it; otherwise the register keeps its value.
TEST(JoinTexts, TargetBlockReusedOnlyWhenFreeAndFitting) {
  struct Case {
    const char* label;
    size_t old_size;
    bool shared;
    bool reused;
  };
  // The result takes 22 bytes; blocks hold whole 16-byte steps.
  for (const Case& c : {Case{"fits", 20, false, true}, Case{"shared", 20, true, false},
                        Case{"too small", 1, false, false}, Case{"far too large", 500, false, false}}) {
    ValueRef reg = S(std::string(c.old_size, 'o'));
    ValueRef other = c.shared ? reg : ValueRef();
    const void* old = reg.identity();
    std::vector<ValueRef> parts = {I(12), S(std::string(20, 'a'))};
    ASSERT_TRUE(join_texts(parts.data(), parts.data() + 2, &reg)) << c.label;
    EXPECT_EQ(parts[0].as_string(), "12" + std::string(20, 'a')) << c.label;
    EXPECT_EQ(parts[0].identity() == old, c.reused) << c.label;
    if (c.reused) {
      EXPECT_TRUE(reg.is_nil()) << c.label;
    } else {
      EXPECT_EQ(reg.as_string(), std::string(c.old_size, 'o')) << c.label;
    }
  }
}

// Past the rendering limit the join refuses (and lets go of nothing); up to it, it joins.
TEST(JoinTexts, RenderingLimitIsExact) {
  Limits l;
  l.max_value_bytes = 10000;
  ScopedLimits limits(l);
  for (bool rendered : {false, true}) {
    for (size_t extra : {0, 1}) {
      // 9990 bytes of text plus a 10-byte part: "1234567890" as an int, or "1234567.25" as a float.
      ValueRef tail = rendered ? ValueRef::floating(1234567.25) : I(1234567890);
      ValueRef big = S(std::string(9990 + extra, 'x'));
      ValueRef reg = big;
      std::vector<ValueRef> parts = {big, tail};
      bool ok = join_texts(parts.data(), parts.data() + 2, &reg);
      EXPECT_EQ(ok, extra == 0) << rendered;
      if (ok) {
        EXPECT_EQ(parts[0].as_string().size(), 10000u);
      } else {
        EXPECT_EQ(reg.identity(), big.identity());
        EXPECT_EQ(parts[0].as_string().size(), 9990 + extra);
      }
    }
  }
}

}  // namespace
