// Builtins called with constant arguments by hand-built code: int and float, which no script can call
// (their names are type keywords), clock, rand, print and input. What scripts see of the other builtins
// is in the script corpus (tests/scripts/builtins).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/cpp/vm_test_util.h"

using namespace tarnwick;
using namespace tarnwick::testing;
using O = Opcode;

namespace {

Constant I64(int64_t v) { return Constant::integer(v); }
Constant F(double v) { return Constant::floating(v); }
Constant S(std::string s) { return Constant::string(std::move(s)); }
Constant B(bool b) { return Constant::boolean(b); }
Constant Nil() { return Constant::nil(); }

// Calls builtin `name` with the given constant arguments; "{type}:{plain text}" of the result or the error.
std::string call(const std::string& name, std::vector<Constant> args, std::FILE* in = nullptr, std::FILE* out = nullptr) {
  Program p;
  p.constants.push_back(S(name));
  p.code.push_back(op(O::LoadGlobal, 0));
  for (auto& a : args) {
    p.code.push_back(op(O::LoadConst, p.constants.size()));
    p.constants.push_back(std::move(a));
  }
  p.code.push_back(op(O::Call, args.size()));
  auto vm = make_vm(std::move(p));
  if (in != nullptr || out != nullptr) vm->set_stdio(in != nullptr ? in : stdin, out != nullptr ? out : stdout);
  auto r = vm->run();
  if (!r.ok()) return "error:" + r.error();
  return std::string(type_name(r.value())) + ":" + to_text(r.value());
}

struct BuiltinCase {
  const char* label;
  const char* name;
  std::vector<Constant> args;
  std::string expected;
};

class Builtins : public ::testing::TestWithParam<BuiltinCase> {};

TEST_P(Builtins, Result) {
  const auto& c = GetParam();
  EXPECT_EQ(call(c.name, c.args), c.expected);
}

const double kNaN = std::nan("");

INSTANTIATE_TEST_SUITE_P(
    Conversions, Builtins,
    ::testing::Values(
        BuiltinCase{"IntOfSpacedString", "int", {S(" 42")}, "int:0"},
        BuiltinCase{"IntOfNegative", "int", {S("-17")}, "int:-17"},
        BuiltinCase{"IntOfPlus", "int", {S("+5")}, "int:5"},
        BuiltinCase{"IntOfMin", "int", {S("-9223372036854775808")}, "int:-9223372036854775808"},
        BuiltinCase{"IntOverflow", "int", {S("9223372036854775808")}, "int:0"},
        BuiltinCase{"IntOfSignOnly", "int", {S("-")}, "int:0"},
        BuiltinCase{"IntTruncates", "int", {F(3.99)}, "int:3"},
        BuiltinCase{"IntTruncatesNegative", "int", {F(-3.99)}, "int:-3"},
        BuiltinCase{"IntSaturates", "int", {F(1e300)}, "int:9223372036854775807"},
        BuiltinCase{"IntOfNaN", "int", {F(kNaN)}, "int:0"},
        BuiltinCase{"IntOfBool", "int", {B(true)}, "int:1"},
        BuiltinCase{"FloatOfExponent", "float", {S("-1.5e3")}, "float:-1500.0"},
        BuiltinCase{"FloatOfDotOnly", "float", {S(".")}, "float:0.0"},
        BuiltinCase{"FloatLeadingDot", "float", {S(".5")}, "float:0.5"},
        BuiltinCase{"FloatTrailingDot", "float", {S("5.")}, "float:5.0"},
        BuiltinCase{"FloatInfinityAnyCase", "float", {S("-InFiNiTy")}, "float:-inf"},
        BuiltinCase{"FloatNan", "float", {S("NAN")}, "float:NaN"},
        BuiltinCase{"FloatOverflowIsInf", "float", {S("1e400")}, "float:inf"},
        BuiltinCase{"FloatRejectsSpaces", "float", {S(" 1.0")}, "float:0.0"},
        BuiltinCase{"FloatRejectsHex", "float", {S("0x10")}, "float:0.0"},
        BuiltinCase{"FloatRejectsBareExponent", "float", {S("1e")}, "float:0.0"},
        BuiltinCase{"FloatOfInt", "float", {I64(3)}, "float:3.0"},
        BuiltinCase{"FloatOfNil", "float", {Nil()}, "float:0.0"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(BuiltinClockAndRand, StayInRange) {
  std::string clock = call("clock", {});
  ASSERT_EQ(clock.rfind("float:", 0), 0u);
  EXPECT_GT(std::stod(clock.substr(6)), 1.6e9);  // seconds since the epoch, in this century
  for (int i = 0; i < 50; ++i) {
    double r = std::stod(call("rand", {}).substr(6));
    EXPECT_GE(r, 0.0);
    EXPECT_LT(r, 1.0);
    double scaled = std::stod(call("rand", {I64(10)}).substr(6));
    EXPECT_GE(scaled, 0.0);
    EXPECT_LT(scaled, 10.0);
    double ranged = std::stod(call("rand", {F(5.0), F(6.0)}).substr(6));
    EXPECT_GE(ranged, 5.0);
    EXPECT_LT(ranged, 6.0);
  }
}

std::string read_all(std::FILE* f) {
  std::rewind(f);
  std::string s;
  int c;
  while ((c = std::fgetc(f)) != EOF) s.push_back(static_cast<char>(c));
  return s;
}

TEST(BuiltinIo, PrintWritesDisplayTextsWithoutSeparator) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(call("print", {S("hi"), I64(3), F(1.0), Nil()}, nullptr, out), "nil:nil");
  EXPECT_EQ(call("print", {}, nullptr, out), "nil:nil");
  EXPECT_EQ(read_all(out), "\"hi\"31.0nil\n\n");
  std::fclose(out);
}

TEST(BuiltinIo, InputStripsLineEndsAndWritesThePrompt) {
  std::FILE* in = std::tmpfile();
  std::FILE* out = std::tmpfile();
  ASSERT_TRUE(in && out);
  std::fputs("first\r\n\nlast\r", in);
  std::rewind(in);
  EXPECT_EQ(call("input", {S("name? ")}, in, out), "string:first");
  EXPECT_EQ(call("input", {}, in, out), "string:");
  EXPECT_EQ(call("input", {}, in, out), "string:last");
  EXPECT_EQ(call("input", {}, in, out), "string:");  // end of input
  EXPECT_EQ(read_all(out), "\"name? \"");
  std::fclose(in);
  std::fclose(out);
}

}  // namespace
