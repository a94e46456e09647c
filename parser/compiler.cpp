// One pass over the syntax tree to bytecode (the first compiler stage; vm_engine/compiler.cpp is the
// second): variables become registers as they are declared, every other name is a global reached by a
// string constant, and forward jumps are patched once their target is known.
//
// The pass allocates little: code units nest (a function body is compiled while the main program waits),
// so their names, scopes, pending jumps and expression chains live on stacks shared by the whole pass, and
// each unit's instruction, position and constant buffers come from a per-thread pool indexed by nesting
// depth. Constants are kept as views of the syntax tree's texts until the whole program is compiled; then
// the main program's table is made, and shared blocks hold the constants of the function records.
#include "parser/compiler.h"
#include "vm_engine/value.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace tarnwick {

namespace {

constexpr const char* kBreakOutsideLoop = "'break' outside of a loop";
constexpr const char* kContinueOutsideLoop = "'continue' outside of a loop";

// The position of an alternative in a node variant, for dispatching with one switch.
template <class T, class Variant>
struct AltIndex;
template <class T, class... Ts>
struct AltIndex<T, std::variant<Ts...>> {
  static constexpr size_t value = [] {
    constexpr bool same[] = {std::is_same_v<T, Ts>...};
    for (size_t i = 0; i < sizeof...(Ts); ++i)
      if (same[i]) return i;
    return sizeof...(Ts);
  }();
};
template <class T>
constexpr size_t kExpr = AltIndex<T, Expr::Node>::value;
template <class T>
constexpr size_t kStmt = AltIndex<T, Stmt::Node>::value;

// What the compiler takes counts against a running runtime's memory limit for as long as the compilation
// lasts (the buffers are pooled per thread, and the code is handed on).
inline void count_taken(size_t bytes) { detail::charge_transient(bytes); }

// The next capacity of a growing buffer: doubling while small; past a few megabytes a quarter more, so
// that a huge program's buffers end at most a quarter larger than what they hold (realloc moves a block
// that large by remapping its pages, so the extra growth steps copy nothing).
inline size_t next_capacity(size_t capacity, size_t first, size_t entry_size) {
  if (capacity == 0) return first;
  if (capacity * entry_size < (size_t{4} << 20)) return capacity * 2;
  return capacity + capacity / 4;
}

// Buffers kept for the next pass on this thread are given back to the system past this size: a huge
// program's would otherwise stay with the thread for good.
constexpr size_t kKeptBufferBytes = size_t{8} << 20;

// A growable array of plain entries whose append is one compare and one store, growth kept out of line.
template <class T>
class PlainBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PlainBuffer() = default;
  PlainBuffer(const PlainBuffer&) = delete;
  PlainBuffer& operator=(const PlainBuffer&) = delete;
  ~PlainBuffer() { std::free(data_); }

  // The common path keeps nothing across a call, so it needs no saved registers.
  void push_back(const T& value) {
    const size_t at = size_;
    if (at == capacity_) [[unlikely]] return grow_and_push(value);
    data_[at] = value;
    size_ = at + 1;
  }
  void append(const T* items, size_t n) {
    while (capacity_ - size_ < n) grow();
    if (n != 0) std::memcpy(data_ + size_, items, n * sizeof(T));
    size_ += n;
  }
  bool full() const { return size_ == capacity_; }
  // Only when not full.
  size_t push_unchecked(const T& value) {
    data_[size_] = value;
    return size_++;
  }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T& back() { return data_[size_ - 1]; }
  void pop_back() { --size_; }
  size_t size() const { return size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  void clear() { size_ = 0; }
  // Drops the entries from `n` on (n is at most the size).
  void truncate(size_t n) { size_ = n; }
  void swap(PlainBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }
  // Empties the buffer, giving its memory back when it is too large to keep for another pass.
  void clear_and_trim() {
    size_ = 0;
    if (capacity_ * sizeof(T) <= kKeptBufferBytes) return;
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
  }

 private:
  [[gnu::noinline]] void grow_and_push(T value) {
    grow();
    data_[size_++] = value;
  }
  // realloc: a large block is moved by remapping its pages rather than by copying them.
  [[gnu::noinline]] void grow() {
    size_t capacity = next_capacity(capacity_, 64, sizeof(T));
    count_taken((capacity - capacity_) * sizeof(T));
    T* data = static_cast<T*>(std::realloc(data_, capacity * sizeof(T)));
    if (data == nullptr) throw std::bad_alloc();
    data_ = data;
    capacity_ = capacity;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// A unit's instructions with their source positions, side by side: every emitted instruction appends to
// both under one capacity check.
class CodeBuffer {
 public:
  CodeBuffer() = default;
  CodeBuffer(const CodeBuffer&) = delete;
  CodeBuffer& operator=(const CodeBuffer&) = delete;
  ~CodeBuffer() {
    std::free(code_);
    std::free(lines_);
  }

  // The common path keeps nothing across a call, so it needs no saved registers.
  size_t push(Instruction in, uint64_t position) {
    const size_t at = size_;
    if (at == capacity_) [[unlikely]] return grow_and_push(in, position);
    code_[at] = in;
    lines_[at] = position;
    size_ = at + 1;
    return at;
  }
  bool full() const { return size_ == capacity_; }
  // Only when not full.
  void push_unchecked(Instruction in, uint64_t position) {
    code_[size_] = in;
    lines_[size_] = position;
    ++size_;
  }
  Instruction& operator[](size_t i) { return code_[i]; }
  size_t size() const { return size_; }
  const Instruction* code() const { return code_; }
  const uint64_t* lines() const { return lines_; }
  void clear() { size_ = 0; }
  void swap(CodeBuffer& other) noexcept {
    std::swap(code_, other.code_);
    std::swap(lines_, other.lines_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }
  // The instructions, copied out; a large buffer's memory goes back at once, before the positions are
  // copied, so that the copies and the buffer are not all held together.
  void move_to(std::vector<Instruction>& code, std::vector<uint64_t>& lines) {
    const bool trim = capacity_ * (sizeof(Instruction) + sizeof(uint64_t)) > kKeptBufferBytes;
    code.assign(code_, code_ + size_);
    if (trim) {
      std::free(code_);
      code_ = nullptr;
    }
    lines.assign(lines_, lines_ + size_);
    size_ = 0;
    if (trim) {
      std::free(lines_);
      lines_ = nullptr;
      capacity_ = 0;
    }
  }

 private:
  [[gnu::noinline]] size_t grow_and_push(Instruction in, uint64_t position) {
    grow();
    code_[size_] = in;
    lines_[size_] = position;
    return size_++;
  }
  // realloc: a large block is moved by remapping its pages rather than by copying them.
  void grow() {
    size_t capacity = next_capacity(capacity_, 256, sizeof(Instruction) + sizeof(uint64_t));
    count_taken((capacity - capacity_) * (sizeof(Instruction) + sizeof(uint64_t)));
    auto* code = static_cast<Instruction*>(std::realloc(code_, capacity * sizeof(Instruction)));
    if (code == nullptr) throw std::bad_alloc();
    code_ = code;
    auto* lines = static_cast<uint64_t*>(std::realloc(lines_, capacity * sizeof(uint64_t)));
    if (lines == nullptr) throw std::bad_alloc();
    lines_ = lines;
    capacity_ = capacity;
  }

  Instruction* code_ = nullptr;
  uint64_t* lines_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// A constant as the unit collects it: a string is a view of the syntax tree's text (or of a name the
// compiler made, kept for the whole pass) and becomes an owned string when the unit is finished.
struct PendingConstant {
  const char* text = nullptr;
  uint64_t bits = 0;  // an integer's value, or a float's bits
  size_t size = 0;
  Constant::Kind kind = Constant::Kind::Nil;

  static PendingConstant nil() { return PendingConstant{}; }
  static PendingConstant string(std::string_view s) { return PendingConstant{s.data(), 0, s.size(), Constant::Kind::String}; }
  static PendingConstant integer(int64_t v) { return PendingConstant{nullptr, static_cast<uint64_t>(v), 0, Constant::Kind::Int}; }
  static PendingConstant floating(double v) {
    return PendingConstant{nullptr, std::bit_cast<uint64_t>(v), 0, Constant::Kind::Float};
  }
};

// Makes the constant where the vector puts it: the string is built once, in place, and never moved.
struct ConstantMaker {
  const PendingConstant& c;
  operator Constant() const {
    switch (c.kind) {
      case Constant::Kind::String: return Constant{Constant::Kind::String, false, 0, 0.0, std::string(c.text, c.size)};
      case Constant::Kind::Int: return Constant{Constant::Kind::Int, false, static_cast<int64_t>(c.bits), 0.0, std::string()};
      case Constant::Kind::Float:
        return Constant{Constant::Kind::Float, false, 0, std::bit_cast<double>(c.bits), std::string()};
      case Constant::Kind::Bool:  // never made by the compiler
      case Constant::Kind::Nil: break;
    }
    return Constant{};
  }
};

// Appends the constants with owned strings.
void materialize(std::vector<Constant>& out, const PendingConstant* begin, const PendingConstant* end) {
  if (detail::account_room() != UINT64_MAX) {  // only a limited runtime's compilation has to add them up
    size_t bytes = static_cast<size_t>(end - begin) * sizeof(Constant);
    for (const PendingConstant* c = begin; c != end; ++c) bytes += c->kind == Constant::Kind::String ? c->size : 0;
    count_taken(bytes);
  }
  out.reserve(out.size() + static_cast<size_t>(end - begin));
  for (const PendingConstant* c = begin; c != end; ++c) out.emplace_back(ConstantMaker{*c});
}

// A declared name and its register. Bindings whose names fall in the same slot of the name table are
// chained newest first through `prev`.
struct Binding {
  const char* text;
  size_t size;
  uint64_t reg;
  size_t slot;
  size_t prev;
};

// The name table: for each slot, the newest binding of a name in that slot (every unit being compiled
// included), or kNoBinding. A name's slot is a mix of its length and its first and last bytes.
constexpr size_t kNameSlots = 256;
constexpr size_t kNoBinding = static_cast<size_t>(-1);

inline size_t name_slot(std::string_view name) {
  const size_t n = name.size();
  if (n == 0) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(name.data());
  return (p[0] + (size_t{p[n - 1]} << 3) + (n << 5)) & (kNameSlots - 1);
}

inline bool same_text(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// One block's names: the bindings from `begin` up to the next scope's begin (or the top). Most blocks
// hold a handful of names, found faster by a scan than by hashing; a block that grows past kScanLimit
// (a long main program) moves its names into a hash map and binds there from then on.
using ScopeIndex = std::unordered_map<std::string_view, uint64_t>;
struct Scope {
  static constexpr size_t kScanLimit = 32;
  size_t begin = 0;
  uint64_t next = 0;            // the next free register
  ScopeIndex* index = nullptr;  // owned; freed when the scope goes
};

// The stacks of one pass over a program, kept per thread between passes so that their capacity is reused.
struct PassStacks {
  PlainBuffer<Scope> scopes;       // the scopes of every unit being compiled, innermost last
  PlainBuffer<Binding> bindings;   // their names, in scope order
  size_t name_table[kNameSlots];
  PlainBuffer<const Expr*> chain;  // see compile_expr
  PlainBuffer<size_t> pending;     // see patch_pending
  // The breaks and continues of the loops being compiled: the jump's position times two, plus one for a
  // continue. Each loop owns the entries above the size it found when its body began.
  PlainBuffer<size_t> loop_jumps;
  // The constants of every finished record, record after record, with each record's count: they are
  // made into one shared block once the whole program is compiled.
  PlainBuffer<PendingConstant> record_constants;
  PlainBuffer<size_t> record_constant_counts;

  void swap(PassStacks& other) noexcept {
    scopes.swap(other.scopes);
    bindings.swap(other.bindings);
    chain.swap(other.chain);
    pending.swap(other.pending);
    loop_jumps.swap(other.loop_jumps);
    record_constants.swap(other.record_constants);
    record_constant_counts.swap(other.record_constant_counts);
    std::swap(name_table, other.name_table);
  }
  PassStacks() { std::fill_n(name_table, kNameSlots, kNoBinding); }

  PassStacks(const PassStacks&) = delete;
  PassStacks& operator=(const PassStacks&) = delete;
  ~PassStacks() { clear(); }

  void clear() noexcept {
    for (const Scope& scope : scopes) delete scope.index;
    scopes.clear_and_trim();
    bindings.clear_and_trim();
    std::fill_n(name_table, kNameSlots, kNoBinding);
    chain.clear_and_trim();
    pending.clear_and_trim();
    loop_jumps.clear_and_trim();
    record_constants.clear_and_trim();
    record_constant_counts.clear_and_trim();
  }
};

struct SparePassStacks {
  PassStacks stacks;
  bool lent = false;
};

// Per-thread state is reached through one pointer each: the library's thread-local block has to stay
// small enough for the space a dynamically loaded library gets.
SparePassStacks& spare_pass_stacks() {
  thread_local std::unique_ptr<SparePassStacks> spare;
  if (!spare) spare = std::make_unique<SparePassStacks>();
  return *spare;
}

enum class UnitKind { Main, Function, Lambda };

class Compiler;

// The state of one code unit: the main program, or one function, method or lambda body. Its scopes sit
// at the top of the compiler's scope stack while it is being compiled.
struct Unit {
  UnitKind kind = UnitKind::Main;
  std::string_view name;  // the function's global name; empty for the main program
  CodeBuffer code;
  PlainBuffer<PendingConstant> constants;
  size_t scope_base = 0;    // the unit's outermost scope in the compiler's scope stack
  size_t binding_base = 0;  // the unit's first binding
  size_t indexed_scopes = 0;
  uint64_t loop_depth = 0;
  // Records of definitions made directly by this unit; lambdas are numbered by it.
  uint64_t own_records = 0;
  uint64_t line = 0;
  // Hidden registers in use by the expression being compiled; they sit above the innermost scope's
  // registers and are free again once that expression is done.
  uint64_t temps = 0;
  // Function and method bodies keep the value of the latest expression statement here instead of on the
  // operand stack, so a long-running body runs in constant stack; the final return hands it back.
  std::optional<uint64_t> result_reg;
  // Whether the statement being compiled is always followed, before the body can fall off its end, by
  // another expression statement or a return: then its value never reaches the result register's reader.
  // Only worked out for bodies without break and continue, which could jump past the later statement.
  bool track_dead_results = false;
  bool result_dead = false;

  Unit() = default;
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  // Makes the unit new, keeping only the capacity of its buffers.
  void reset(UnitKind k, std::string_view n, uint64_t l) {
    kind = k;
    name = n;
    code.clear();
    constants.clear();
    indexed_scopes = 0;
    loop_depth = 0;
    own_records = 0;
    line = l;
    temps = 0;
    result_reg.reset();
    track_dead_results = false;
    result_dead = false;
  }
};

// Units by nesting depth, kept per thread: a unit starts with the capacity an earlier unit at its depth
// grew to, and what a unit made is copied out at its exact size.
struct UnitPool {
  std::vector<std::unique_ptr<Unit>> units;
  size_t in_use = 0;
};

UnitPool& unit_pool() {
  thread_local std::unique_ptr<UnitPool> pool;
  if (!pool) pool = std::make_unique<UnitPool>();
  return *pool;
}

// The unit of the next nesting depth, for as long as the lease lasts.
class UnitLease {
 public:
  UnitLease(Compiler& compiler, UnitKind kind, std::string_view name, uint64_t line);
  ~UnitLease();
  UnitLease(const UnitLease&) = delete;
  UnitLease& operator=(const UnitLease&) = delete;

  Unit& unit;

 private:
  Compiler& compiler_;
  static Unit& take(UnitPool& pool);
};

// One step of an assignment target path such as a[i].f: either an index expression or a member name.
struct PathStep {
  const Expr* index = nullptr;  // null for a member step
  const std::string_view* member = nullptr;
};

// How a key of a path step is loaded a second time, when the updated container goes back into its parent.
struct KeyLoad {
  Opcode op;
  uint64_t arg;
};

class Compiler {
 public:
  Compiler() {
    SparePassStacks& spare = spare_pass_stacks();
    if (!spare.lent) {
      st_.swap(spare.stacks);
      spare.lent = true;
      stacks_borrowed_ = true;
    }
  }
  ~Compiler() {
    if (!stacks_borrowed_) return;
    SparePassStacks& spare = spare_pass_stacks();
    st_.clear();
    st_.swap(spare.stacks);
    spare.lent = false;
  }
  Compiler(const Compiler&) = delete;
  Compiler& operator=(const Compiler&) = delete;

  UnitPool& pool() { return pool_; }

  std::optional<CompileError> error;
  // Off when only the main program's code and constants are wanted: function, method and lambda bodies
  // are then counted (lambda names depend on the count) and checked for a misplaced break or continue,
  // but not compiled.
  bool compile_bodies = true;
  // Every record compiled so far, in the order their compilation finished: definitions nested in a body
  // finish before it, so their records come first.
  std::vector<FunctionRecord> functions;

  void compile_block(Unit& u, const StmtList& stmts) {
    // A block of one statement leaves its deadness as the enclosing block set it.
    if (stmts.size() == 1) return compile_stmt(u, stmts[0]);
    if (!u.track_dead_results) {
      for (const Stmt& s : stmts) compile_stmt(u, s);
      return;
    }
    // Past the last expression statement or return of the block, a statement is dead only when the whole
    // block is: control leaving the block goes on to what follows the enclosing statement.
    size_t overwritten_before = 0;
    for (size_t i = stmts.size(); i-- > 0;) {
      const size_t kind = stmts[i].node.index();
      if (kind == kStmt<ast::ExprStatement> || kind == kStmt<ast::Return>) {
        overwritten_before = i;
        break;
      }
    }
    const bool outer = u.result_dead;
    for (size_t i = 0; i < stmts.size(); ++i) {
      u.result_dead = outer || i < overwritten_before;
      compile_stmt(u, stmts[i]);
    }
    u.result_dead = outer;
  }

  void compile_stmt(Unit& u, const Stmt& s);
  void compile_expr(Unit& u, const Expr& e);

  // Called by Unit as it begins and ends.
  void enter_unit(Unit& u) {
    u.scope_base = st_.scopes.size();
    u.binding_base = st_.bindings.size();
    st_.scopes.push_back(Scope{st_.bindings.size(), 0, nullptr});
  }
  void leave_unit(Unit& u) {
    if (u.indexed_scopes != 0)
      for (size_t s = u.scope_base; s < st_.scopes.size(); ++s) delete st_.scopes[s].index;
    st_.scopes.truncate(u.scope_base);
    drop_bindings(u.binding_base);
  }

  [[gnu::always_inline]] static size_t emit(Unit& u, Instruction in) { return u.code.push(in, u.line); }
  [[gnu::always_inline]] static size_t emit(Unit& u, Opcode op, uint64_t arg = 0) { return emit(u, make_instr(op, arg)); }

 private:
  // --- emission -----------------------------------------------------------------------------------------
  // An instruction that can fail, placed at the expression that makes it. Its failure names the
  // statement's line (expressions do not change it, whatever lines they span); the exact line and column
  // go along for tracebacks.
  [[gnu::always_inline]] static size_t emit_at(Unit& u, const Expr& e, Opcode op, uint64_t arg = 0) {
    return u.code.push(make_instr(op, arg),
                       e.line != 0 && u.line != 0 ? source_position(u.line, e.line, e.column) : u.line);
  }
  static uint64_t add_constant(Unit& u, const PendingConstant& c) {
    u.constants.push_back(c);
    return u.constants.size() - 1;
  }
  static uint64_t add_nil(Unit& u) { return add_constant(u, PendingConstant::nil()); }
  static uint64_t add_string(Unit& u, std::string_view s) { return add_constant(u, PendingConstant::string(s)); }
  // An instruction whose operand is a new constant. The common path makes no call, so it needs no saved
  // registers.
  [[gnu::always_inline]] static void emit_with_constant(Unit& u, Opcode op, const PendingConstant& c) {
    if (u.constants.full() || u.code.full()) [[unlikely]] return emit_with_constant_slow(u, op, c);
    u.code.push_unchecked(make_instr(op, u.constants.push_unchecked(c)), u.line);
  }
  [[gnu::noinline]] static void emit_with_constant_slow(Unit& u, Opcode op, PendingConstant c) {
    emit(u, op, add_constant(u, c));
  }
  static void emit_nil(Unit& u) { emit_with_constant(u, Opcode::LoadConst, PendingConstant::nil()); }
  static void emit_string(Unit& u, std::string_view s) { emit_with_constant(u, Opcode::LoadConst, PendingConstant::string(s)); }
  static void emit_int(Unit& u, int64_t v) {
    if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
      emit(u, make_push(static_cast<int32_t>(v)));
    } else {
      emit_with_constant(u, Opcode::LoadConst, PendingConstant::integer(v));
    }
  }
  static void emit_float(Unit& u, double v) { emit_with_constant(u, Opcode::LoadConst, PendingConstant::floating(v)); }
  static size_t here(const Unit& u) { return u.code.size(); }
  static void patch(Unit& u, size_t at, size_t target) {
    if (is_jump(u.code[at].opcode)) u.code[at].arg = target;
  }

  // --- names and registers ------------------------------------------------------------------------------
  // The register of a declared name. The newest binding in the name's slot is the answer when it has the
  // name; when it belongs to an enclosing unit, the unit has no binding in that slot. Anything else (two
  // names sharing a slot, or scopes moved into hash maps) takes the full search.
  bool resolve(const Unit& u, std::string_view name, uint64_t& reg) const {
    if (u.indexed_scopes == 0) [[likely]] {
      switch (const Binding* b = nullptr; find_in_table(u, name, b)) {
        case Lookup::Found: reg = b->reg; return true;
        case Lookup::Absent: return false;
        case Lookup::Unsure: break;
      }
    }
    return resolve_scoped(u, name, reg);
  }
  enum class Lookup { Found, Absent, Unsure };
  Lookup find_in_table(const Unit& u, std::string_view name, const Binding*& found) const {
    const size_t i = st_.name_table[name_slot(name)];
    if (i == kNoBinding || i < u.binding_base) return Lookup::Absent;
    const Binding& b = st_.bindings[i];
    if (b.size != name.size() || !same_text(b.text, name.data(), name.size())) return Lookup::Unsure;
    found = &b;
    return Lookup::Found;
  }
  // The unit's scopes innermost first and, within a block, the latest binding first: the first match is
  // the one in force.
  bool resolve_scoped(const Unit& u, std::string_view name, uint64_t& reg) const {
    auto same = [&](const Binding& b) { return b.size == name.size() && std::memcmp(b.text, name.data(), name.size()) == 0; };
    size_t end = st_.bindings.size();
    for (size_t s = st_.scopes.size(); s-- > u.scope_base;) {
      const Scope& scope = st_.scopes[s];
      if (scope.index) {
        auto found = scope.index->find(name);
        if (found != scope.index->end()) {
          reg = found->second;
          return true;
        }
      } else {
        for (size_t i = end; i-- > scope.begin;) {
          if (same(st_.bindings[i])) {
            reg = st_.bindings[i].reg;
            return true;
          }
        }
      }
      end = scope.begin;
    }
    return false;
  }
  // Drops the bindings from `mark` on, newest first, giving each slot back its previous binding.
  void drop_bindings(size_t mark) {
    for (size_t i = st_.bindings.size(); i-- > mark;) st_.name_table[st_.bindings[i].slot] = st_.bindings[i].prev;
    st_.bindings.truncate(mark);
  }
  // A name declared again in the same block takes the new register: the later binding is found first.
  uint64_t declare(Unit& u, std::string_view name) {
    Scope& scope = st_.scopes.back();
    const uint64_t reg = scope.next++;
    if (scope.index != nullptr || st_.bindings.full() || st_.bindings.size() - scope.begin >= Scope::kScanLimit) [[unlikely]]
      return declare_slow(u, name, reg);
    const size_t slot = name_slot(name);
    st_.name_table[slot] = st_.bindings.push_unchecked(Binding{name.data(), name.size(), reg, slot, st_.name_table[slot]});
    return reg;
  }
  [[gnu::noinline]] uint64_t declare_slow(Unit& u, std::string_view name, uint64_t reg) {
    Scope& scope = st_.scopes.back();
    if (scope.index != nullptr) {
      scope.index->insert_or_assign(name, reg);
      return reg;
    }
    const size_t slot = name_slot(name);
    st_.bindings.push_back(Binding{name.data(), name.size(), reg, slot, st_.name_table[slot]});
    st_.name_table[slot] = st_.bindings.size() - 1;
    if (st_.bindings.size() - scope.begin > Scope::kScanLimit) index_scope(u, scope);
    return reg;
  }
  void index_scope(Unit& u, Scope& scope) {
    scope.index = new ScopeIndex();
    for (size_t i = scope.begin; i < st_.bindings.size(); ++i)
      scope.index->insert_or_assign(std::string_view(st_.bindings[i].text, st_.bindings[i].size), st_.bindings[i].reg);
    drop_bindings(scope.begin);
    ++u.indexed_scopes;
  }
  void push_block_scope() { st_.scopes.push_back(Scope{st_.bindings.size(), st_.scopes.back().next, nullptr}); }
  void pop_block_scope(Unit& u) {
    Scope& scope = st_.scopes.back();
    if (scope.index != nullptr) {
      delete scope.index;
      --u.indexed_scopes;
    }
    drop_bindings(scope.begin);
    st_.scopes.pop_back();
  }
  uint64_t take_temp(Unit& u) { return st_.scopes.back().next + u.temps++; }

  // Loads or stores a variable: its register when declared, else the global of that name (each global use
  // gets a string constant of its own).
  [[gnu::noinline]] void load_name(Unit& u, std::string_view name) { access_name(u, name, Opcode::LoadReg, Opcode::LoadGlobal); }
  [[gnu::noinline]] void store_name(Unit& u, std::string_view name) {
    access_name(u, name, Opcode::StoreReg, Opcode::StoreGlobal);
  }
  void access_name(Unit& u, std::string_view name, Opcode to_reg, Opcode to_global) {
    if (u.indexed_scopes != 0) [[unlikely]] return access_name_slow(u, name, to_reg, to_global);
    const Binding* b = nullptr;
    switch (find_in_table(u, name, b)) {
      case Lookup::Found: emit(u, to_reg, b->reg); return;
      case Lookup::Absent: emit_with_constant(u, to_global, PendingConstant::string(name)); return;
      case Lookup::Unsure: return access_name_slow(u, name, to_reg, to_global);
    }
  }
  [[gnu::noinline]] void access_name_slow(Unit& u, std::string_view name, Opcode to_reg, Opcode to_global) {
    uint64_t reg;
    if (resolve(u, name, reg)) {
      emit(u, to_reg, reg);
    } else {
      emit(u, to_global, add_string(u, name));
    }
  }

  void fail(const char* message, uint64_t line) {
    if (!error) error = CompileError{message, line};
  }

  // Forward jumps waiting for the end of the construct that emitted them (the arms of an if, a ternary or
  // a switch). Constructs nest, so each one owns the entries above the size it found and drops them when
  // it is done.
  void patch_pending(Unit& u, size_t mark, size_t target) {
    for (size_t k = mark; k < st_.pending.size(); ++k) patch(u, st_.pending[k], target);
    st_.pending.truncate(mark);
  }

  // --- expressions --------------------------------------------------------------------------------------
  static const Expr* first_operand(const Expr& e);
  [[gnu::noinline]] static void compile_literal(Unit& u, const LiteralValue& v);
  // Small integers, the commonest literals, without the call.
  [[gnu::always_inline]] static void compile_literal_inline(Unit& u, const LiteralValue& v) {
    if (v.kind == LiteralValue::Kind::Int && v.int_value >= std::numeric_limits<int32_t>::min() &&
        v.int_value <= std::numeric_limits<int32_t>::max()) {
      emit(u, make_push(static_cast<int32_t>(v.int_value)));
      return;
    }
    compile_literal(u, v);
  }
  [[gnu::noinline]] void compile_chain(Unit& u, const Expr& root, const Expr* first);
  [[gnu::noinline]] void compile_single_link(Unit& u, const Expr& link, const Expr& first);
  void compile_operand(Unit& u, const Expr& e);
  [[gnu::always_inline]] inline void finish_after_first_operand(Unit& u, const Expr& e);
  [[gnu::noinline]] void compile_other(Unit& u, const Expr& e);
  void compile_assign(Unit& u, const ast::BinaryOp& op);
  void compile_path_store(Unit& u, std::string_view root, const std::vector<PathStep>& steps,
                          const Expr& value);
  void compile_lambda(Unit& u, const ast::Lambda& lambda);

  // --- statements ---------------------------------------------------------------------------------------
  [[gnu::noinline]] void compile_var(Unit& u, const ast::VarDecl& v);
  [[gnu::noinline]] void compile_return(Unit& u, const ast::Return& r);
  [[gnu::noinline]] void compile_loop_jump(Unit& u, uint64_t line, bool is_continue);
  [[gnu::noinline]] void compile_if(Unit& u, const ast::If& first);
  [[gnu::noinline]] void compile_while(Unit& u, const ast::While& w);
  [[gnu::noinline]] void compile_for(Unit& u, const ast::For& f);
  [[gnu::noinline]] void compile_switch(Unit& u, const ast::Switch& s);
  [[gnu::noinline]] void compile_class(Unit& u, const ast::ClassDef& c);
  static bool past_frame_registers(Unit& u);
  static void drop_result_register(Unit& u, uint64_t result);
  [[gnu::noinline]] void compile_expr_statement(Unit& u, const Expr& e);
  void close_loop(Unit& u, size_t mark, size_t continue_target, size_t break_target);

  // --- function bodies ----------------------------------------------------------------------------------
  void finish_function(Unit& parent, Unit& body, uint64_t arity);
  [[gnu::noinline]] void compile_function(Unit& parent, std::string_view name, std::span<const Param> params,
                        const StmtList& body, uint64_t line);

  PassStacks st_;
  bool stacks_borrowed_ = false;
  UnitPool& pool_ = unit_pool();
  std::deque<std::string> made_names_;  // names the compiler makes (methods, lambdas), viewed by constants
  Arena kept_texts_;                    // texts of constants whose tree is gone (see keep_texts_beyond_batch)
  size_t main_texts_checked_ = 0;
  size_t record_texts_checked_ = 0;

 public:
  // Gives every record its constants, as entries of shared blocks that each hold the constants of a run of
  // records. A block stays well below the size the allocator maps pages for, so a large program's blocks
  // come from memory it already has rather than from fresh pages.
  Result<BytecodeProgram, CompileError> finish_program(Unit& main);

  // Between batches of top-level statements: every text still wanted that lies in the batch's tree (a
  // decoded string literal) is copied, since the tree goes with the next batch. Names and texts that
  // view the source stay as they are. Only the main program's bindings outlive a batch, and they are
  // names, which view the source whenever the lexer reads it in place (the only case batches are used).
  void keep_texts_beyond_batch(Unit& main, std::string_view source) {
    auto keep = [&](PlainBuffer<PendingConstant>& list, size_t& checked) {
      for (; checked < list.size(); ++checked) {
        PendingConstant& c = list[checked];
        if (c.kind != Constant::Kind::String || c.size == 0) continue;
        const auto at = reinterpret_cast<uintptr_t>(c.text), from = reinterpret_cast<uintptr_t>(source.data());
        if (at >= from && at - from + c.size <= source.size()) continue;
        c.text = kept_texts_.copy(std::string_view(c.text, c.size)).data();
      }
    };
    keep(main.constants, main_texts_checked_);
    keep(st_.record_constants, record_texts_checked_);
  }

  void attach_record_constants() {
    static constexpr size_t kBlockConstants = 1024;
    const PendingConstant* pending = st_.record_constants.begin();
    for (size_t first = 0; first < functions.size();) {
      size_t last = first, count = 0;
      while (last < functions.size() && (last == first || count + st_.record_constant_counts[last] <= kBlockConstants))
        count += st_.record_constant_counts[last++];
      if (count != 0) {
        auto block = std::make_shared<std::vector<Constant>>();
        materialize(*block, pending, pending + count);
        pending += count;
        const Constant* next = block->data();
        for (size_t k = first; k < last; ++k) {
          std::vector<ConstantRef>& refs = functions[k].constants;
          for (size_t i = st_.record_constant_counts[k]; i != 0; --i) refs.emplace_back(block, next++);
        }
      }
      first = last;
    }
  }
};

Unit& UnitLease::take(UnitPool& pool) {
  if (pool.in_use == pool.units.size()) pool.units.push_back(std::make_unique<Unit>());
  return *pool.units[pool.in_use];
}

UnitLease::UnitLease(Compiler& compiler, UnitKind kind, std::string_view name, uint64_t line)
    : unit(take(compiler.pool())), compiler_(compiler) {
  unit.reset(kind, name, line);
  compiler_.enter_unit(unit);
  // Taken only once nothing can throw, so the destructor always gives it back.
  ++compiler_.pool().in_use;
}

UnitLease::~UnitLease() {
  compiler_.leave_unit(unit);
  --compiler_.pool().in_use;
}

// The `if` statement that an `else if` continues with (as chained_if, without the call).
inline const ast::If* next_if(const ast::If& s) {
  if (!s.else_body || s.else_body->size() != 1) return nullptr;
  return (*s.else_body)[0].as<ast::If>();
}

// Whether a break or continue appears among these statements or in the blocks they compile (the bodies
// of functions and classes defined here are other code units).
bool has_break_or_continue(const StmtList& stmts);

// The same for a nested block, answered without a call when the block is one simple statement.
inline bool block_has_break_or_continue(const StmtList& block) {
  if (block.size() == 1) {
    switch (block[0].node.index()) {
      case kStmt<ast::Break>:
      case kStmt<ast::Continue>: return true;
      case kStmt<ast::If>:
      case kStmt<ast::While>:
      case kStmt<ast::For>:
      case kStmt<ast::Switch>: break;
      default: return false;
    }
  }
  return has_break_or_continue(block);
}

bool has_break_or_continue(const StmtList& stmts) {
  for (const Stmt& s : stmts) {
    switch (s.node.index()) {
      case kStmt<ast::Break>:
      case kStmt<ast::Continue>: return true;
      case kStmt<ast::If>:
        for (const ast::If* i = std::get_if<ast::If>(&s.node); i != nullptr;) {
          if (block_has_break_or_continue(i->then_body)) return true;
          const ast::If* next = next_if(*i);
          if (next == nullptr && i->else_body && block_has_break_or_continue(*i->else_body)) return true;
          i = next;
        }
        break;
      case kStmt<ast::While>:
        if (block_has_break_or_continue(std::get_if<ast::While>(&s.node)->body)) return true;
        break;
      case kStmt<ast::For>:
        if (block_has_break_or_continue(std::get_if<ast::For>(&s.node)->body)) return true;
        break;
      case kStmt<ast::Switch>:
        for (const SwitchCase& c : std::get_if<ast::Switch>(&s.node)->cases)
          if (block_has_break_or_continue(c.body)) return true;
        break;
      default: break;
    }
  }
  return false;
}

// The first break or continue among these statements that compiling them would find outside every loop of
// its code unit, in the order compilation meets them; null when there is none. Bodies of functions and
// methods defined here are walked where they stand, as units of their own.
const Stmt* first_stray_jump(const StmtList& stmts, bool in_loop) {
  for (const Stmt& s : stmts) {
    const Stmt* found = nullptr;
    if (s.as<ast::Break>() || s.as<ast::Continue>()) {
      if (!in_loop) return &s;
    } else if (auto* first = s.as<ast::If>()) {
      for (const ast::If* i = first; i != nullptr && found == nullptr; i = next_if(*i)) {
        found = first_stray_jump(i->then_body, in_loop);
        if (found == nullptr && i->else_body && !next_if(*i)) found = first_stray_jump(*i->else_body, in_loop);
      }
    } else if (auto* w = s.as<ast::While>()) {
      found = first_stray_jump(w->body, true);
    } else if (auto* f = s.as<ast::For>()) {
      found = first_stray_jump(f->body, true);
    } else if (auto* sw = s.as<ast::Switch>()) {
      for (const SwitchCase& c : sw->cases)
        if (found == nullptr) found = first_stray_jump(c.body, in_loop);
    } else if (auto* fd = s.as<ast::FunctionDef>()) {
      found = first_stray_jump(fd->body, false);
    } else if (auto* c = s.as<ast::ClassDef>()) {
      for (const Stmt& member : c->body)
        if (auto* m = member.as<ast::FunctionDef>(); m != nullptr && found == nullptr)
          found = first_stray_jump(m->body, false);
    }
    if (found != nullptr) return found;
  }
  return nullptr;
}

// An assignment to an element or member path that starts at a variable: a[i] = v, o.p[k].q = v.
bool is_rooted_path_store(const Expr& e) {
  auto* b = e.as<ast::BinaryOp>();
  if (!b || b->op != BinaryOperator::Assign) return false;
  const Expr* node = b->left;
  if (!node->as<ast::Index>() && !node->as<ast::Member>()) return false;
  while (true) {
    if (auto* i = node->as<ast::Index>()) {
      node = i->object;
    } else if (auto* m = node->as<ast::Member>()) {
      node = m->object;
    } else {
      return node->as<ast::Identifier>() != nullptr;
    }
  }
}

// Operators and postfix forms whose first evaluated operand is their left child. Long chains of them
// (a + b + c + ..., f()()(), a.b.c...) are built by loops in the parser, so the compiler walks them with
// a loop too instead of recursing once per link.
const Expr* Compiler::first_operand(const Expr& e) {
  switch (e.node.index()) {
    case kExpr<ast::BinaryOp>: {
      const auto* b = std::get_if<ast::BinaryOp>(&e.node);
      return b->op == BinaryOperator::Assign ? nullptr : b->left;
    }
    case kExpr<ast::Call>: return std::get_if<ast::Call>(&e.node)->callee;
    case kExpr<ast::Index>: return std::get_if<ast::Index>(&e.node)->object;
    case kExpr<ast::Member>: return std::get_if<ast::Member>(&e.node)->object;
    case kExpr<ast::UnaryOp>: return std::get_if<ast::UnaryOp>(&e.node)->operand;
    case kExpr<ast::Propagate>: return std::get_if<ast::Propagate>(&e.node)->expr;
    case kExpr<ast::Await>: return std::get_if<ast::Await>(&e.node)->expr;
    case kExpr<ast::Yield>: return std::get_if<ast::Yield>(&e.node)->value;  // null when there is no value
    default: return nullptr;
  }
}

void Compiler::compile_expr(Unit& u, const Expr& root) {
  // Names and literals, most of a program's operands, are handled here; the rest is out of line.
  switch (root.node.index()) {
    case kExpr<ast::Identifier>: return load_name(u, std::get_if<ast::Identifier>(&root.node)->name);
    case kExpr<ast::Literal>: return compile_literal_inline(u, std::get_if<ast::Literal>(&root.node)->value);
    default: break;
  }
  if (const Expr* first = first_operand(root)) {
    if (first_operand(*first) == nullptr) return compile_single_link(u, root, *first);
    return compile_chain(u, root, first);
  }
  return compile_other(u, root);
}

// A chain of one link (x + 1, f(a), o.p): the shared link stack is not needed.
void Compiler::compile_single_link(Unit& u, const Expr& link, const Expr& first) {
  compile_operand(u, first);
  finish_after_first_operand(u, link);
}

// An expression that is not a chain link.
void Compiler::compile_operand(Unit& u, const Expr& e) {
  switch (e.node.index()) {
    case kExpr<ast::Identifier>: return load_name(u, std::get_if<ast::Identifier>(&e.node)->name);
    case kExpr<ast::Literal>: return compile_literal_inline(u, std::get_if<ast::Literal>(&e.node)->value);
    default: return compile_other(u, e);
  }
}

void Compiler::compile_literal(Unit& u, const LiteralValue& v) {
  switch (v.kind) {
    case LiteralValue::Kind::Nil: emit_nil(u); break;
    case LiteralValue::Kind::Bool: emit(u, make_push(v.bool_value ? 1 : 0)); break;
    case LiteralValue::Kind::Int: emit_int(u, v.int_value); break;
    case LiteralValue::Kind::Float: emit_float(u, v.float_value); break;
    case LiteralValue::Kind::String: emit_string(u, v.string_value); break;
  }
}

void Compiler::compile_chain(Unit& u, const Expr& root, const Expr* first) {
  // The links above the innermost operand go on a stack that the nested calls share: each call pushes
  // its own links above the caller's and takes them off again before it returns.
  const size_t mark = st_.chain.size();
  const Expr* e = &root;
  do {
    st_.chain.push_back(e);
    e = first;
  } while ((first = first_operand(*e)) != nullptr);
  compile_operand(u, *e);
  for (size_t k = st_.chain.size(); k-- > mark;) finish_after_first_operand(u, *st_.chain[k]);
  st_.chain.truncate(mark);
}

void Compiler::finish_after_first_operand(Unit& u, const Expr& e) {
  switch (e.node.index()) {
    case kExpr<ast::BinaryOp>: {
      const auto* b = std::get_if<ast::BinaryOp>(&e.node);
      compile_expr(u, *b->right);
      switch (b->op) {
        case BinaryOperator::Add: emit_at(u, e, Opcode::Add); break;
        case BinaryOperator::Sub: emit_at(u, e, Opcode::Sub); break;
        case BinaryOperator::Mul: emit_at(u, e, Opcode::Mul); break;
        case BinaryOperator::Div: emit_at(u, e, Opcode::Div); break;
        case BinaryOperator::Mod: emit_at(u, e, Opcode::Mod); break;
        case BinaryOperator::Power: emit_at(u, e, Opcode::Pow); break;
        case BinaryOperator::Eq: emit_at(u, e, Opcode::Eq); break;
        case BinaryOperator::Neq: emit_at(u, e, Opcode::Ne); break;
        case BinaryOperator::Lt: emit_at(u, e, Opcode::Lt); break;
        case BinaryOperator::Lte: emit_at(u, e, Opcode::Le); break;
        case BinaryOperator::Gt: emit_at(u, e, Opcode::Gt); break;
        case BinaryOperator::Gte: emit_at(u, e, Opcode::Ge); break;
        case BinaryOperator::And: emit_at(u, e, Opcode::And); break;
        case BinaryOperator::Or: emit_at(u, e, Opcode::Or); break;
        case BinaryOperator::BitwiseAnd:
        case BinaryOperator::BitwiseOr:
        case BinaryOperator::BitwiseXor:
        case BinaryOperator::LeftShift:
        case BinaryOperator::RightShift:
        case BinaryOperator::Assign:  // never reaches here: assignments are not chain links
          // No bitwise instructions exist: both operands run for their effects and the result is nil.
          emit(u, Opcode::Pop);
          emit(u, Opcode::Pop);
          emit_nil(u);
          break;
      }
      break;
    }
    case kExpr<ast::Call>: {
      const auto* c = std::get_if<ast::Call>(&e.node);
      for (const ExprPtr& arg : c->args) compile_expr(u, *arg);
      emit_at(u, e, Opcode::Call, c->args.size());
      break;
    }
    case kExpr<ast::Index>:
      compile_expr(u, *std::get_if<ast::Index>(&e.node)->index);
      emit_at(u, e, Opcode::GetIndex);
      break;
    case kExpr<ast::Member>:
      emit_string(u, std::get_if<ast::Member>(&e.node)->property);
      emit_at(u, e, Opcode::GetIndex);
      break;
    case kExpr<ast::UnaryOp>:
      switch (std::get_if<ast::UnaryOp>(&e.node)->op) {
        case UnaryOperator::Neg: emit_at(u, e, Opcode::Neg); break;
        case UnaryOperator::Not: emit_at(u, e, Opcode::Not); break;
        case UnaryOperator::BitwiseNot:
          emit(u, Opcode::Pop);
          emit_nil(u);
          break;
      }
      break;
    default:
      // Propagate, Await and Yield with a value are their inner expression alone.
      break;
  }
}

void Compiler::compile_other(Unit& u, const Expr& e) {
  switch (e.node.index()) {
    case kExpr<ast::Literal>: compile_literal(u, std::get_if<ast::Literal>(&e.node)->value); break;
    case kExpr<ast::Identifier>: load_name(u, std::get_if<ast::Identifier>(&e.node)->name); break;
    case kExpr<ast::BinaryOp>:
      compile_assign(u, *std::get_if<ast::BinaryOp>(&e.node));  // the only binary operator that is not a chain link
      break;
    case kExpr<ast::Ternary>: {
      // c1 ? a : c2 ? b : d is a chain through the else branches: a loop, with every exit jump patched at
      // the common end.
      const size_t mark = st_.pending.size();
      const Expr* link = &e;
      while (auto* t = link->as<ast::Ternary>()) {
        compile_expr(u, *t->condition);
        size_t to_else = emit(u, Opcode::JumpIfFalse);
        compile_expr(u, *t->then_expr);
        st_.pending.push_back(emit(u, Opcode::Jump));
        patch(u, to_else, here(u));
        link = t->else_expr;
      }
      compile_expr(u, *link);
      patch_pending(u, mark, here(u));
      break;
    }
    case kExpr<ast::Array>: {
      const auto* a = std::get_if<ast::Array>(&e.node);
      for (const ExprPtr& el : a->elements) compile_expr(u, *el);
      emit(u, Opcode::MakeArray, a->elements.size());
      break;
    }
    case kExpr<ast::Object>: {
      const auto* o = std::get_if<ast::Object>(&e.node);
      for (const auto& [key, value] : o->properties) {
        emit_string(u, key);
        compile_expr(u, *value);
      }
      emit(u, Opcode::MakeObject, o->properties.size());
      break;
    }
    case kExpr<ast::Lambda>: compile_lambda(u, *std::get_if<ast::Lambda>(&e.node)); break;
    case kExpr<ast::StringInterpolation>: {
      const auto* s = std::get_if<ast::StringInterpolation>(&e.node);
      if (s->parts.empty()) {
        emit_string(u, "");
        return;
      }
      for (const InterpolationPart& part : s->parts) {
        if (auto* text = std::get_if<StringPart>(&part)) {
          emit_string(u, text->value);
        } else {
          compile_expr(u, *std::get<ExprPart>(part).expr);
        }
      }
      for (size_t k = 1; k < s->parts.size(); ++k) emit(u, Opcode::Concat);
      break;
    }
    case kExpr<ast::Yield>:
      emit_nil(u);  // a yield without a value; one with a value is a chain link
      break;
    default: break;
  }
}

void Compiler::compile_assign(Unit& u, const ast::BinaryOp& op) {
  const Expr& target = *op.left;
  const Expr& value = *op.right;
  if (auto* id = target.as<ast::Identifier>()) {
    compile_expr(u, value);
    emit(u, Opcode::Dup);
    store_name(u, id->name);
    return;
  }
  if (!target.as<ast::Index>() && !target.as<ast::Member>()) {
    compile_expr(u, value);
    emit(u, Opcode::Pop);
    emit_nil(u);
    return;
  }
  // Collect the path from the target back to its root, innermost step last.
  std::vector<PathStep> steps;
  const Expr* node = &target;
  while (true) {
    if (auto* i = node->as<ast::Index>()) {
      steps.push_back(PathStep{i->index, nullptr});
      node = i->object;
    } else if (auto* m = node->as<ast::Member>()) {
      steps.push_back(PathStep{nullptr, &m->property});
      node = m->object;
    } else {
      break;
    }
  }
  if (auto* root = node->as<ast::Identifier>()) {
    std::vector<PathStep> ordered(steps.rbegin(), steps.rend());
    compile_path_store(u, root->name, ordered, value);
    return;
  }
  // A container that is not held by a variable (a call result, a literal) is updated where it stands,
  // and the updated copy is only the expression's value.
  const PathStep& last = steps.front();
  if (auto* i = target.as<ast::Index>()) {
    compile_expr(u, *i->object);
  } else {
    compile_expr(u, *target.as<ast::Member>()->object);
  }
  if (last.index) {
    compile_expr(u, *last.index);
  } else {
    emit_string(u, *last.member);
  }
  compile_expr(u, value);
  emit(u, Opcode::SetIndex);
}

// root[k1][k2]...[kn] = value, with root a variable. Values are immutable and updated by copy, so every
// container along the path is written back into its parent and the outermost one into the variable.
// Evaluation order: root, k1 ... kn, value. The result is the innermost updated container.
void Compiler::compile_path_store(Unit& u, std::string_view root, const std::vector<PathStep>& steps,
                                  const Expr& value) {
  auto store_root = [&] { store_name(u, root); };
  const size_t n = steps.size();
  const uint64_t temps_before = u.temps;

  load_name(u, root);
  // Walk down to the innermost container, keeping each parent on the stack and each key for the way back.
  std::vector<KeyLoad> keys;
  keys.reserve(n);
  for (size_t j = 0; j + 1 < n; ++j) {
    KeyLoad key{};
    if (steps[j].index) {
      compile_expr(u, *steps[j].index);
      key = KeyLoad{Opcode::LoadReg, take_temp(u)};
      emit(u, Opcode::StoreReg, key.arg);
    } else {
      key = KeyLoad{Opcode::LoadConst, add_string(u, *steps[j].member)};
    }
    keys.push_back(key);
    emit(u, Opcode::Dup);
    emit(u, key.op, key.arg);
    emit(u, Opcode::GetIndex);
  }
  if (steps[n - 1].index) {
    compile_expr(u, *steps[n - 1].index);
  } else {
    emit_string(u, *steps[n - 1].member);
  }
  compile_expr(u, value);
  emit(u, Opcode::SetIndex);

  if (n == 1) {
    // This exact shape lets the machine hand the variable's reference to the store and skip a copy.
    emit(u, Opcode::Dup);
    store_root();
  } else {
    uint64_t result = take_temp(u);
    emit(u, Opcode::Dup);
    emit(u, Opcode::StoreReg, result);
    for (size_t j = n - 1; j-- > 0;) {
      emit(u, keys[j].op, keys[j].arg);
      emit(u, Opcode::Swap);
      emit(u, Opcode::SetIndex);
    }
    // Same store shape as the one-step case for the outermost container.
    emit(u, Opcode::Dup);
    store_root();
    emit(u, Opcode::Pop);
    emit(u, Opcode::LoadReg, result);
  }
  u.temps = temps_before;
}

void Compiler::compile_lambda(Unit& u, const ast::Lambda& lambda) {
  std::string& name = made_names_.emplace_back("<lambda>" + std::to_string(u.own_records));
  if (u.kind != UnitKind::Main) name = std::string(u.name) + "." + name;
  if (!compile_bodies) {
    ++u.own_records;  // a lambda's body holds expressions only, which always compile
    emit(u, Opcode::LoadGlobal, add_string(u, name));
    return;
  }
  {
    UnitLease lease(*this, UnitKind::Lambda, name, u.line);
    Unit& body = lease.unit;
    for (const Param& p : lambda.params) declare(body, p.name);
    compile_expr(body, *lambda.body);
    emit(body, Opcode::Return);
    finish_function(u, body, lambda.params.size());
  }
  emit(u, Opcode::LoadGlobal, add_string(u, name));
}

// --- statements -----------------------------------------------------------------------------------------

// A dispatcher only: every kind of statement has a function of its own, so the common kinds do not pay
// for the registers and stack the others need.
void Compiler::compile_stmt(Unit& u, const Stmt& s) {
  u.line = s.line;
  switch (s.node.index()) {
    case kStmt<ast::ExprStatement>:
      return compile_expr_statement(u, std::get_if<ast::ExprStatement>(&s.node)->expression);
    case kStmt<ast::VarDecl>: return compile_var(u, *std::get_if<ast::VarDecl>(&s.node));
    case kStmt<ast::FunctionDef>: {
      const auto* f = std::get_if<ast::FunctionDef>(&s.node);
      return compile_function(u, f->name, f->params, f->body, s.line);
    }
    case kStmt<ast::ClassDef>: return compile_class(u, *std::get_if<ast::ClassDef>(&s.node));
    case kStmt<ast::If>: return compile_if(u, *std::get_if<ast::If>(&s.node));
    case kStmt<ast::While>: return compile_while(u, *std::get_if<ast::While>(&s.node));
    case kStmt<ast::For>: return compile_for(u, *std::get_if<ast::For>(&s.node));
    case kStmt<ast::Switch>: return compile_switch(u, *std::get_if<ast::Switch>(&s.node));
    case kStmt<ast::Return>: return compile_return(u, *std::get_if<ast::Return>(&s.node));
    case kStmt<ast::Break>: return compile_loop_jump(u, s.line, false);
    case kStmt<ast::Continue>: return compile_loop_jump(u, s.line, true);
    default:
      // Throw and Try produce no code.
      return;
  }
}

void Compiler::compile_var(Unit& u, const ast::VarDecl& v) {
  if (v.init) {
    compile_expr(u, *v.init);
  } else {
    emit_nil(u);
  }
  emit(u, Opcode::StoreReg, declare(u, v.name));
}

void Compiler::compile_return(Unit& u, const ast::Return& r) {
  if (r.value) {
    compile_expr(u, *r.value);
  } else {
    emit_nil(u);
  }
  emit(u, Opcode::Return);
}

void Compiler::compile_loop_jump(Unit& u, uint64_t line, bool is_continue) {
  if (u.loop_depth == 0) return fail(is_continue ? kContinueOutsideLoop : kBreakOutsideLoop, line);
  st_.loop_jumps.push_back(emit(u, Opcode::Jump) * 2 + (is_continue ? 1 : 0));
}

// An `else if` chain is compiled by a loop. Every else branch opens a block scope that lasts to the end
// of the whole statement, so the links share one scope: nested scopes that all close together resolve
// every name as that one scope does and hand out the same registers.
void Compiler::compile_if(Unit& u, const ast::If& first) {
  const size_t mark = st_.pending.size();
  bool scoped = false;
  const ast::If* i = &first;
  for (;;) {
    compile_expr(u, i->condition);
    size_t to_else = emit(u, Opcode::JumpIfFalse);
    compile_block(u, i->then_body);
    if (!i->else_body) {
      patch(u, to_else, here(u));
      break;
    }
    st_.pending.push_back(emit(u, Opcode::Jump));
    patch(u, to_else, here(u));
    if (!scoped) {
      push_block_scope();
      scoped = true;
    }
    if (const ast::If* next = next_if(*i)) {
      u.line = (*i->else_body)[0].line;
      i = next;
      continue;
    }
    compile_block(u, *i->else_body);
    break;
  }
  if (scoped) pop_block_scope(u);
  patch_pending(u, mark, here(u));
}

void Compiler::compile_expr_statement(Unit& u, const Expr& e) {
  if (!u.result_reg) {
    compile_expr(u, e);
    if (u.kind == UnitKind::Main) emit(u, Opcode::Pop);
    return;
  }
  if (u.result_dead) {
    // Nothing reads this value: an assignment stores it and nothing more, anything else is dropped.
    const auto* b = e.as<ast::BinaryOp>();
    const auto* target = b != nullptr && b->op == BinaryOperator::Assign ? b->left->as<ast::Identifier>() : nullptr;
    if (target != nullptr) {
      compile_expr(u, *b->right);
      store_name(u, target->name);
    } else {
      compile_expr(u, e);
      emit(u, Opcode::Pop);
    }
    return;
  }
  // An element store's container would otherwise still be referenced from the result register by the
  // previous store, which forces a full copy of the container on every store; drop that reference first.
  if (is_rooted_path_store(e)) {
    emit(u, make_push(0));
    emit(u, Opcode::StoreReg, *u.result_reg);
  }
  compile_expr(u, e);
  emit(u, Opcode::StoreReg, *u.result_reg);
}

// Points the breaks and continues of the loop whose jumps begin at `mark` at their targets.
void Compiler::close_loop(Unit& u, size_t mark, size_t continue_target, size_t break_target) {
  for (size_t k = mark; k < st_.loop_jumps.size(); ++k) {
    const size_t jump = st_.loop_jumps[k];
    patch(u, jump / 2, (jump & 1) != 0 ? continue_target : break_target);
  }
  st_.loop_jumps.truncate(mark);
}

void Compiler::compile_while(Unit& u, const ast::While& w) {
  size_t start = here(u);
  compile_expr(u, w.condition);
  size_t to_exit = emit(u, Opcode::JumpIfFalse);
  const size_t mark = st_.loop_jumps.size();
  ++u.loop_depth;
  push_block_scope();
  compile_block(u, w.body);
  pop_block_scope(u);
  --u.loop_depth;
  // The continues go to the back jump, the breaks past it.
  const size_t back_jump = here(u);
  emit(u, Opcode::Jump, start);
  patch(u, to_exit, here(u));
  close_loop(u, mark, back_jump, here(u));
}

void Compiler::compile_for(Unit& u, const ast::For& f) {
  compile_expr(u, f.iter);
  emit(u, Opcode::GetIter);
  uint64_t iter = declare(u, "");
  emit(u, Opcode::StoreReg, iter);
  size_t start = here(u);
  emit(u, Opcode::LoadReg, iter);
  emit(u, Opcode::IterNext);
  emit(u, Opcode::Swap);
  emit(u, Opcode::StoreReg, iter);
  // The sequence ends at the first element equal to nil (the iterator's own end mark is nil too).
  uint64_t nil = add_nil(u);
  emit(u, Opcode::Dup);
  emit(u, Opcode::LoadConst, nil);
  emit(u, Opcode::Eq);
  size_t to_exit = emit(u, Opcode::JumpIfTrue);
  emit(u, Opcode::StoreReg, declare(u, f.target));
  const size_t mark = st_.loop_jumps.size();
  ++u.loop_depth;
  push_block_scope();
  compile_block(u, f.body);
  pop_block_scope(u);
  --u.loop_depth;
  emit(u, Opcode::Jump, start);
  patch(u, to_exit, here(u));
  emit(u, Opcode::Pop);  // the nil element left by the exit test
  close_loop(u, mark, start, here(u));
}

void Compiler::compile_switch(Unit& u, const ast::Switch& s) {
  compile_expr(u, s.expr);
  const size_t mark = st_.pending.size();
  for (const SwitchCase& c : s.cases) {
    if (c.expr) {
      emit(u, Opcode::Dup);
      compile_expr(u, *c.expr);
      emit(u, Opcode::Eq);
      size_t to_next = emit(u, Opcode::JumpIfFalse);
      emit(u, Opcode::Pop);
      compile_block(u, c.body);
      st_.pending.push_back(emit(u, Opcode::Jump));
      patch(u, to_next, here(u));
    } else {
      emit(u, Opcode::Pop);
      compile_block(u, c.body);
      st_.pending.push_back(emit(u, Opcode::Jump));
    }
  }
  emit(u, Opcode::Pop);  // the subject, when no case matched
  patch_pending(u, mark, here(u));
}

void Compiler::compile_class(Unit& u, const ast::ClassDef& c) {
  struct Field {
    const std::string_view* name;
    const Expr* init;
  };
  std::vector<Field> fields;
  std::vector<std::pair<const std::string_view*, std::string_view>> methods;  // member name, function name
  for (const Stmt& member : c.body) {
    if (auto* v = member.as<ast::VarDecl>()) {
      if (v->init) fields.push_back(Field{&v->name, v->init});
    } else if (auto* f = member.as<ast::FunctionDef>()) {
      const std::string& full = made_names_.emplace_back(std::string(c.name) + "." + std::string(f->name));
      compile_function(u, full, f->params, f->body, member.line);
      methods.emplace_back(&f->name, full);
    }
  }
  emit_string(u, "__type__");
  emit_string(u, "class");
  emit_string(u, "__name__");
  emit_string(u, c.name);
  emit_string(u, "__fields__");
  for (const Field& f : fields) {
    emit_string(u, *f.name);
    compile_expr(u, *f.init);
  }
  emit(u, Opcode::MakeObject, fields.size());
  emit_string(u, "__parent__");
  if (c.extends) {
    emit_string(u, *c.extends);
  } else {
    emit_nil(u);
  }
  emit_string(u, "__methods__");
  for (const auto& [member, full] : methods) {
    emit_string(u, *member);
    emit_string(u, full);
  }
  emit(u, Opcode::MakeObject, methods.size());
  emit(u, Opcode::MakeObject, 5);
  emit(u, Opcode::StoreGlobal, add_string(u, c.name));
}

// --- function bodies ------------------------------------------------------------------------------------

void Compiler::finish_function(Unit& parent, Unit& body, uint64_t arity) {
  // Made where the vector puts it, the name built once in place.
  struct Maker {
    std::string_view name;
    operator FunctionRecord() const { return FunctionRecord{std::string(name), {}, {}, {}, 0}; }
  };
  FunctionRecord& record = functions.emplace_back(Maker{body.name});
  count_taken(body.code.size() * (sizeof(Instruction) + sizeof(uint64_t)));
  record.code.assign(body.code.code(), body.code.code() + body.code.size());
  record.lines.assign(body.code.lines(), body.code.lines() + body.code.size());
  record.arity = arity;
  record.constants.reserve(body.constants.size());
  st_.record_constants.append(body.constants.begin(), body.constants.size());
  st_.record_constant_counts.push_back(body.constants.size());
  ++parent.own_records;
}

void Compiler::compile_function(Unit& parent, std::string_view name, std::span<const Param> params,
                                const StmtList& stmts, uint64_t line) {
  if (!compile_bodies) {
    if (const Stmt* stray = error ? nullptr : first_stray_jump(stmts, false))
      fail(stray->as<ast::Break>() ? kBreakOutsideLoop : kContinueOutsideLoop, stray->line);
    ++parent.own_records;
    return;
  }
  UnitLease lease(*this, UnitKind::Function, name, line);
  Unit& body = lease.unit;
  for (const Param& p : params) declare(body, p.name);
  body.result_reg = st_.scopes.back().next++;
  body.track_dead_results = !has_break_or_continue(stmts);
  compile_block(body, stmts);
  emit(body, Opcode::LoadReg, *body.result_reg);
  emit(body, Opcode::Return);
  if (past_frame_registers(body)) drop_result_register(body, *body.result_reg);
  finish_function(parent, body, params.size());
}

bool Compiler::past_frame_registers(Unit& u) {
  for (size_t i = 0; i < u.code.size(); ++i) {
    const Instruction& in = u.code[i];
    if ((in.opcode == Opcode::LoadReg || in.opcode == Opcode::StoreReg) && in.arg >= kFrameRegisters) return true;
  }
  return false;
}

// A body whose variables need every register of the frame has none to spare for its latest value: the
// variables get their registers back and each expression statement's value stays on the operand stack, so
// the final return finds the latest one on top. Only the result register has the number `result`.
void Compiler::drop_result_register(Unit& u, uint64_t result) {
  for (size_t i = 0; i < u.code.size(); ++i) {
    Instruction& in = u.code[i];
    if (in.opcode != Opcode::LoadReg && in.opcode != Opcode::StoreReg) continue;
    if (in.arg == result) {
      in = make_instr(Opcode::Nop);
    } else if (in.arg > result) {
      --in.arg;
    }
  }
}

}  // namespace

Result<BytecodeProgram, CompileError> compile_program(const Program& program) {
  Compiler compiler;
  UnitLease lease(compiler, UnitKind::Main, {}, 0);
  Unit& main = lease.unit;
  compiler.compile_block(main, program.statements);
  return compiler.finish_program(main);
}

Result<BytecodeProgram, CompileError> compile_program_in_batches(std::string_view source,
                                                                 const std::function<bool(StmtList&)>& next) {
  Compiler compiler;
  UnitLease lease(compiler, UnitKind::Main, {}, 0);
  Unit& main = lease.unit;
  StmtList batch;
  while (next(batch)) {
    if (compiler.error) continue;
    compiler.compile_block(main, batch);
    compiler.keep_texts_beyond_batch(main, source);
  }
  return compiler.finish_program(main);
}

Result<BytecodeProgram, CompileError> Compiler::finish_program(Unit& main) {
  if (error) return make_err(std::move(*error));
  Compiler& compiler = *this;
  Compiler::emit(main, Opcode::Halt);
  BytecodeProgram out;
  count_taken(main.code.size() * (sizeof(Instruction) + sizeof(uint64_t)));
  // One buffer at a time is copied out and (when large) given back before the next, the largest first.
  main.code.move_to(out.code, out.lines);
  materialize(out.constants, main.constants.begin(), main.constants.end());
  main.constants.clear_and_trim();
  compiler.attach_record_constants();
  out.functions = std::move(compiler.functions);
  return out;
}

namespace {

// The buffers of compile_main_program, kept per thread so that a large program's code and constant table
// do not take fresh memory from the system on every call.
struct MainBuffers {
  CodeBuffer code;
  std::vector<Constant> constants;
};

}  // namespace

Result<MainProgramView, CompileError> compile_main_program(const Program& program) {
  thread_local std::unique_ptr<MainBuffers> kept;
  if (!kept) kept = std::make_unique<MainBuffers>();
  MainBuffers& buffers = *kept;
  Compiler compiler;
  compiler.compile_bodies = false;
  UnitLease lease(compiler, UnitKind::Main, {}, 0);
  Unit& main = lease.unit;
  buffers.code.clear();
  buffers.constants.clear();
  main.code.swap(buffers.code);
  compiler.compile_block(main, program.statements);
  Compiler::emit(main, Opcode::Halt);
  main.code.swap(buffers.code);
  if (compiler.error) return make_err(std::move(*compiler.error));
  materialize(buffers.constants, main.constants.begin(), main.constants.end());
  return MainProgramView{std::span<const Instruction>(buffers.code.code(), buffers.code.size()), &buffers.constants};
}

}  // namespace tarnwick
