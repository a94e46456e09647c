// Object storage: the maps behind objects (kept in place while small, keys shared by the objects of one
// literal) and object literals whose keys change between builds. What scripts see of objects and methods
// is in the script corpus (tests/scripts/objects, tests/scripts/classes).
#include <gtest/gtest.h>

#include <string>

#include "tests/cpp/vm_test_util.h"

using namespace tarnwick;
using namespace tarnwick::testing;
using O = Opcode;

namespace {

// A prefix letter and a number ("k12"), built without the char-pointer concatenation that GCC's overlap
// analysis misreads.
std::string tagged(char prefix, int n) {
  std::string s(1, prefix);
  s += std::to_string(n);
  return s;
}

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
// to new storage only when they double, so building an object costs amortised constant time per key. The
// map grows past the size where its tables are placed for huge pages, and gives back all it took.
TEST(ObjectMapStorage, NewKeysRelocateStorageLogarithmicallyOften) {
  constexpr int kKeys = 300000;
  int64_t before = detail::thread_net();
  {
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
    for (int n = 0; n < kKeys; n += 997) ASSERT_EQ(map.find(tagged('k', n))->as_int(), n) << n;
    EXPECT_EQ(map.find("k300000"), nullptr);
    EXPECT_GT(detail::thread_net() - before, int64_t{16} << 20);
  }
  EXPECT_EQ(detail::thread_net(), before);
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
