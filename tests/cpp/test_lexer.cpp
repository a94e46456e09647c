#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "parser/lexer.h"
#include "parser/token.h"

using namespace tarnwick;

namespace {

// The debug forms of all tokens before Eof, space-separated; or "error: {message}".
std::string lexed(std::string_view source) {
  auto result = tokenize(source);
  if (!result.ok()) return "error: " + result.error().message;
  const auto& tokens = result.value();
  EXPECT_FALSE(tokens.empty());
  if (tokens.empty()) return "<no tokens>";
  EXPECT_EQ(tokens.back().kind, TokenKind::Eof);
  std::string out;
  for (size_t i = 0; i + 1 < tokens.size(); ++i) {
    if (!out.empty()) out += ' ';
    out += token_debug(tokens[i]);
  }
  return out;
}

// "line:column" of every token, Eof included.
std::string positions(std::string_view source) {
  auto result = tokenize(source);
  if (!result.ok()) return "error: " + result.error().message;
  std::string out;
  for (const Token& t : result.value()) {
    if (!out.empty()) out += ' ';
    out += std::to_string(t.line) + ":" + std::to_string(t.column);
  }
  return out;
}

struct Case {
  std::string source;
  std::string expected;
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << '[' << c.source << ']'; }

class LexerKinds : public testing::TestWithParam<Case> {};
TEST_P(LexerKinds, ProducesTokens) { EXPECT_EQ(lexed(GetParam().source), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Keywords, LexerKinds,
    testing::Values(
        Case{"fn if in or is let for nil try and not div int",
             "Fn If In Or Is Let For Nil Try And Not Div IntType"},
        Case{"else enum case true null bool void", "Else Enum Case Bool(true) Null BoolType VoidType"},
        Case{"false const while break class scene match catch throw async await yield float _draw",
             "Bool(false) Const While Break Class Class Switch Catch Throw Async Await Yield FloatType OnNodeDraw"},
        Case{"return struct _ready string _update finally on_draw on_exit continue on_start on_update",
             "Return Struct OnReady StringType OnNodeUpdate Finally OnDraw OnExit Continue OnStart OnUpdate"},
        // Words that name kinds but are not reserved, and near misses of reserved words.
        Case{"self import switch default True Fn lets _ x1 __init__",
             "Identifier(\"self\") Identifier(\"import\") Identifier(\"switch\") Identifier(\"default\") "
             "Identifier(\"True\") Identifier(\"Fn\") Identifier(\"lets\") Identifier(\"_\") Identifier(\"x1\") "
             "Identifier(\"__init__\")"},
        Case{"as pub super node then", "Identifier(\"as\") Identifier(\"pub\") Identifier(\"super\") "
                                       "Identifier(\"node\") Identifier(\"then\")"}));

// A keyword is found from the word's first eight bytes and its length: words that share a prefix, a length
// or all of those eight bytes with one, and words too close to the end of the input for an eight-byte read.
INSTANTIATE_TEST_SUITE_P(
    KeywordNearMisses, LexerKinds,
    testing::Values(
        Case{"whilex i in_ on_updat on_updata on_updatex truex fals _drawx continues",
             "Identifier(\"whilex\") Identifier(\"i\") Identifier(\"in_\") Identifier(\"on_updat\") "
             "Identifier(\"on_updata\") Identifier(\"on_updatex\") Identifier(\"truex\") Identifier(\"fals\") "
             "Identifier(\"_drawx\") Identifier(\"continues\")"},
        Case{"x in", "Identifier(\"x\") In"}, Case{"on_update", "OnUpdate"}, Case{"on_updat", "Identifier(\"on_updat\")"},
        Case{"continue", "Continue"}, Case{"true", "Bool(true)"}, Case{"fa", "Identifier(\"fa\")"},
        Case{"if(x)return\"s\"", "If LeftParen Identifier(\"x\") RightParen Return String(\"s\")"},
        Case{"abcdefghijklmnopqrstuvwxyz_0123456789 let", "Identifier(\"abcdefghijklmnopqrstuvwxyz_0123456789\") Let"}));

INSTANTIATE_TEST_SUITE_P(
    Operators, LexerKinds,
    testing::Values(
        Case{"! != % %= & && &=", "Not Neq Percent PercentEq BitwiseAnd And AmpEq"},
        Case{"* ** *= **= + ++ += - -= ->", "Star Power StarEq PowerEq Plus PlusPlus PlusEq Minus MinusEq Arrow"},
        Case{". .. ..= ... : :: < << <= <<=", "Dot DotDot DotDotEq Ellipsis Colon DoubleColon Lt LeftShift Lte LShiftEq"},
        Case{"= == => > >> >= >>=", "Assign Eq FatArrow Gt RightShift Gte RShiftEq"},
        Case{"? ?. ?? ?\?= ^ ^= | |= |> ||", "Question QuestionDot Nullish NullishEq BitwiseXor CaretEq BitwiseOr "
                                          "PipeEq PipeGt Or"},
        Case{"()[]{},;@~", "LeftParen RightParen LeftBracket RightBracket LeftBrace RightBrace Comma Semicolon At "
                           "BitwiseNot"},
        Case{"/ /= //", "Slash SlashEq SlashSlash"},
        Case{"a//b", "Identifier(\"a\") SlashSlash Identifier(\"b\")"},
        Case{"a///b\nc", "Identifier(\"a\") Identifier(\"c\")"},
        Case{"x?\?=y", "Identifier(\"x\") NullishEq Identifier(\"y\")"},
        Case{"x?.y a?b", "Identifier(\"x\") QuestionDot Identifier(\"y\") Identifier(\"a\") Question "
                         "Identifier(\"b\")"},
        // Longest match looks two ahead only: four characters split.
        Case{"****= <<<= ....", "Power PowerEq LeftShift Lte Ellipsis Dot"},
        Case{"a...b", "Identifier(\"a\") Ellipsis Identifier(\"b\")"},
        // Endings right after the first character of a multi-character spelling.
        Case{"*", "Star"}, Case{"?", "Question"}, Case{".", "Dot"}, Case{"..", "DotDot"}, Case{"<<", "LeftShift"}));

INSTANTIATE_TEST_SUITE_P(
    Skipped, LexerKinds,
    testing::Values(Case{"", ""}, Case{" \t\r\n  \n", ""}, Case{"# only a comment", ""},
                    Case{"/// only a comment", ""}, Case{"/* a /* b */ c */ x", "Identifier(\"x\")"},
                    Case{"/**/x/*/ */y", "Identifier(\"x\") Identifier(\"y\")"},
                    Case{"a # c \"unterminated\nb", "Identifier(\"a\") Identifier(\"b\")"},
                    // Non-ASCII outside strings and stray '$' vanish without a token.
                    Case{"naïve", "Identifier(\"na\") Identifier(\"ve\")"}, Case{"$x", "Identifier(\"x\")"},
                    Case{"€ $ $", ""}, Case{"\xF0\x9F\x98\x80+", "Plus"}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, LexerKinds,
    testing::Values(
        Case{"0 7 1_000 007", "Int(0) Int(7) Int(1000) Int(7)"},
        Case{"0b1010 0B11 0o17 0O7 0xff 0XFF 0x_ 0x_1_0", "Int(10) Int(3) Int(15) Int(7) Int(255) Int(255) Int(0) Int(16)"},
        Case{"9223372036854775807 9223372036854775808 99999999999999999999",
             "Int(9223372036854775807) Int(0) Int(0)"},
        Case{"0x7fffffffffffffff 0x8000000000000000 0b12 0o78 0x1g",
             "Int(9223372036854775807) Int(0) Int(1) Int(2) Int(7) Int(8) Int(1) Identifier(\"g\")"},
        Case{"1.0 2.5 1e3 2.5e-1 1E+2 1_0.2_5 3e0", "Float(1.0) Float(2.5) Float(1000.0) Float(0.25) Float(100.0) "
                                                  "Float(10.25) Float(3.0)"},
        Case{"1e999 1e-999 1e99999999999999999999999 0.000e999999", "Float(inf) Float(0.0) Float(inf) Float(0.0)"},
        Case{"1..5 1..=5 1...5", "Int(1) DotDot Int(5) Int(1) DotDotEq Int(5) Int(1) Ellipsis Int(5)"},
        Case{".5 -5 1.5.2", "Dot Int(5) Minus Int(5) Float(1.5) Dot Int(2)"},
        Case{"123abc 1_", "Int(123) Identifier(\"abc\") Int(1)"},
        // Eighteen digits, then texts long enough to need the range check (underscores count as length).
        Case{"999999999999999999 000000000000000000042 9_223_372_036_854_775_807",
             "Int(999999999999999999) Int(42) Int(9223372036854775807)"},
        Case{"1_000_000_000_000_000_000 9_223_372_036_854_775_808 18446744073709551617 10_000_000_000_000_000_000",
             "Int(1000000000000000000) Int(0) Int(0) Int(0)"}));

INSTANTIATE_TEST_SUITE_P(
    Strings, LexerKinds,
    testing::Values(
        Case{R"("a" 'b' "it's" 'say "hi"' "")", R"(String("a") String("b") String("it's") String("say \"hi\"") String(""))"},
        Case{R"("\n\r\t\0\a\b\\\"\'")", R"(String("\n\r\t\0\u{7}\u{8}\\\"'"))"},
        Case{"\"\"\"a\nb\"\"\" '''x'''", "String(\"a\\nb\") String(\"x\")"},
        Case{R"("""a\qb\n\a\"""" x)", R"(String("aqb\na\"") Identifier("x"))"},
        Case{"\"\"\"a\\\nb\"\"\"", "String(\"a\\nb\")"},
        Case{R"("""""" """a"""" ")", R"(String("") String("a") String(" "))"},
        Case{R"("""x""y""")", R"(String("x\"\"y"))"},
        Case{R"(r"a\nb" R'\' r"")", R"(String("a\\nb") String("\\") String(""))"},
        Case{"\"é\" \"\xF0\x9F\x98\x80\"", "String(\"é\") String(\"\xF0\x9F\x98\x80\")"}));

INSTANTIATE_TEST_SUITE_P(
    FStrings, LexerKinds,
    testing::Values(
        Case{R"(f"x" F'x' $"x" $'x')", R"(FString("x") FString("x") FString("x") FString("x"))"},
        Case{R"(f"{{a}}")", R"(FString("\0{a}\0"))"}, Case{R"(f"{a}")", R"(FString("{a}"))"},
        Case{R"(f"{d["k"]}")", R"(FString("{d[\"k\"]}"))"},
        Case{R"(f"a\qb" f"\n\t\0\"\\")", R"(FString("aqb") FString("\n\t0\"\\"))"},
        // Inside braces backslashes are kept and doubled braces change depth like single ones.
        Case{R"(f"{a["\n"]}" f"{ {{x}} }")", R"(FString("{a[\"\\n\"]}") FString("{ {{x}} }"))"},
        Case{R"(f"}}{{" f"}x")", R"(FString("}\0\0{") FString("}x"))"},
        Case{"f\"a\\\nb\"", "FString(\"a\\nb\")"},
        Case{R"(fx"a" rf"b")", R"(Identifier("fx") String("a") Identifier("rf") String("b"))"}));

struct PosCase {
  std::string source;
  std::string expected;
};
std::ostream& operator<<(std::ostream& os, const PosCase& c) { return os << '[' << c.source << ']'; }

class LexerPositions : public testing::TestWithParam<PosCase> {};
TEST_P(LexerPositions, RecordsStartOfEachToken) { EXPECT_EQ(positions(GetParam().source), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Rules, LexerPositions,
    testing::Values(PosCase{"let x = 5", "1:1 1:5 1:7 1:9 1:10"}, PosCase{"", "1:1"}, PosCase{"a\nb", "1:1 2:1 2:2"},
                    PosCase{"\"é\" x", "1:1 1:5 1:6"}, PosCase{"\t\r x", "1:4 1:5"},
                    PosCase{"\"\xF0\x9F\x98\x80\" x", "1:1 1:5 1:6"},
                    PosCase{"/* é\n é */ x # ü", "2:7 2:12"}, PosCase{"x # é", "1:1 1:6"},
                    PosCase{"\"\"\"a\nbc\"\"\" x", "1:1 2:7 2:8"}, PosCase{"\"a\\\nb\" 1", "error: Unknown escape sequence: \\\n"},
                    PosCase{"  r\"x\" f'y' $\"z\"", "1:3 1:8 1:13 1:17"}, PosCase{"ü$ü x", "1:5 1:6"},
                    PosCase{"a <<= b", "1:1 1:3 1:7 1:8"}, PosCase{"\n\n", "3:1"},
                    PosCase{"f\"{\n}\"", "error: Lexer error at 1:4: Unterminated f-string \u2014 newline inside string"},
                    // Runs of blanks of every length, also at the end of the input.
                    PosCase{std::string("a").append(20, ' ').append("b"), "1:1 1:22 1:23"},
                    PosCase{std::string("x").append(9, ' '), "1:1 1:11"},
                    PosCase{std::string("\n").append(12, ' ').append("y \t \t z"), "2:13 2:19 2:20"},
                    PosCase{std::string(8, ' ').append("é x").append(16, ' ').append("é"), "1:11 1:29"},
                    // Columns after an f-string body read as it stands and after one that is rewritten.
                    PosCase{"f\"é{x}\" y", "1:1 1:9 1:10"}, PosCase{"f\"é\\n{x}\" y", "1:1 1:11 1:12"},
                    PosCase{"'é\\n' y", "1:1 1:7 1:8"}));

struct ErrCase {
  std::string source;
  std::string message;
};
std::ostream& operator<<(std::ostream& os, const ErrCase& c) { return os << '[' << c.source << ']'; }

class LexerErrors : public testing::TestWithParam<ErrCase> {};
TEST_P(LexerErrors, FailsWithExactText) {
  auto result = tokenize(GetParam().source);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message, GetParam().message);
}

const std::string kNl = " \u2014 newline inside string";

INSTANTIATE_TEST_SUITE_P(
    Strings, LexerErrors,
    testing::Values(
        ErrCase{"\"abc", "Lexer error at 1:5: Unterminated string literal"},
        ErrCase{"\"", "Lexer error at 1:2: Unterminated string literal"},
        ErrCase{"x\n  'ab", "Lexer error at 2:6: Unterminated string literal"},
        ErrCase{"\"a\\n", "Lexer error at 1:5: Unterminated string literal"},
        ErrCase{"\"ab\nc\"", "Lexer error at 1:4: Unterminated string" + kNl},
        ErrCase{"\"a\\", "Lexer error at 1:4: Unterminated escape sequence"},
        ErrCase{"\"a\\qb\"", "Unknown escape sequence: \\q"},
        ErrCase{"\"\\é\"", "Unknown escape sequence: \\é"},
        ErrCase{std::string("\"\\\0\"", 4), std::string("Unknown escape sequence: \\\0", 27)},
        ErrCase{"\"\"\"", "Lexer error at 1:4: Unterminated triple-quoted string"},
        ErrCase{"'''a\nb''", "Lexer error at 2:4: Unterminated triple-quoted string"},
        ErrCase{"\"\"\"ab\\", "Lexer error at 1:7: Unterminated escape in triple-quoted string"},
        ErrCase{"r\"ab", "Lexer error at 1:5: Unterminated raw string literal"},
        ErrCase{"r'", "Lexer error at 1:3: Unterminated raw string literal"},
        ErrCase{"R\"a\nb\"", "Lexer error at 1:4: Unterminated raw string" + kNl},
        ErrCase{"f\"ab", "Lexer error at 1:5: Unterminated f-string"},
        ErrCase{"$'", "Lexer error at 1:3: Unterminated f-string"},
        ErrCase{"f\"{x\"", "Lexer error at 1:6: Unterminated f-string"},
        ErrCase{"f\"a\nb\"", "Lexer error at 1:4: Unterminated f-string" + kNl},
        ErrCase{"f\"a\\", "Lexer error at 1:5: Unterminated escape in f-string"}));

INSTANTIATE_TEST_SUITE_P(
    NumbersAndComments, LexerErrors,
    testing::Values(
        ErrCase{"0x", "Lexer error at 1:3: Expected hex digits after '0x'"},
        ErrCase{"0XG", "Lexer error at 1:3: Expected hex digits after '0x'"},
        ErrCase{"x 0b2", "Lexer error at 1:5: Expected binary digits after '0b'"},
        ErrCase{"0O", "Lexer error at 1:3: Expected octal digits after '0o'"},
        ErrCase{"1.", "Lexer error at 1:3: Expected digits after decimal point"},
        ErrCase{"1.x", "Lexer error at 1:3: Expected digits after decimal point"},
        ErrCase{"1._5", "Lexer error at 1:3: Expected digits after decimal point"},
        ErrCase{"1e", "Lexer error at 1:3: Expected digits in scientific notation exponent"},
        ErrCase{"2.5E+", "Lexer error at 1:6: Expected digits in scientific notation exponent"},
        ErrCase{"1else", "Lexer error at 1:3: Expected digits in scientific notation exponent"},
        ErrCase{"1e_5", "Lexer error at 1:3: Expected digits in scientific notation exponent"},
        ErrCase{"/* a /* b */", "Unterminated block comment at 1:1"},
        ErrCase{"x\n  /*", "Unterminated block comment at 2:3"},
        ErrCase{"/*/", "Unterminated block comment at 1:1"}));

INSTANTIATE_TEST_SUITE_P(
    UnexpectedCharacters, LexerErrors,
    testing::Values(ErrCase{"a \\ b", "Unexpected character: '\\\\'"}, ErrCase{"`", "Unexpected character: '`'"},
                    ErrCase{std::string("x\0", 2), "Unexpected character: '\\0'"},
                    ErrCase{"\x7f", "Unexpected character: '\\u{7f}'"},
                    ErrCase{"\v", "Unexpected character: '\\u{b}'"},
                    ErrCase{"\f", "Unexpected character: '\\u{c}'"},
                    ErrCase{"\x1b", "Unexpected character: '\\u{1b}'"},
                    // The first error wins, even when a later one would be reported differently.
                    ErrCase{"` \"abc", "Unexpected character: '`'"}));

TEST(LexerValues, PayloadsAndValueTexts) {
  auto result = tokenize("x += 1.0 2.5 1e20 0.1 1e-7 1e999 42 true false \"s\" f\"{a}\" ** ?\?= .. + ; nil");
  ASSERT_TRUE(result.ok());
  std::vector<std::string> texts;
  for (const Token& t : result.value()) texts.push_back(token_value_text(t));
  EXPECT_EQ(texts, (std::vector<std::string>{"x", "+=", "1", "2.5", "100000000000000000000", "0.1", "0.0000001",
                                             "inf", "42", "true", "false", "s", "{a}", "", "?\?=", "..", "", "",
                                             "", ""}));
}

TEST(LexerValues, ValueTextsOfTokensBuiltElsewhere) {
  Token t;
  t.kind = TokenKind::Int;
  t.int_value = std::numeric_limits<int64_t>::min();
  EXPECT_EQ(token_value_text(t), "-9223372036854775808");
  t.kind = TokenKind::Float;
  t.float_value = -std::numeric_limits<double>::infinity();
  EXPECT_EQ(token_value_text(t), "-inf");
  t.float_value = -0.5;
  EXPECT_EQ(token_value_text(t), "-0.5");
  EXPECT_EQ(token_value_text(Token::simple(TokenKind::Pipe, 0, 0)), "");
  EXPECT_EQ(token_value_text(Token::simple(TokenKind::PipeGt, 0, 0)), "|>");
}

// Large floats are written with their shortest round-trip digits padded by zeros, not with the exact
// binary value: 1e23 is stored as 99999999999999991611392 but reads back from "1" and 23 zeros.
TEST(LexerValues, FloatTextsUseTheShortestDigits) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"1e23", "100000000000000000000000"},
      {"1e31", "10000000000000000000000000000000"},
      {"18446744073709551616.0", "18446744073709552000"},
      {"123456789012345678901234567890.5", "123456789012345680000000000000"},
      {"4.35e17", "435000000000000000"},
      {"9007199254740993.0", "9007199254740992"},
      {"0.3", "0.3"},
      {"2.5e-5", "0.000025"},
      {"1234.5678", "1234.5678"},
  };
  for (const auto& [source, text] : cases) {
    auto result = tokenize(source);
    ASSERT_TRUE(result.ok()) << source;
    EXPECT_EQ(token_value_text(result.value()[0]), text) << source;
  }
}

TEST(LexerValues, SpellingsOnlyForTheListedOperators) {
  std::set<TokenKind> spelled;
  for (int k = 0; k < kTokenKindCount; ++k) {
    auto kind = static_cast<TokenKind>(k);
    if (kind == TokenKind::Int || kind == TokenKind::Float || kind == TokenKind::Bool) continue;
    Token t = Token::simple(kind, 1, 1);
    if (!token_value_text(t).empty()) spelled.insert(kind);
  }
  EXPECT_EQ(spelled.size(), 25u);
  EXPECT_FALSE(spelled.count(TokenKind::Plus));
  EXPECT_FALSE(spelled.count(TokenKind::Eq));
  EXPECT_TRUE(spelled.count(TokenKind::Ellipsis));
}

TEST(TokenNames, KindAndTypeNames) {
  std::set<std::string_view> names;
  for (int k = 0; k < kTokenKindCount; ++k) names.insert(kind_name(static_cast<TokenKind>(k)));
  EXPECT_EQ(names.size(), size_t(kTokenKindCount));
  EXPECT_EQ(kind_name(TokenKind::Identifier), "Identifier");
  EXPECT_EQ(kind_name(TokenKind::SelfKw), "SelfKw");
  EXPECT_EQ(kind_name(TokenKind::NullishEq), "NullishEq");
  EXPECT_EQ(kind_name(TokenKind::Eof), "Eof");
  EXPECT_EQ(token_type_name(TokenKind::Identifier), "Ident");
  EXPECT_EQ(token_type_name(TokenKind::SelfKw), "Self");
  EXPECT_EQ(token_type_name(TokenKind::OnNodeUpdate), "OnNodeUpdate");
}

TEST(TokenNames, FloatDebugForms) {
  const std::vector<std::pair<double, std::string>> cases = {
      {1.0, "Float(1.0)"},        {2.5, "Float(2.5)"},         {1e16, "Float(1e16)"},
      {1.5e16, "Float(1.5e16)"},  {9999999999999998.0, "Float(9999999999999998.0)"},
      {1e-4, "Float(0.0001)"},    {1e-5, "Float(1e-5)"},       {-1.25e-7, "Float(-1.25e-7)"},
      {0.0, "Float(0.0)"},        {-0.0, "Float(-0.0)"},       {1e300, "Float(1e300)"},
      {std::numeric_limits<double>::infinity(), "Float(inf)"},
      {std::nan(""), "Float(NaN)"}};
  for (const auto& [value, expected] : cases) {
    Token t;
    t.kind = TokenKind::Float;
    t.float_value = value;
    EXPECT_EQ(token_debug(t), expected);
  }
}

TEST(TokenNames, TextDebugFormsEscape) {
  Token t;
  t.kind = TokenKind::String;
  t.text = std::string("q\"b\\n\n\x01\x7f\0é\xC2\x85", 13);
  EXPECT_EQ(token_debug(t), "String(\"q\\\"b\\\\n\\n\\u{1}\\u{7f}\\0é\\u{85}\")");
  t.kind = TokenKind::SelfKw;
  EXPECT_EQ(token_debug(t), "SelfKw");
}

TEST(LexerRobustness, IllFormedUtf8BecomesReplacementCharacters) {
  // Each ill-formed sequence is one U+FFFD: dropped outside strings, kept (and counted once) inside.
  EXPECT_EQ(lexed("a\xFF" "b"), "Identifier(\"a\") Identifier(\"b\")");
  EXPECT_EQ(lexed("\"\xC3\" x"), "String(\"\xEF\xBF\xBD\") Identifier(\"x\")");
  EXPECT_EQ(positions("\"\xE2\x82\" x"), "1:1 1:5 1:6");               // truncated sequence: one U+FFFD
  EXPECT_EQ(positions("\"\xED\xA0\x80\" x"), "1:1 1:5 1:6");           // encoded surrogate: one U+FFFD
  EXPECT_EQ(positions("\"\xC0\xAF\" x"), "1:1 1:6 1:7");               // overlong: two bytes, two U+FFFD
  EXPECT_EQ(lexed("\"\\\xFF\""), "error: Unknown escape sequence: \\\xEF\xBF\xBD");
  EXPECT_EQ(lexed("\xF4\x90\x80\x80"), "");
}

TEST(LexerRobustness, DeepNestingAndLongInputs) {
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "/*";
  for (int i = 0; i < 200000; ++i) deep += "*/";
  EXPECT_EQ(lexed(deep + "x"), "Identifier(\"x\")");
  EXPECT_EQ(lexed(deep.substr(0, deep.size() - 2)), "error: Unterminated block comment at 1:1");

  std::string braces = "f\"";
  for (int i = 0; i < 50000; ++i) braces += "{a";
  auto unclosed = tokenize(braces + "\"");  // the quote sits at depth 50000, so it does not close
  ASSERT_FALSE(unclosed.ok());
  EXPECT_EQ(unclosed.error().message, "Lexer error at 1:100004: Unterminated f-string");

  EXPECT_EQ(lexed(std::string(5000, '9')), "Int(0)");
  EXPECT_EQ(lexed("0." + std::string(5000, '0') + "1"), "Float(0.0)");
  EXPECT_EQ(lexed(std::string(400, '1') + ".5"), "Float(inf)");
  EXPECT_EQ(lexed("0x" + std::string(5000, '_')), "Int(0)");
}

TEST(LexerRobustness, EveryPrefixOfAMixedSourceLexesOrFailsCleanly) {
  const std::string source =
      "let s = f\"{a[\"k\"]} {{x}}\" + r'raw' + \"\"\"tri\\\"ple\"\"\" # c\n/* n /* e */ */ x ?\?= 0x1F_ + 1_0.5e-3";
  for (size_t len = 0; len <= source.size(); ++len) {
    auto result = tokenize(std::string_view(source).substr(0, len));
    if (result.ok()) {
      ASSERT_FALSE(result.value().empty());
      EXPECT_EQ(result.value().back().kind, TokenKind::Eof);
    } else {
      EXPECT_FALSE(result.error().message.empty());
    }
  }
  EXPECT_EQ(lexed(source), "Let Identifier(\"s\") Assign FString(\"{a[\\\"k\\\"]} \\0{x}\\0\") Plus String(\"raw\") "
                           "Plus String(\"tri\\\"ple\") Identifier(\"x\") NullishEq Int(31) Plus Float(0.0105)");
}

TEST(LexerRobustness, LexerObjectCanTokenizeTwiceAndOutlivesItsSource) {
  std::string* text = new std::string("a + 1");
  Lexer lexer(*text);
  delete text;
  auto first = lexer.tokenize();
  auto second = lexer.tokenize();
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(first.value().size(), 4u);
  EXPECT_EQ(second.value().size(), 4u);
  EXPECT_EQ(second.value()[2].int_value, 1);
}

// A short fraction is turned into a double without a general reader; every value must still be the
// correctly rounded one (strtod's), including where the short way no longer applies.
TEST(LexerValues, FloatsAreCorrectlyRounded) {
  const std::vector<std::string> texts = {
      "2.5", "0.1", "3.14159", "0.30000000000000004", "1.7976931348623157", "4.9406564584124654",
      "0.000000000000000001", "0.12345678901234567", "12345678901234567.8", "123456789012345678.9",
      "9007199254740993.0", "9007199254740992.5", "9007199254740995.0", "99999999999999999.9",
      "1_0.5", "3.1_4", "7.0e1", "12.5e-3", "8.5e22", "9007199254740993e-3", "0.1e23", "1234567890123456789e-10"};
  for (const std::string& text : texts) {
    std::string digits;
    for (char ch : text) {
      if (ch != '_') digits += ch;
    }
    auto result = tokenize(text);
    ASSERT_TRUE(result.ok()) << text;
    ASSERT_EQ(result.value()[0].kind, TokenKind::Float) << text;
    EXPECT_EQ(result.value()[0].float_value, std::strtod(digits.c_str(), nullptr)) << text;
  }
}

// The parser takes tokens a window at a time: whatever the window size and however many tokens the reader
// keeps, the tokens (with positions) and the error are those of tokenize().
TEST(LexerWindow, RefillGivesTheTokensOfTokenize) {
  const std::vector<std::string> sources = {
      "let s = f\"{a} {{b}}\" + \"plain\" + \"esc\\n\" + r'raw' # note\n"
      "  /* c */ x = 0x1F_ + 1_0.5e-3 + 2.5 + 12345678901234567890 ?\?= y\n\"\"\"a\nb\"\"\" é on_update",
      "a b c d e f g h i j k l m n o p q r s t u v w x y z 1 2 3 4 5 6 7 8 9 0",
      "x + y * (z - 1) `",   // ends in an error
      "\"abc",               // an error in the first token
      "   ",                 // nothing but blanks
  };
  auto describe = [](TokenKind kind, const std::string& debug, uint64_t line, uint64_t column) {
    return debug + "@" + std::to_string(line) + ":" + std::to_string(column) +
           (kind == TokenKind::Eof ? "" : " ");
  };
  for (const std::string& source : sources) {
    std::string expected;
    std::string expected_error;
    auto all = tokenize(source);
    if (all.ok()) {
      for (const Token& t : all.value()) expected += describe(t.kind, token_debug(t), t.line, t.column);
    } else {
      expected_error = all.error().message;
    }
    for (size_t count : {1, 2, 3, 5, 256}) {
      for (size_t keep : {0, 1, 2}) {
        if (keep >= count) continue;  // the reader always makes room for at least one new token
        Lexer lexer(source, kSourceInPlace);
        TokenWindow window;
        std::string got;
        size_t consumed = 0;
        for (int guard = 0; guard < 10000; ++guard) {
          lexer.refill(window, consumed, count);
          ASSERT_FALSE(window.empty());
          size_t take = lexer.finished() ? window.size() : window.size() > keep ? window.size() - keep : 0;
          for (size_t i = 0; i < take; ++i) {
            const LexedToken& t = window[i];
            got += describe(t.kind, token_debug(t.to_token()), t.line, t.column);
          }
          consumed = take;
          if (lexer.finished() && take == window.size()) break;
        }
        SCOPED_TRACE(source + " count " + std::to_string(count) + " keep " + std::to_string(keep));
        if (expected_error.empty()) {
          EXPECT_EQ(lexer.error(), nullptr);
          EXPECT_EQ(got, expected);
        } else {
          ASSERT_NE(lexer.error(), nullptr);
          EXPECT_EQ(lexer.error()->message, expected_error);
          EXPECT_EQ(window.back().kind, TokenKind::Eof);  // the reader comes to an end
        }
      }
    }
  }
}

TEST(ReadDecimalDouble, RangeEnds) {
  EXPECT_EQ(read_decimal_double("1e308"), 1e308);
  EXPECT_TRUE(std::isinf(read_decimal_double("1e309")));
  EXPECT_TRUE(std::isinf(read_decimal_double("0.01e311")));
  EXPECT_EQ(read_decimal_double("1e-400"), 0.0);
  EXPECT_EQ(read_decimal_double("1000e-326"), 1e-323);
  EXPECT_GT(read_decimal_double("5e-324"), 0.0);
}

}  // namespace
