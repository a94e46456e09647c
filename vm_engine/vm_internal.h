// Pieces of the VM shared by the interpreter loop and the builtins; not part of the public interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vm_engine/value.h"
#include "vm_engine/vm.h"

namespace tarnwick::detail {

// An opcode value past the real ones, placed after the last instruction of every code unit so the
// dispatch loop needs no bounds test: reaching it means "end of code".
inline constexpr uint32_t kEndOpcode = kOpcodeCount;

// Fused instructions: the executable copy of a body replaces the first instruction of a few common
// sequences with one of these, leaving the rest of the sequence in place (jumps into its middle still find
// the original instructions). A fused instruction does the work of the whole sequence only when none of
// it can fail; otherwise it runs just the original first instruction. Counts and pcs come out the same.
// The first instruction of every fused sequence is either a LoadReg (whose slot the fused operand keeps
// in its low 8 bits) or an instruction without operand, so running it alone needs nothing else.
//
// The list below is the one place a fused form is named: its code (kEndOpcode + 1 onwards, in this order),
// its name and its dispatch label L_<name> are all generated from it. The families whose members are
// picked by adding an index to the family's first code are checked below.
#define TARNWICK_FUSED_BIN_FORMS(X, OP)                                                                \
  X(Bin##OP##_RR) X(Bin##OP##_RI) X(Bin##OP##_RC) X(Bin##OP##_TR) X(Bin##OP##_TI) X(Bin##OP##_TC)     \
  X(Bin##OP##_RR_S) X(Bin##OP##_RI_S) X(Bin##OP##_RC_S) X(Bin##OP##_TR_S) X(Bin##OP##_TI_S)           \
  X(Bin##OP##_TC_S) X(Bin##OP##_SS_S) X(Bin##OP##_CR)
#define TARNWICK_FUSED_PAIR_FORMS(X, OP) X(Pair##OP##Add) X(Pair##OP##Sub) X(Pair##OP##Mul) X(Pair##OP##Div)
#define TARNWICK_FUSED(X)                                                                              \
  /* comparison (Lt, Le, Gt, Ge, Eq, Ne) of a register with an immediate, then another register:           */ \
  /*   LoadReg x; Push k | LoadReg y; <cmp>; JumpIf* t (forward)                                   */ \
  X(CmpLtRI) X(CmpLeRI) X(CmpGtRI) X(CmpGeRI) X(CmpEqRI) X(CmpNeRI)                                    \
  X(CmpLtRR) X(CmpLeRR) X(CmpGtRR) X(CmpGeRR) X(CmpEqRR) X(CmpNeRR)                                    \
  /* op (Add, Sub, Mul) * 2 + form, form 0: LoadReg a; LoadReg b; <op>; Dup; StoreReg c; Pop,       */ \
  /* form 1: LoadReg a; Push k; <op>; Dup; StoreReg c; Pop                                          */ \
  X(AddRRS) X(AddRIS) X(SubRRS) X(SubRIS) X(MulRRS) X(MulRIS)                                          \
  X(FusedStoreTop) /* Dup; StoreReg c; Pop */                                                          \
  X(FusedConcat)   /* n Concat in a row (n >= 2): one text of the n + 1 operands */                    \
  /* LoadReg i; IterNext; Swap; StoreReg i; Dup; LoadConst nil; Eq; JumpIfTrue x; StoreReg v: one   */ \
  /* step of a for loop, advancing the iterator held in register i in place                         */ \
  X(FusedForNext)                                                                                      \
  /* Call 2; GetIter where the callee is the builtin range of two ints: the loop's state counts the   */ \
  /* ints instead of holding an array of them (see range_state)                                      */ \
  X(FusedRangeIter)                                                                                    \
  /* LoadReg | LoadConst, n times (2 <= n <= 8), then n - 1 Concat: one text joined straight from the */ \
  /* registers and constants, with no copy of them pushed (see kJoinMax and the handler)             */ \
  X(FusedJoin)                                                                                         \
  /* Binary operations on numbers with operands straight from registers, immediates and number      */ \
  /* constants: kFusedBin + op * kBinForms + form, op in BinOp order. Left operand and result by form:*/ \
  /*   RR LoadReg a; LoadReg b; <op>   RI LoadReg a; Push k; <op>   RC LoadReg a; LoadConst k; <op> */ \
  /*   TR LoadReg b; <op> (left: the top)   TI Push k; <op>   TC LoadConst k; <op>                  */ \
  /* each pushing the result or, in its _S form, followed by StoreReg c that takes it;              */ \
  /* and SS: <op>; StoreReg c. CR: LoadConst k; LoadReg a; <op> (the constant on the left).         */ \
  TARNWICK_FUSED_BIN_FORMS(X, Add) TARNWICK_FUSED_BIN_FORMS(X, Sub) TARNWICK_FUSED_BIN_FORMS(X, Mul)   \
  TARNWICK_FUSED_BIN_FORMS(X, Div) TARNWICK_FUSED_BIN_FORMS(X, Lt) TARNWICK_FUSED_BIN_FORMS(X, Le)     \
  TARNWICK_FUSED_BIN_FORMS(X, Gt) TARNWICK_FUSED_BIN_FORMS(X, Ge) TARNWICK_FUSED_BIN_FORMS(X, Mod)     \
  TARNWICK_FUSED_BIN_FORMS(X, Eq) TARNWICK_FUSED_BIN_FORMS(X, Ne)                                      \
  /* Two operators, the second combining the value below with the first's result:                  */ \
  /*   LoadReg a; LoadReg b; <op1>; <op2> (Pair<op1><op2>, both of + - * /), as in x + a * b         */ \
  TARNWICK_FUSED_PAIR_FORMS(X, Add) TARNWICK_FUSED_PAIR_FORMS(X, Sub) TARNWICK_FUSED_PAIR_FORMS(X, Mul) \
  TARNWICK_FUSED_PAIR_FORMS(X, Div)                                                                    \
  /* Element reads: LoadReg a; LoadReg i; GetIndex (RR), LoadReg a; Push k; GetIndex (RI),          */ \
  /* LoadReg a; LoadConst k; GetIndex (RC), LoadReg a; LoadReg i; Push k; Add; GetIndex (RRI).      */ \
  X(FusedIndexRR) X(FusedIndexRI) X(FusedIndexRC) X(FusedIndexRRI)                                     \
  /* o.m(): LoadReg o; LoadConst k; GetIndex; Call 0, the read as FusedIndexRC; a method found for o    */ \
  /* whose body the call site knows is entered with o as its receiver, no method value made          */ \
  X(FusedCallMethodRC)                                                                                 \
  X(FusedSetIndexStore) /* SetIndex; Dup; StoreReg r; Pop with the container held by r: in place */    \
  /* Element stores addressed by registers: LoadReg a; LoadReg i; LoadReg v | Push k | LoadConst k;    */ \
  /* SetIndex; Dup; StoreReg a; Pop, done in place when a holds the only handle to an array          */ \
  X(FusedStoreRRR) X(FusedStoreRRI) X(FusedStoreRRC)                                                   \
  /* Element stores a[i] = v, a[i + k] = v whose value is computed from registers, constants and      */ \
  /* operators (no call, register write or jump target in between), closed by SetIndex; Dup;         */ \
  /* StoreReg a; Pop. The opening LoadReg a; LoadReg i (RR) or LoadReg a; LoadReg i; Push k; Add      */ \
  /* (RRI) pushes nil where a's handle would go; the closing SetIndex (End), or the operator before   */ \
  /* it with SetIndex (EndAdd ... EndMod), finds a nil there and stores into the array a holds.       */ \
  X(FusedStoreBeginRR) X(FusedStoreBeginRRI) X(FusedStoreEnd)                                          \
  X(FusedStoreEndAdd) X(FusedStoreEndSub) X(FusedStoreEndMul) X(FusedStoreEndDiv) X(FusedStoreEndMod)  \
  /* Dup; LoadReg t; GetIndex opening a nested store g[t][k] = v whose write-back ends in             */ \
  /* SetIndex; Dup; StoreReg g; Pop: the element is moved out of g (see the handler)                 */ \
  X(FusedTakeElement)                                                                                  \
  X(FusedMove)          /* LoadReg x; StoreReg y */                                                    \
  X(FusedReturnReg)     /* LoadReg x; Return */                                                        \
  X(FusedTestReg)       /* LoadReg x; JumpIfFalse t | JumpIfTrue t (forward): a branch on a register  */ \
  /* <op>; Return in a function body, op one of + - * / (in BinOp order)                           */ \
  X(FusedReturnAdd) X(FusedReturnSub) X(FusedReturnMul) X(FusedReturnDiv)                              \
  X(FusedSetImm)        /* Push k; StoreReg y */                                                       \
  X(FusedSetConst)      /* LoadConst k; StoreReg y */                                                  \
  /* + comparison: <cmp>; JumpIfFalse t (forward), operands on the stack */                            \
  X(CmpBranchLt) X(CmpBranchLe) X(CmpBranchGt) X(CmpBranchGe) X(CmpBranchEq) X(CmpBranchNe)            \
  X(FusedAndBranch) /* And; JumpIfFalse t (forward) */                                                 \
  /* Replacement forms: one instruction with its operand checked or resolved when the body is       */ \
  /* loaded. They stand for exactly the instruction they replace and never start a fused sequence.  */ \
  X(RegisterError)    /* LoadReg or StoreReg of a slot past the register file: fails, pops nothing */  \
  X(ConstantError)    /* LoadConst past the constant table */                                          \
  X(LoadGlobalCached) /* LoadGlobal; operand: its GlobalCache entry */                                 \
  /* Jump, JumpIfFalse, JumpIfTrue to the jump itself or backward, then to the end or past it */       \
  X(JumpBack) X(JumpIfFalseBack) X(JumpIfTrueBack)                                                     \
  X(JumpOut) X(JumpIfFalseOut) X(JumpIfTrueOut)                                                        \
  /* An instruction of a long stretch without calls or back edges, which counts towards the next poll */ \
  /* first: its own code is in CodeUnit::poll_ops. Straight-line code cannot outrun a stop or a limit. */ \
  X(PollPoint)

enum FusedOp : uint32_t {
  kFusedBefore = kEndOpcode,
#define TARNWICK_FUSED_ENUM(name) kOp##name,
  TARNWICK_FUSED(TARNWICK_FUSED_ENUM)
#undef TARNWICK_FUSED_ENUM
  kFusedEnd,
  // Family bases: a member is the base plus its index.
  kFusedCmpRegImm = kOpCmpLtRI,
  kFusedCmpRegReg = kOpCmpLtRR,
  kFusedArith = kOpAddRRS,
  kFusedStoreTop = kOpFusedStoreTop,
  kFusedConcat = kOpFusedConcat,
  kFusedForNext = kOpFusedForNext,
  kFusedJoin = kOpFusedJoin,
  kFusedBin = kOpBinAdd_RR,
  kFusedPair = kOpPairAddAdd,
  kFusedIndexRR = kOpFusedIndexRR,
  kFusedIndexRI = kOpFusedIndexRI,
  kFusedIndexRC = kOpFusedIndexRC,
  kFusedIndexRRI = kOpFusedIndexRRI,
  kFusedSetIndexStore = kOpFusedSetIndexStore,
  kFusedMove = kOpFusedMove,
  kFusedReturnReg = kOpFusedReturnReg,
  kFusedSetImm = kOpFusedSetImm,
  kFusedSetConst = kOpFusedSetConst,
  kFusedCmpBranch = kOpCmpBranchLt,
  kFusedAndBranch = kOpFusedAndBranch,
  kRegisterError = kOpRegisterError,
  kConstantError = kOpConstantError,
  kLoadGlobalCached = kOpLoadGlobalCached,
  kJumpBack = kOpJumpBack,
  kJumpOut = kOpJumpOut,
};
static_assert(kFusedCmpRegImm == kEndOpcode + 1, "fused codes follow the end sentinel");

// The name of a fused code ("?" for anything else).
const char* fused_name(uint32_t code);

// Comparison kinds carried by fused compare-and-branch instructions.
namespace cmp {
enum CmpKind : uint64_t { kCmpLt, kCmpLe, kCmpGt, kCmpGe, kCmpEq, kCmpNe };
}

// Operations and operand forms of kFusedBin.
enum BinOp : uint32_t { kBinAdd, kBinSub, kBinMul, kBinDiv, kBinLt, kBinLe, kBinGt, kBinGe, kBinMod, kBinEq, kBinNe };
enum BinForm : uint32_t { kRR, kRI, kRC, kTR, kTI, kTC, kRR_S, kRI_S, kRC_S, kTR_S, kTI_S, kTC_S, kSS_S, kCR, kBinForms };

// The families' members sit where base + index says.
constexpr uint32_t member_code(uint32_t base, uint64_t index) { return base + static_cast<uint32_t>(index); }
static_assert(kOpCmpNeRI == member_code(kFusedCmpRegImm, cmp::kCmpNe) &&
              kOpCmpNeRR == member_code(kFusedCmpRegReg, cmp::kCmpNe) &&
              kOpCmpBranchNe == member_code(kFusedCmpBranch, cmp::kCmpNe));
static_assert(kOpSubRRS == kFusedArith + 2 && kOpMulRIS == kFusedArith + 5);
static_assert(kOpBinSub_RR == member_code(kFusedBin, kBinSub * uint64_t{kBinForms}) &&
              kOpBinDiv_TC == member_code(kFusedBin, kBinDiv * uint64_t{kBinForms} + kTC) &&
              kOpBinGe_SS_S == member_code(kFusedBin, kBinGe * uint64_t{kBinForms} + kSS_S) &&
              kOpBinNe_SS_S == member_code(kFusedBin, kBinNe * uint64_t{kBinForms} + kSS_S));
static_assert(kOpJumpIfTrueBack == kJumpBack + 2 && kOpJumpIfTrueOut == kJumpOut + 2);
static_assert(kOpBinNe_CR == member_code(kFusedBin, kBinNe * uint64_t{kBinForms} + kCR));
// Pair members: kFusedPair + op1 * 4 + op2, both in BinOp order (Add, Sub, Mul, Div).
static_assert(kOpPairSubMul == member_code(kFusedPair, kBinSub * 4 + kBinMul) &&
              kOpPairDivDiv == member_code(kFusedPair, kBinDiv * 4 + kBinDiv));
static_assert(kOpFusedStoreEndDiv == member_code(kOpFusedStoreEndAdd, kBinDiv) &&
              kOpFusedReturnDiv == member_code(kOpFusedReturnAdd, kBinDiv));

struct GlobalCache {
  uint64_t version = 0;   // globals version the entry was filled at; 0 = never
  ValueRef* slot = nullptr;  // nullptr: the name was absent at that version
  const ValueRef* value = nullptr;  // what a read gives: the slot, or a shared nil when absent
};

// What a Call instruction resolved to last time, keyed by the callee value it saw. Adding a native
// empties every call site.
struct CallSite {
  enum Kind : uint8_t { Empty, Unit, Native, Builtin, Nil, MethodUnit };
  // What the interpreter's inline paths compare a callee with: each is set only for its kind of site, so
  // that one compare (after the value's kind) is a hit.
  const void* unit_id = nullptr;     // Unit: the Function value's identity
  const void* builtin_id = nullptr;  // Builtin: the same
  const void* method_id = nullptr;   // MethodUnit: the identity of the Function naming the implementation
  // The callee value seen: a Function or NativeFn, or for a method the Function naming its implementation
  // (the receiver is not kept). These are interned names that live as long as the process: the identity
  // alone stands for the value.
  const void* callee_id = nullptr;
  const CodeUnit* unit = nullptr;
  std::shared_ptr<NativeCallable> native;
  // Bytes of the callee and this call's arguments on the stack (argc + 1 values; past any stack when argc
  // is huge). Until the site is filled: one value, which the inline paths then find no match for.
  uint32_t span = sizeof(ValueRef);
  // Unit and MethodUnit: how many of this call's arguments land in a register (the rest are dropped).
  uint16_t bind = 0;
  int8_t builtin = -1;
  Kind kind = Empty;
};
static_assert(sizeof(CallSite) == 64, "call sites are indexed by a shift");

// What a member read (GetIndex with a string key, or the fused read of a constant key) found, for up to
// kWays receiver layouts: a site that sees objects of a few classes answers each of them without the slow
// path. For an object of a frozen shape the answer follows from the shape alone, or from the shape and the
// class name the object holds: a way's `shape` and `key` (held, compared by identity) say which reads its
// answer is for.
//   Entry   the key is in the shape: the value in `slot`
//   Method  the key is not, "__class__" is, in `slot`: when it holds `class_name` (by identity), the class
//           lookup's answer `function` (nil: no such method); otherwise another way or the slow path
//   Absent  neither the key nor "__class__" is in the shape: nil
// Ways fill in order; once all are in use a new answer replaces them in turn. The last class lookup is
// remembered apart from the ways (for objects whose shape is not frozen). The VM's method cache never
// changes an answer once given, so neither does a site.
struct MethodSite {
  enum Kind : uint8_t { None, Entry, Method, Absent };
  struct Way {
    Kind kind = None;
    uint32_t slot = 0;
    const void* shape_id = nullptr;
    const void* key_id = nullptr;
    const void* class_id = nullptr;
    ShapeRef shape;
    ValueRef key;
    ValueRef class_name;
    ValueRef function;
  };
  static constexpr size_t kWays = 4;
  Way ways[kWays];
  uint8_t next = 0;  // the way the next answer replaces once all are in use
  ValueRef class_name;  // the last class lookup: class name and member by identity, its answer
  ValueRef member;
  ValueRef function;
};

// What a MakeObject built last time: the key strings it saw (held, compared by identity) and the frozen
// shape of their object, which the next object built from the same keys shares.
struct ObjectSite {
  ShapeRef shape;
  std::vector<ValueRef> keys;
};

// One immutable body (the main program or a function), plus this VM's caches beside it.
struct CodeUnit {
  std::string name;
  std::string origin;  // the name of the script it came from (for tracebacks)
  std::vector<Instruction> code;  // followed by one kEndOpcode sentinel (not counted in code_size)
  std::vector<Instruction> exec;  // what the loop dispatches on: code with fused instructions
  // The code that each PollPoint of exec stands for, by pc (empty when there are none).
  std::vector<uint32_t> poll_ops;
  size_t code_size = 0;
  std::vector<ValueRef> constants;
  std::vector<uint64_t> lines;
  uint64_t arity = 0;
  size_t reg_count = 0;  // registers the code can reach: one past the highest slot below 256 it names
  size_t bind_limit = 0;  // arguments that land in a register: min(arity, reg_count)

  // Caches are filled while the body runs; the code itself never changes.
  mutable std::vector<GlobalCache> global_cache;  // one per constant index
  mutable std::vector<CallSite> sites;    // one per Call instruction; the executable Call's imm indexes it
  // One per instruction that reads an object member (GetIndex and the fused reads); their imm indexes it.
  mutable std::vector<MethodSite> method_sites;
  mutable std::vector<ObjectSite> object_sites;  // one per MakeObject; its imm indexes it

  // Bytes of the storage above, charged to the memory account the unit was made under: a runtime's loaded
  // programs are held on the script's behalf like its values.
  size_t charged = 0;

  CodeUnit(std::string n, std::vector<Instruction> c, std::vector<ValueRef> k, std::vector<uint64_t> l, uint64_t a);
  ~CodeUnit() { credit(charged); }
  CodeUnit(const CodeUnit&) = delete;
  CodeUnit& operator=(const CodeUnit&) = delete;

  // Instructions between two poll points of a straight stretch, and what a poll point counts towards the
  // next poll (a back edge or call counts one).
  static constexpr size_t kPollStretch = 64;
  static constexpr uint32_t kPollPointWeight = 16;

  // Writes the copy without fused sequences over exec (see VM::drop_fused_sequences_near_ceiling).
  void use_plain_code();

 private:
  void mark_poll_points();
  void number_sites(std::vector<Instruction>& copy);
};

// Builtin index by name, or -1.
int builtin_index(const std::string& name);
// The indexes of the builtins that call sites run inline: "len", and "sqrt", "cos", "sin" of one number.
inline constexpr int kBuiltinPrint = 0;
inline constexpr int kBuiltinLen = 5;
inline constexpr int kBuiltinRange = 6;
inline constexpr int kBuiltinInput = 8;
inline constexpr int kBuiltinSqrt = 9;
inline constexpr int kBuiltinCos = 16;
inline constexpr int kBuiltinSin = 17;

// The state of a `for` over range(a, b) entered through FusedRangeIter: [marker, next, end], the marker
// being a value no script can make. It steps like [items, k] over the array range(a, b) would return, and
// only a loop's own hidden register ever holds it.
const ValueRef& range_marker();
inline bool is_range_state(const std::vector<ValueRef>& s) {
  return s.size() == 3 && s[0].kind() == ValueKind::NativeFn && s[0].heap_identity() == range_marker().heap_identity();
}

// "Out of memory" guard for sizes a script controls.
bool fits_in_memory(uint64_t bytes);

extern const char kOutOfMemory[];

// Failure texts shared by the loop and the call paths.
inline constexpr const char* kStackUnderflow = "Stack underflow";
inline constexpr const char* kStackOverflow = "Stack overflow";
inline constexpr const char* kNoCall = "Return without matching call";
// The name of the units that host calls run in; no function can have it.
inline constexpr const char* kHostCallUnit = "<host call>";
// Fused sequences push less on the way than their instructions would: at most this many values more.
inline constexpr uint64_t kSequencePeak = 7;
// Operands of a FusedJoin at most: it pushes one value where its instructions push up to this many.
inline constexpr size_t kJoinMax = 8;
static_assert(kJoinMax - 1 <= kSequencePeak, "a join's saving stays within the sequence peak");
// Register operands at or past this are errors; the fused forms keep a slot in 8 bits.
inline constexpr uint64_t kRegisterLimit = kFrameRegisters;

// Scoped holds of the globals lock.
struct ReadGuard {
  RwLock& l;
  explicit ReadGuard(RwLock& lock) : l(lock) { l.lock_shared(); }
  ~ReadGuard() { l.unlock_shared(); }
};
struct WriteGuard {
  RwLock& l;
  explicit WriteGuard(RwLock& lock) : l(lock) { l.lock(); }
  ~WriteGuard() { l.unlock(); }
};

}  // namespace tarnwick::detail
