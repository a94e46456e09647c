// Objects, member reads and method calls where the interpreter remembers what it found: objects built by
// one literal share their key list, and each read remembers where the key was for that key list. Every case
// states what a script sees; none of the remembering may show through, whatever the objects do between
// two reads (grow, get replaced entries, change class, shadow a method, be copied).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "parser/compiler.h"
#include "tests/cpp/script_test_util.h"
#include "vm_engine/compiler.h"

using namespace tarnwick;
using namespace tarnwick::testing;
using O = Opcode;

namespace {

struct Case {
  const char* label;
  const char* source;
  const char* expected;
};

class Objects : public ::testing::TestWithParam<Case> {};

TEST_P(Objects, ScriptSeesPlainSemantics) { EXPECT_EQ(run_source(GetParam().source), GetParam().expected); }

std::string label(const ::testing::TestParamInfo<Case>& info) { return info.param.label; }

// A prefix letter and a number ("k12"), built without the char-pointer concatenation that GCC's overlap
// analysis misreads.
std::string tagged(char prefix, int n) {
  std::string s(1, prefix);
  s += std::to_string(n);
  return s;
}

// Objects of one literal, read through one instruction, while some of them change.
INSTANTIATE_TEST_SUITE_P(
    Layouts, Objects,
    ::testing::Values(
        Case{"GrownAndReplacedEntriesKeepOrder",
             "fn mk(i) { return {b: i, a: i * 10} }\n"
             "fn rd(o) { return o.a }\n"
             "let s = 0\nlet i = 0\nlet keep = nil\n"
             "while i < 6 {\n let o = mk(i)\n if i % 2 == 1 { o.c = 1 }\n if i == 4 { o.b = 99\n keep = o }\n"
             " s = s + rd(o)\n i = i + 1\n}\nprint(s, str(keep), str(mk(7)))",
             "150\"{b: 99, a: 40}\"\"{b: 7, a: 70}\"\n=> nil"},
        Case{"CopiesDoNotShareStores",
             "fn mk() { return {x: 1, y: 2} }\nlet a = mk()\nlet b = a\nb.x = 5\nb.z = 6\nlet c = mk()\n"
             "print(str(a), str(b), str(c), a.z, len(b))",
             "\"{x: 1, y: 2}\"\"{x: 5, y: 2, z: 6}\"\"{x: 1, y: 2}\"nil3\n=> nil"},
        Case{"RepeatedKeyEarliestValueWins",
             "fn mk(i) { return {k: i, j: 0, k: i + 100} }\nlet i = 0\nwhile i < 3 {\n let o = mk(i)\n"
             " print(o.k, len(o), str(o))\n i = i + 1\n}",
             "02\"{k: 0, j: 0}\"\n12\"{k: 1, j: 0}\"\n22\"{k: 2, j: 0}\"\n=> nil"},
        Case{"ManyKeysAndAGrownCopy",
             "fn mk(i) { return {a: i, b: 1, c: 2, d: 3, e: 4, f: 5, g: 6, h: 7, i: 8, j: 9, k: i * 2} }\n"
             "let o = mk(3)\nlet p = mk(4)\np.l = 11\np.a = -1\n"
             "print(o.a + o.k, p.a + p.k, p.l, o.l, len(o), len(p))\nlet t = 0\n"
             "for key in p { t = t + p[key] }\nprint(t)",
             "9711nil1112\n63\n=> nil"},
        Case{"IterationSortsKeys", "let o = {b: 1, c: 2, a: 3}\nlet s = \"\"\nfor k in o { s = f\"{s}{k}\" }\nprint(s)",
             "\"abc\"\n=> nil"},
        Case{"KeysComputedAtRunTime",
             "fn rd(o, k) { return o[k] }\nlet o = {xy: 1, m: 2}\nlet t = 0\nlet i = 0\nlet y = \"y\"\n"
             "while i < 4 {\n t = t + rd(o, f\"x{y}\") + rd(o, \"m\")\n i = i + 1\n}\nprint(t, rd(o, \"zz\"))",
             "12nil\n=> nil"},
        Case{"NonStringIndexFailsWithItsLine", "let o = {a: 1}\nprint(o.a)\nprint(o[1])",
             "1\n=> error: Line 3: Invalid index operation"}),
    label);

// Methods: the class a read resolves through, and what an object's own entries hide.
INSTANTIATE_TEST_SUITE_P(
    Methods, Objects,
    ::testing::Values(
        Case{"ClassChangedOnOneObject",
             "class A { fn who(self) { return \"A\" } }\nclass B { fn who(self) { return \"B\" } }\n"
             "fn mk() { return {__class__: \"A\", n: 1} }\nfn ask(o) { return o.who() }\n"
             "let a = mk()\nlet b = mk()\nb.__class__ = \"B\"\nlet c = mk()\nc.__class__ = 5\n"
             "print(ask(a), ask(b), ask(a), ask(c), ask(b))",
             "\"A\"\"B\"\"A\"nil\"B\"\n=> nil"},
        Case{"EntryShadowsMethod",
             "class A { fn m(self) { return 1 } }\nfn mk() { return {__class__: \"A\"} }\n"
             "fn get(o) { return o.m }\nlet a = mk()\nlet b = mk()\nb.m = 7\n"
             "print(typeof(get(a)), get(b), get(a)(), get(mk())())\n"
             "let c = {m: 8, __class__: \"A\"}\nprint(get(c), get(a)())",
             "\"function\"711\n81\n=> nil"},
        Case{"MissingMethodAndNoClass",
             "class A { fn m(self) { return 1 } }\nfn get(o) { return o.q }\nfn mk(c) { return {__class__: c} }\n"
             "let o = {x: 1}\nprint(get(o), get(o), get(mk(\"A\")), get(mk(\"A\")), get(mk(\"Nope\")))\n"
             "o.__class__ = \"A\"\nprint(get(o))\no.q = 3\nprint(get(o), o.m())",
             "nilnilnilnilnil\nnil\n31\n=> nil"},
        Case{"ParentChain",
             "class A { fn f(self) { return \"A.f\" }\n fn g(self) { return \"A.g\" } }\n"
             "class B extends A { fn g(self) { return \"B.g\" } }\nclass C extends B { }\n"
             "fn both(o) { return f\"{o.f()} {o.g()}\" }\n"
             "print(both({__class__: \"C\"}), both({__class__: \"B\"}), both({__class__: \"A\"}), both({__class__: \"C\"}))",
             "\"A.f B.g\"\"A.f B.g\"\"A.f A.g\"\"A.f B.g\"\n=> nil"},
        Case{"MethodValueKeepsItsReceiver",
             "class P { fn get(self) { return self.v }\n fn put(self, v) { self.v = v\n return self } }\n"
             "fn mk(v) { return {__class__: \"P\", v: v} }\n"
             "let o = mk(1)\nlet g = o.get\no.v = 2\nlet h = o.get\nlet p = o.put(3)\n"
             "print(g(), h(), o.v, p.v, str(g), typeof(o.put))",
             "1223\"<method P.get>\"\"function\"\n=> nil"},
        Case{"ReceiverAndArgumentsBound",
             "class V { fn add(self, o) { return {__class__: \"V\", x: self.x + o.x} }\n"
             " fn two(self, a, b) { return [self.x, a, b] } }\n"
             "let a = {__class__: \"V\", x: 1}\nlet s = a\nlet i = 0\nwhile i < 5 { s = s.add(a)\n i = i + 1 }\n"
             "let r = a.two(1)\nlet q = a.two(1, 2, 3)\nprint(s.x, a.x, r[1], r[2], q[2], len(q))",
             "611nil23\n=> nil"},
        // The same class name string and key strings throughout: only the layouts and keys tell reads apart.
        Case{"OneReadSeesObjectsOfManyLayoutsAndKeys",
             "class C { fn m(self) { return \"m\" }\n fn n(self) { return \"n\" } }\n"
             "fn get(o, k) { return o[k] }\n"
             "fn go() {\n let cn = \"C\"\n let km = \"m\"\n let kn = \"n\"\n"
             " let a = {__class__: cn}\n let b = {}\n b.__class__ = cn\n"
             " return f\"{get(a, km)()}{get(b, kn)()}{get(a, km)()}{get(a, kn)()}{get(b, km)()}\"\n}\n"
             "print(go())",
             "\"mnmnm\"\n=> nil"},
        Case{"ClassReplacedAfterAResolution",
             "class A { fn m(self) { return 1 } }\nfn call(o) { return o.m() }\nlet o = {__class__: \"A\"}\n"
             "print(call(o))\nA = {__methods__: {}}\nprint(call(o), call({__class__: \"A\"}))",
             "1\n11\n=> nil"}),
    label);

// Maps of every size around the in-place limit: copies, moves and growth keep every entry, in order, and
// leave the source intact (copies) or empty (moves).
TEST(ObjectMapStorage, CopiesMovesAndGrowthAroundTheInPlaceLimit) {
  auto text_of = [](const ObjectMap& m) {
    std::string out;
    for (const auto& [k, v] : m) out += k + "=" + to_text(v) + ";";
    return out;
  };
  std::string expected;
  ObjectMap grown;
  for (int n = 0; n <= 12; ++n) {
    ObjectMap copy = grown;
    EXPECT_EQ(text_of(copy), expected) << n;
    ObjectMap moved = std::move(copy);
    EXPECT_EQ(text_of(moved), expected) << n;
    EXPECT_EQ(copy.size(), 0u) << n;  // NOLINT(bugprone-use-after-move): a moved-from map is empty
    ObjectMap assigned;
    assigned.set("old", ValueRef::string("gone"));
    assigned = moved;
    EXPECT_EQ(text_of(assigned), expected) << n;
    assigned.set("extra", ValueRef::integer(-1));  // grows the copy only
    EXPECT_EQ(text_of(moved), expected) << n;
    EXPECT_EQ(assigned.size(), static_cast<size_t>(n) + 1) << n;
    std::string key = tagged('k', n);
    grown.set(key, ValueRef::string(tagged('v', n)));
    grown.set(key, ValueRef::string(tagged('w', n)));  // replaced: same position, no growth
    expected += key + "=w" + std::to_string(n) + ";";
    ASSERT_EQ(grown.size(), static_cast<size_t>(n) + 1);
  }
  EXPECT_EQ(text_of(grown), expected);
  for (int n = 0; n <= 12; ++n) EXPECT_EQ(grown.find(tagged('k', n))->as_string(), tagged('w', n));
}

// Storing new keys one by one (what `o[k] = v` in a loop does) moves the key list, its index and the values
// to new storage only when they double, so building an object costs amortised constant time per key.
TEST(ObjectMapStorage, NewKeysRelocateStorageLogarithmicallyOften) {
  constexpr int kKeys = 100000;
  ObjectMap map;
  const void* where[3] = {};
  int moves[3] = {};
  for (int n = 0; n < kKeys; ++n) {
    map.set(tagged('k', n), ValueRef::integer(n));
    const void* now[3] = {map.shape()->keys.data(), map.shape()->index.data(), &map.value(0)};
    for (int i = 0; i < 3; ++i) {
      moves[i] += now[i] != where[i];
      where[i] = now[i];
    }
  }
  ASSERT_EQ(map.size(), static_cast<size_t>(kKeys));
  for (int i = 0; i < 3; ++i) EXPECT_LE(moves[i], 25) << "storage " << i;
  EXPECT_EQ(map.key(kKeys - 1), tagged('k', kKeys - 1));
  EXPECT_EQ(map.find(tagged('k', 12345))->as_int(), 12345);
}

// One MakeObject whose keys differ from run to run (hand-written code: a literal's keys are constants):
// keys of other texts, the same text in another string, and keys that are not strings (dropped).
TEST(ObjectSites, KeysThatChangeBetweenBuilds) {
  tarnwick::testing::Program p;
  p.constants = {Constant::string("mk"), Constant::string("a"), Constant::string("b"), Constant::string(""),
                 Constant::string("a")};
  p.functions.push_back(function("mk", 4, {op(O::LoadReg, 0), op(O::LoadReg, 1), op(O::LoadReg, 2),
                                           op(O::LoadReg, 3), op(O::MakeObject, 2), op(O::Return)}));
  auto call = [](uint64_t k1, int32_t v1, uint64_t k2, int32_t v2) {
    return std::vector<Instruction>{op(O::LoadGlobal, 0), op(O::LoadConst, k1), push(v1), op(O::LoadConst, k2),
                                    push(v2), op(O::Call, 4)};
  };
  for (auto part : {call(1, 1, 2, 2), call(1, 3, 2, 4), call(4, 5, 2, 6), call(2, 7, 1, 8), call(1, 9, 4, 10),
                    call(3, 11, 1, 12)})
    p.code.insert(p.code.end(), part.begin(), part.end());
  // A key that is not a string: the pair is dropped.
  for (auto ins : {op(O::LoadGlobal, 0), push(1), push(13), op(O::LoadConst, 2), push(14), op(O::Call, 4)})
    p.code.push_back(ins);
  p.code.push_back(op(O::MakeArray, 7));
  p.code.push_back(op(O::LoadConst, 3));
  p.code.push_back(op(O::Concat));
  p.lines.assign(p.code.size(), 0);
  EXPECT_EQ(run(std::move(p)),
            "ok:\"[{a: 1, b: 2}, {a: 3, b: 4}, {a: 5, b: 6}, {b: 7, a: 8}, {a: 9}, {: 11, a: 12}, {b: 14}]\"");
}

}  // namespace
