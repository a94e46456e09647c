// Call sites that remember what they resolved, seen from a host that adds a native after the fact. What
// scripts see at the interpreter's other shortcuts (texts extended in place, iterators advanced in place,
// builtins called without a frame) is in the script corpus.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/cpp/vm_test_util.h"

using namespace tarnwick;
using namespace tarnwick::testing;
using O = Opcode;

namespace {

// A call site that resolved a function must call a native added later under that name.
TEST(FastPathsNatives, NativeAddedAfterACallSiteResolved) {
  struct FortyTwo : NativeCallable {
    Result<ValueRef, std::string> call(const std::vector<ValueRef>&) override { return ValueRef::integer(42); }
  };
  tarnwick::testing::Program p;
  p.constants = {Constant::string("f"), Constant::string("g")};
  // r0 := f; loop: g := r0(); fail on 1 / 0; back to the loop (the next run continues after the failure).
  p.code = {op(O::LoadGlobal, 0), op(O::StoreReg, 0), op(O::LoadReg, 0), op(O::Call, 0), op(O::StoreGlobal, 1),
            push(1),           push(0),              op(O::Div),        op(O::Jump, 2)};
  p.functions.push_back(function("f", 0, {push(7), op(O::Return)}));
  auto vm = make_vm(std::move(p));
  EXPECT_EQ(outcome(vm->run()), "err:Division by zero");
  EXPECT_EQ(to_text(vm->global("g")), "7");
  vm->add_native("f", std::make_shared<FortyTwo>());
  EXPECT_EQ(outcome(vm->run()), "err:Division by zero");
  EXPECT_EQ(to_text(vm->global("g")), "42");
}

}  // namespace
