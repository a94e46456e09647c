// A runtime's memory limit: renderings measured before they are built, copies and stacks asked for before
// they are taken, the front end counted, and a global kept when a store into it fails.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "parser/runtime.h"

namespace tarnwick {
namespace {

ValueRef arr(std::vector<ValueRef> items) { return ValueRef::array(std::move(items)); }

TEST(TextSize, IsTheLengthOfThePlainText) {
  ValueRef obj = ValueRef::object({{"k", ValueRef::integer(-12)}, {"long key", ValueRef::string("v")}});
  ValueRef inner = arr({ValueRef::floating(0.1), ValueRef::floating(1e300), ValueRef::floating(NAN),
                        ValueRef::floating(-INFINITY), ValueRef::floating(3.0)});
  const ValueRef cases[] = {
      ValueRef(),
      ValueRef::boolean(true),
      ValueRef::boolean(false),
      ValueRef::integer(std::numeric_limits<int64_t>::min()),
      ValueRef::floating(2.5),
      ValueRef::string("text"),
      ValueRef::function("fname"),
      ValueRef::native("nat"),
      ValueRef::method(obj, "m"),
      arr({}),
      ValueRef::object(ObjectMap()),
      obj,
      inner,
      arr({inner, obj, arr({arr({inner})}), ValueRef::string(""), ValueRef::function("f"), inner}),
  };
  for (const ValueRef& v : cases) EXPECT_EQ(text_size(v), to_text(v).size()) << to_text(v);
}

TEST(TextSize, StopsPastItsCapAndMeasuresSharedPartsOnce) {
  ValueRef v = arr({ValueRef::integer(123456), ValueRef::string("abc")});
  const uint64_t n = to_text(v).size();
  EXPECT_EQ(text_size(v, n), n);
  EXPECT_EQ(text_size(v, n - 1), n);  // cap + 1
  // 2^50 copies of one small array: measured in a moment, the exact length when it fits.
  ValueRef a = arr({ValueRef::integer(7)});
  uint64_t expect = 3;
  for (int i = 0; i < 50; ++i) {
    a = arr({a, a});
    expect = 2 * expect + 4;
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(text_size(a), expect);
  EXPECT_EQ(text_size(a, 1000), 1001u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(MemoryAccount, ACopyPastTheLimitIsRefusedBeforeItIsMade) {
  ValueRef big = ValueRef::array(std::vector<ValueRef>(100000, ValueRef::integer(1)));  // 1.6 MB
  MemoryAccount account;
  account.limit = 1 << 20;
  account.enforce = true;
  ChargeScope scope(&account);
  const int64_t before = account.current();
  EXPECT_THROW(shallow_copy(big), std::bad_alloc);
  EXPECT_TRUE(account.exceeded);
  EXPECT_EQ(account.current(), before);
}

Outcome run_limited(Runtime& rt, uint64_t bytes, const std::string& source) {
  RunLimits limits;
  limits.max_memory = bytes;
  rt.set_limits(limits);
  return rt.run(source);
}

TEST(RuntimeMemory, EveryRouteEndsWithTheLimitAndLeavesTheRuntimeUsable) {
  std::string locals;
  for (int k = 0; k < 200; ++k) locals += "  let x" + std::to_string(k) + " = " + std::to_string(k) + "\n";
  std::string assigns;
  for (int k = 0; k < 100000; ++k) assigns += "x = y + z * 2\n";
  const char* shared = "let a = range(0, 100)\nlet i = 0\nwhile i < 30 { a = [a, a]\n i = i + 1 }\n";
  const std::string cases[] = {
      "let a = range(0, 40000)\nlet o = {}\nlet i = 0\nwhile true { let b = a\n b[0] = i\n o[str(i)] = b\n i = i + 1 }",
      std::string(shared) + "s = str(a)",
      std::string(shared) + "o = {}\no[a] = 1",
      "fn f(n) {\n" + locals + "  return f(n + 1) + x1\n}\nf(0)",
      "fn f(n) { return f(n + 1) }\nf(0)",
      assigns,
  };
  for (const std::string& source : cases) {
    Runtime rt;
    Outcome r = run_limited(rt, 1 << 20, source);
    ASSERT_FALSE(r.ok()) << source.substr(0, 80);
    EXPECT_EQ(r.error().kind, FailureKind::MemoryLimit) << r.error().text();
    EXPECT_EQ(r.error().message, kMemoryLimitText);
    EXPECT_LT(rt.memory().current(), 512 << 10) << source.substr(0, 80);  // well below the limit
    Outcome again = rt.run("fn g() { return 41 + 1 }\ng()");
    ASSERT_TRUE(again.ok()) << again.error().text();
    Outcome called = rt.call(ValueRef::function("g"), {});
    ASSERT_TRUE(called.ok());
    EXPECT_EQ(to_display(called.value()), "42");
  }
}

struct Probe final : NativeCallable {
  Runtime& rt;
  int64_t& out;
  Probe(Runtime& r, int64_t& o) : rt(r), out(o) {}
  Result<ValueRef, std::string> call(const std::vector<ValueRef>&) override {
    out = rt.memory().current();
    return ValueRef();
  }
};

TEST(RuntimeMemory, TheStacksAreChargedWhileTheyAreDeep) {
  Runtime rt;
  int64_t deepest = 0;
  rt.add_native("probe", std::make_shared<Probe>(rt, deepest));
  ASSERT_TRUE(run_limited(rt, 64 << 20, "fn f(n) { if n == 0 { return probe() }\n return f(n - 1) }\nf(50000)").ok());
  EXPECT_GT(deepest, 50000 * 32);  // a frame and a register for each call
  EXPECT_LT(rt.memory().current(), 256 << 10);
}

TEST(RuntimeMemory, ALoadedProgramIsChargedWhileItIsKept) {
  Runtime rt;
  const int64_t idle = rt.memory().current();
  std::string source;
  for (int k = 0; k < 20000; ++k) source += "y = " + std::to_string(k) + "\n";
  ASSERT_TRUE(rt.run(source).ok());
  EXPECT_GT(rt.memory().current() - idle, 20000 * 2 * 3 * 16);  // two instructions a line, three copies each
  ASSERT_TRUE(rt.run("y = 1").ok());
  EXPECT_LT(rt.memory().current() - idle, 16 << 10);
}

TEST(RuntimeMemory, AStoreThatFailsKeepsTheGlobal) {
  struct Case {
    const char* setup;
    const char* store;
    const char* global;
  } cases[] = {
      {"o = {}", "let i = 0\nwhile true { o[str(i)] = i\n i = i + 1 }", "o"},
      {"a = range(0, 50000)", "b = a\na[0] = 7", "a"},
  };
  for (const Case& c : cases) {
    Runtime rt;
    ASSERT_TRUE(run_limited(rt, 1 << 20, std::string("keep = 5\n") + c.setup).ok());
    Outcome r = rt.run(c.store);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, FailureKind::MemoryLimit);
    EXPECT_FALSE(rt.global(c.global).is_nil()) << c.store;
    EXPECT_EQ(to_display(rt.global("keep")), "5");
  }
}

TEST(RuntimeMemory, WithoutALimitTheOneShotTextsStay) {
  // The same refusals read as before where no limit is set.
  Outcome r = run_once("let a = range(0, 100)\nlet i = 0\nwhile i < 40 { a = [a, a]\n i = i + 1 }\ns = str(a)");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "Runtime error: Line 5: Out of memory");
}

}  // namespace
}  // namespace tarnwick
