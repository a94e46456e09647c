#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <cstdio>
#include <thread>
#include <vector>

#include "vm_engine/pool.h"
#include "vm_engine/value.h"

using namespace tarnwick;

namespace {

ValueRef I(int64_t v) { return ValueRef::integer(v); }
ValueRef F(double v) { return ValueRef::floating(v); }
ValueRef S(const char* s) { return ValueRef::string(std::string(s)); }
ValueRef A(std::vector<ValueRef> v) { return ValueRef::array(std::move(v)); }

TEST(FloatText, IntegralWithPointZeroOthersShortest) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {7.0, "7.0"},         {7.25, "7.25"},          {-0.0, "-0.0"},     {1e16, "10000000000000000.0"},
      {1e20, "100000000000000000000.0"},             {0.1, "0.1"},       {1e-7, "0.0000001"},
      {-2.5, "-2.5"},       {std::nan(""), "NaN"},   {HUGE_VAL, "inf"},  {-HUGE_VAL, "-inf"},
      {0.1 + 0.2, "0.30000000000000004"},            {123456789.5, "123456789.5"},
  };
  for (const auto& c : cases) EXPECT_EQ(float_text(c.value), c.text) << c.text;
  // The largest finite double still renders in full fixed notation.
  std::string max = float_text(1.7976931348623157e308);
  EXPECT_EQ(max.size(), 311u);
  EXPECT_EQ(max.substr(0, 6), "179769");
  EXPECT_EQ(max.substr(max.size() - 2), ".0");
}

TEST(Renderings, PlainAndDisplay) {
  ValueRef nested = A({I(1), S("a"), A({F(2.0)})});
  EXPECT_EQ(to_text(nested), "[1, a, [2.0]]");
  EXPECT_EQ(to_display(nested), "[array:3]");
  EXPECT_EQ(to_text(S("hi")), "hi");
  EXPECT_EQ(to_display(S("hi")), "\"hi\"");
  EXPECT_EQ(to_display(S("a\"b")), "\"a\"b\"");  // no escaping
  EXPECT_EQ(to_text(ValueRef::object(ObjectMap{})), "{}");
  EXPECT_EQ(to_display(ValueRef::object(ObjectMap{})), "{object:0}");
  EXPECT_EQ(to_text(A({})), "[]");
  EXPECT_EQ(to_text(I(INT64_MIN)), "-9223372036854775808");
  EXPECT_EQ(to_text(ValueRef()), "nil");
  EXPECT_EQ(to_text(ValueRef::boolean(false)), "false");
  EXPECT_EQ(to_display(ValueRef::function("f")), "<function f>");
  EXPECT_EQ(to_text(ValueRef::method(S("r"), "C.m")), "<method C.m>");
  EXPECT_EQ(to_text(ValueRef::native("cb")), "<native cb>");
  ValueRef obj = ValueRef::object({{"k", S("v")}, {"n", A({I(1), ValueRef()})}});
  EXPECT_EQ(to_text(obj), "{k: v, n: [1, nil]}");
  EXPECT_EQ(to_display(obj), "{object:2}");
}

TEST(Rules, TypeNamesTruthinessEquality) {
  EXPECT_STREQ(type_name(ValueRef::method(ValueRef(), "m")), "function");
  EXPECT_STREQ(type_name(ValueRef::native("n")), "native_fn");
  EXPECT_STREQ(type_name(ValueRef::object(ObjectMap{})), "object");

  for (const auto& falsy : {ValueRef(), ValueRef::boolean(false), I(0), F(0.0), F(-0.0), S(""), A({}),
                            ValueRef::object(ObjectMap{})})
    EXPECT_FALSE(is_truthy(falsy)) << to_display(falsy);
  for (const auto& truthy : {S("0"), F(std::nan("")), I(-1), A({ValueRef()}), ValueRef::function("f"),
                             ValueRef::native("n"), ValueRef::method(ValueRef(), "m")})
    EXPECT_TRUE(is_truthy(truthy)) << to_display(truthy);

  EXPECT_TRUE(values_equal(I(1), F(1.0)));
  EXPECT_TRUE(values_equal(F(0.1 + 0.2), F(0.3)));
  EXPECT_FALSE(values_equal(F(1.0), F(1.0 + 4.5e-16)));
  EXPECT_FALSE(values_equal(F(std::nan("")), F(std::nan(""))));
  EXPECT_TRUE(values_equal(I(INT64_MAX), I(INT64_MAX)));
  EXPECT_FALSE(values_equal(I(INT64_MAX), I(INT64_MAX - 1)));  // exact for two ints
  EXPECT_TRUE(values_equal(ValueRef(), ValueRef()));
  EXPECT_FALSE(values_equal(ValueRef(), ValueRef::boolean(false)));
  EXPECT_FALSE(values_equal(I(1), ValueRef::boolean(true)));
  EXPECT_FALSE(values_equal(S("1"), I(1)));
  ValueRef arr = A({});
  EXPECT_FALSE(values_equal(arr, arr));  // containers never equal, not even themselves
  ValueRef fn = ValueRef::function("f");
  EXPECT_FALSE(values_equal(fn, fn));
}

TEST(SharedValues, EmptyStringIsSharedAndScalarsAreInline) {
  EXPECT_EQ(S("").identity(), shared_empty_string().identity());
  EXPECT_EQ(ValueRef::string(std::string()).identity(), shared_empty_string().identity());
  EXPECT_EQ(I(255).identity(), nullptr);  // ints never allocate
  EXPECT_TRUE(SmallIntPool::covers(-1) && SmallIntPool::covers(255));
  EXPECT_FALSE(SmallIntPool::covers(-2) || SmallIntPool::covers(256));
  // Function values are interned names: one record per name and kind, never counted.
  ValueRef f = ValueRef::function("same");
  EXPECT_EQ(f.identity(), ValueRef::function(std::string("same")).identity());
  EXPECT_NE(f.identity(), ValueRef::native("same").identity());
  EXPECT_NE(f.identity(), ValueRef::function("other").identity());
  EXPECT_EQ(f.use_count(), 0u);
  EXPECT_TRUE(f.unique());
}

TEST(CopyOnWrite, MakeUniqueCopiesOnlyWhenShared) {
  ValueRef a = A({I(1), A({I(2)})});
  const void* original = a.identity();
  make_unique(a);
  EXPECT_EQ(a.identity(), original);  // sole holder: in place

  ValueRef other = a;
  make_unique(a);
  EXPECT_NE(a.identity(), original);
  a.array_mut()[0] = I(9);
  EXPECT_EQ(to_text(other), "[1, [2]]");
  EXPECT_EQ(to_text(a), "[9, [2]]");
  // Shallow: the nested array is shared by both.
  EXPECT_EQ(a.as_array()[1].identity(), other.as_array()[1].identity());

  ValueRef m = ValueRef::method(other, "C.m");
  ValueRef copy = shallow_copy(m);
  EXPECT_NE(copy.identity(), m.identity());
  EXPECT_EQ(copy.method_receiver().identity(), other.identity());
}

TEST(CopyOnWrite, CountsStayBalancedAcrossThreads) {
  ValueRef shared = A({I(1)});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 100000; ++i) {
        ValueRef copy = shared;
        ValueRef moved = std::move(copy);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(shared.use_count(), 1u);
}

// Each thread recycles heap blocks itself: values must survive the thread that made them, be freed by
// another one, and deep values must still free without recursion on a thread's own (smaller) stack.
TEST(ThreadHeaps, ValuesOutliveTheThreadThatMadeThem) {
  std::vector<ValueRef> survivors;
  for (int round = 0; round < 8; ++round) {
    ValueRef made;
    std::thread maker([&] {
      ValueRef deep = A({I(round)});
      for (int i = 0; i < 200000; ++i) deep = A({std::move(deep)});
      ValueRef scratch;
      for (int i = 0; i < 1000; ++i) scratch = ValueRef::string("text " + std::to_string(i));
      std::vector<std::pair<std::string, ValueRef>> entries;
      entries.emplace_back("k", I(round * 2));
      made = A({I(round), S("kept"), ValueRef::object(std::move(entries))});
      // `deep` dies here, on this thread, as the thread winds down.
    });
    maker.join();
    survivors.push_back(made);
  }
  // Freed here, on the main thread, after every maker's heap state is gone.
  for (int round = 0; round < 8; ++round) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "[%d, kept, {k: %d}]", round, round * 2);
    EXPECT_EQ(to_text(survivors[round]), expected);
  }
  survivors.clear();
  ValueRef after = S("still usable");
  EXPECT_EQ(after.as_string(), "still usable");
}

std::string key(int i) {
  std::string s = std::to_string(i);
  s.insert(s.begin(), 'k');
  return s;
}

TEST(ObjectMaps, InsertionOrderReplacementAndLargeMaps) {
  ObjectMap m;
  m.set("b", I(1));
  m.set("a", I(2));
  m.set("b", I(3));  // replaced in place
  std::vector<std::string> keys;
  for (const auto& [k, v] : m) keys.push_back(k + "=" + to_text(v));
  EXPECT_EQ(keys, (std::vector<std::string>{"b=3", "a=2"}));

  // Past the scan limit, lookups go through the hashed index; every key must stay findable.
  ObjectMap big;
  for (int i = 0; i < 5000; ++i) big.set(key(i), I(i));
  big.set("k17", I(-17));
  ASSERT_EQ(big.size(), 5000u);
  for (int i = 0; i < 5000; ++i) {
    const ValueRef* v = big.find(key(i));
    ASSERT_NE(v, nullptr) << i;
    EXPECT_EQ(v->as_int(), i == 17 ? -17 : i);
  }
  EXPECT_EQ(big.find("k5000"), nullptr);
  EXPECT_EQ(big.find(""), nullptr);
  EXPECT_EQ(big.key(100), "k100");
  ObjectMap copy = big;  // a copy carries a working index
  copy.set("new", I(1));
  EXPECT_NE(copy.find("k4999"), nullptr);
  EXPECT_EQ(big.find("new"), nullptr);
}

TEST(ObjectMaps, KeyedHashDependsOnTheWholeText) {
  EXPECT_EQ(keyed_hash("abc"), keyed_hash("abc"));
  EXPECT_NE(keyed_hash("abc"), keyed_hash("abd"));
  EXPECT_NE(keyed_hash(std::string("a\0", 2)), keyed_hash("a"));
  EXPECT_NE(keyed_hash("0123456789abcdefX"), keyed_hash("0123456789abcdefY"));
}

TEST(DeepValues, RenderAndFreeWithoutNativeRecursion) {
  const int depth = 1000000;
  ValueRef v = A({});
  for (int i = 0; i < depth; ++i) v = A({std::move(v)});
  std::string text = to_text(v);
  EXPECT_EQ(text.size(), static_cast<size_t>(2 * depth + 2));
  EXPECT_EQ(text.substr(0, 3), "[[[");
  EXPECT_EQ(to_display(v), "[array:1]");

  ValueRef obj = ValueRef::object(ObjectMap{});
  for (int i = 0; i < depth / 4; ++i) obj = ValueRef::object({{"x", std::move(obj)}, {"m", ValueRef::method(A({}), "f")}});
  EXPECT_EQ(to_text(obj).substr(0, 8), "{x: {x: ");
  v = ValueRef();
  obj = ValueRef();  // both chains free iteratively; a recursive free would overflow the stack here
}

}  // namespace
