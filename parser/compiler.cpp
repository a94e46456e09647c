// One pass over the syntax tree to bytecode (the first compiler stage; vm_engine/compiler.cpp is the
// second): variables become registers as they are declared, every other name is a global reached by a
// string constant, and forward jumps are patched once their target is known.
#include "parser/compiler.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarnwick {

namespace {

constexpr const char* kBreakOutsideLoop = "'break' outside of a loop";
constexpr const char* kContinueOutsideLoop = "'continue' outside of a loop";

// The registers of the names declared in one block. Names view the syntax tree, which outlives the
// compilation. Most scopes hold a handful of names, found faster by a scan than by hashing; a scope that
// grows past kScanLimit (a long main program) is indexed by a hash map from then on.
struct Scope {
  static constexpr size_t kScanLimit = 16;
  std::vector<std::pair<std::string_view, uint64_t>> names;  // while not indexed
  std::unordered_map<std::string_view, uint64_t> index;
  uint64_t next = 0;

  const uint64_t* find(std::string_view name) const {
    if (!index.empty()) {
      auto found = index.find(name);
      return found != index.end() ? &found->second : nullptr;
    }
    for (const auto& [n, reg] : names)
      if (n == name) return &reg;
    return nullptr;
  }
  // A name declared again in the same block takes the new register.
  void bind(std::string_view name, uint64_t reg) {
    if (!index.empty()) {
      index.insert_or_assign(name, reg);
      return;
    }
    for (auto& [n, r] : names) {
      if (n == name) {
        r = reg;
        return;
      }
    }
    names.emplace_back(name, reg);
    if (names.size() > kScanLimit) {
      index.insert(names.begin(), names.end());
      names.clear();
    }
  }
};

struct Loop {
  size_t start = 0;
  std::vector<size_t> breaks;
  std::vector<size_t> continues;
};

enum class UnitKind { Main, Function, Lambda };

// A growable array of plain entries whose append is one compare and one store, growth kept out of line:
// every emitted instruction appends to two of these.
template <class T>
class PlainBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PlainBuffer() = default;
  PlainBuffer(const PlainBuffer&) = delete;
  PlainBuffer& operator=(const PlainBuffer&) = delete;
  PlainBuffer(PlainBuffer&& other) noexcept { swap(other); }
  PlainBuffer& operator=(PlainBuffer&& other) noexcept {
    swap(other);
    return *this;
  }
  ~PlainBuffer() { std::free(data_); }

  void push_back(const T& value) {
    if (size_ == capacity_) [[unlikely]] grow();
    data_[size_++] = value;
  }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  void clear() { size_ = 0; }
  void swap(PlainBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  [[gnu::noinline]] void grow() {
    size_t capacity = capacity_ != 0 ? capacity_ * 2 : 64;
    T* data = static_cast<T*>(std::malloc(capacity * sizeof(T)));
    if (data == nullptr) throw std::bad_alloc();
    if (size_ != 0) std::memcpy(data, data_, size_ * sizeof(T));
    std::free(data_);
    data_ = data;
    capacity_ = capacity;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Instruction, line and constant buffers of finished code units, kept per thread. A new unit starts with
// the capacity an earlier one grew to, so emitting seldom reallocates and a large program's buffers are
// not taken fresh from the system on every compilation; what a unit made is copied out at its exact size.
struct UnitBuffers {
  PlainBuffer<Instruction> code;
  PlainBuffer<uint64_t> lines;
  std::vector<Constant> constants;
};

std::vector<UnitBuffers>& spare_buffers() {
  thread_local std::vector<UnitBuffers> spare;
  return spare;
}

// The state of one code unit: the main program, or one function, method or lambda body.
struct Unit {
  UnitKind kind = UnitKind::Main;
  std::string name;  // the function's global name; empty for the main program
  PlainBuffer<Instruction> code;
  std::vector<Constant> constants;
  PlainBuffer<uint64_t> lines;
  std::vector<Scope> scopes;
  std::vector<Loop> loops;
  // Every record compiled inside this unit, nested ones included, in the order their compilation finished.
  std::vector<FunctionRecord> functions;
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
  // Off when only the main program's code and constants are wanted: then nothing reads the line table.
  bool keep_lines = true;

  Unit(UnitKind k, std::string n, uint64_t l) : kind(k), name(std::move(n)), line(l) {
    scopes.emplace_back();
    std::vector<UnitBuffers>& spare = spare_buffers();
    if (!spare.empty()) {
      code.swap(spare.back().code);
      lines.swap(spare.back().lines);
      constants.swap(spare.back().constants);
      spare.pop_back();
    }
  }
  ~Unit() {
    if (code.capacity() == 0 && lines.capacity() == 0 && constants.capacity() == 0) return;
    code.clear();
    lines.clear();
    constants.clear();
    try {
      spare_buffers().push_back(UnitBuffers{std::move(code), std::move(lines), std::move(constants)});
    } catch (...) {
      // Not kept: the buffers are freed with the unit.
    }
  }
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;
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
  std::optional<CompileError> error;
  // Off when only the main program's code and constants are wanted: function, method and lambda bodies
  // are then counted (lambda names depend on the count) and checked for a misplaced break or continue,
  // but not compiled.
  bool compile_bodies = true;

  void compile_block(Unit& u, const StmtList& stmts) {
    if (!u.track_dead_results) {
      for (const Stmt& s : stmts) compile_stmt(u, s);
      return;
    }
    // Past the last expression statement or return of the block, a statement is dead only when the whole
    // block is: control leaving the block goes on to what follows the enclosing statement.
    size_t overwritten_before = 0;
    for (size_t i = 0; i < stmts.size(); ++i)
      if (stmts[i].as<ast::ExprStatement>() || stmts[i].as<ast::Return>()) overwritten_before = i;
    const bool outer = u.result_dead;
    for (size_t i = 0; i < stmts.size(); ++i) {
      u.result_dead = outer || i < overwritten_before;
      compile_stmt(u, stmts[i]);
    }
    u.result_dead = outer;
  }

  void compile_stmt(Unit& u, const Stmt& s);
  void compile_expr(Unit& u, const Expr& e);

 private:
  // --- emission -----------------------------------------------------------------------------------------
  static size_t emit(Unit& u, Instruction in) {
    u.code.push_back(in);
    if (u.keep_lines) u.lines.push_back(u.line);
    return u.code.size() - 1;
  }
  static size_t emit(Unit& u, Opcode op, uint64_t arg = 0) { return emit(u, make_instr(op, arg)); }
  // An instruction that can fail, placed at the expression that makes it: a statement spanning several
  // lines reports the line (and column) of the failing part, not the statement's first line.
  static size_t emit_at(Unit& u, const Expr& e, Opcode op, uint64_t arg = 0) {
    size_t at = emit(u, op, arg);
    if (e.line != 0 && u.keep_lines) u.lines[at] = source_position(e.line, e.column);
    return at;
  }
  static uint64_t add_constant(Unit& u, Constant c) {
    u.constants.push_back(std::move(c));
    return u.constants.size() - 1;
  }
  static void emit_constant(Unit& u, Constant c) { emit(u, Opcode::LoadConst, add_constant(u, std::move(c))); }
  static void emit_nil(Unit& u) { emit_constant(u, Constant::nil()); }
  static uint64_t add_string(Unit& u, std::string_view s) {
    Constant& c = u.constants.emplace_back();
    c.kind = Constant::Kind::String;
    c.string_value.assign(s);
    return u.constants.size() - 1;
  }
  static void emit_string(Unit& u, std::string_view s) { emit(u, Opcode::LoadConst, add_string(u, s)); }
  static void emit_int(Unit& u, int64_t v) {
    if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
      emit(u, make_push(static_cast<int32_t>(v)));
    } else {
      emit_constant(u, Constant::integer(v));
    }
  }
  static size_t here(const Unit& u) { return u.code.size(); }
  static void patch(Unit& u, size_t at, size_t target) {
    if (is_jump(u.code[at].opcode)) u.code[at].arg = target;
  }

  // --- names and registers ------------------------------------------------------------------------------
  static std::optional<uint64_t> resolve(const Unit& u, std::string_view name) {
    for (auto it = u.scopes.rbegin(); it != u.scopes.rend(); ++it) {
      if (const uint64_t* reg = it->find(name)) return *reg;
    }
    return std::nullopt;
  }
  static uint64_t declare(Unit& u, std::string_view name) {
    Scope& scope = u.scopes.back();
    uint64_t reg = scope.next++;
    scope.bind(name, reg);
    return reg;
  }
  static void push_block_scope(Unit& u) {
    Scope block;
    block.next = u.scopes.back().next;
    u.scopes.push_back(std::move(block));
  }
  static uint64_t take_temp(Unit& u) { return u.scopes.back().next + u.temps++; }

  // Loads or stores a variable: its register when declared, else the global of that name (each global use
  // gets a string constant of its own).
  static void load_name(Unit& u, std::string_view name) {
    if (auto reg = resolve(u, name)) {
      emit(u, Opcode::LoadReg, *reg);
    } else {
      emit(u, Opcode::LoadGlobal, add_string(u, name));
    }
  }
  static void store_name(Unit& u, std::string_view name) {
    if (auto reg = resolve(u, name)) {
      emit(u, Opcode::StoreReg, *reg);
    } else {
      emit(u, Opcode::StoreGlobal, add_string(u, name));
    }
  }

  std::vector<const Expr*> chain_;  // see compile_expr

  void fail(const char* message, uint64_t line) {
    if (!error) error = CompileError{message, line};
  }

  // --- expressions --------------------------------------------------------------------------------------
  static const Expr* first_operand(const Expr& e);
  void finish_after_first_operand(Unit& u, const Expr& e);
  void compile_other(Unit& u, const Expr& e);
  void compile_assign(Unit& u, const ast::BinaryOp& op);
  void compile_path_store(Unit& u, std::string_view root, const std::vector<PathStep>& steps,
                          const Expr& value);
  void compile_lambda(Unit& u, const ast::Lambda& lambda);

  // --- statements ---------------------------------------------------------------------------------------
  void compile_if(Unit& u, const ast::If& first);
  void compile_while(Unit& u, const ast::While& w);
  void compile_for(Unit& u, const ast::For& f);
  void compile_switch(Unit& u, const ast::Switch& s);
  void compile_class(Unit& u, const ast::ClassDef& c);
  void compile_expr_statement(Unit& u, const Expr& e);

  // --- function bodies ----------------------------------------------------------------------------------
  void finish_function(Unit& parent, Unit&& body, uint64_t arity);
  void compile_function(Unit& parent, std::string_view name, std::span<const Param> params,
                        const StmtList& body, uint64_t line);
};

// Whether a break or continue appears among these statements or in the blocks they compile (the bodies
// of functions and classes defined here are other code units).
bool has_break_or_continue(const StmtList& stmts) {
  for (const Stmt& s : stmts) {
    if (s.as<ast::Break>() || s.as<ast::Continue>()) return true;
    if (auto* first = s.as<ast::If>()) {
      for (const ast::If* i = first; i != nullptr; i = chained_if(*i)) {
        if (has_break_or_continue(i->then_body)) return true;
        if (i->else_body && !chained_if(*i) && has_break_or_continue(*i->else_body)) return true;
      }
    } else if (auto* w = s.as<ast::While>()) {
      if (has_break_or_continue(w->body)) return true;
    } else if (auto* f = s.as<ast::For>()) {
      if (has_break_or_continue(f->body)) return true;
    } else if (auto* sw = s.as<ast::Switch>()) {
      for (const SwitchCase& c : sw->cases)
        if (has_break_or_continue(c.body)) return true;
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
      for (const ast::If* i = first; i != nullptr && found == nullptr; i = chained_if(*i)) {
        found = first_stray_jump(i->then_body, in_loop);
        if (found == nullptr && i->else_body && !chained_if(*i)) found = first_stray_jump(*i->else_body, in_loop);
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
  if (auto* b = e.as<ast::BinaryOp>()) return b->op == BinaryOperator::Assign ? nullptr : b->left;
  if (auto* c = e.as<ast::Call>()) return c->callee;
  if (auto* i = e.as<ast::Index>()) return i->object;
  if (auto* m = e.as<ast::Member>()) return m->object;
  if (auto* un = e.as<ast::UnaryOp>()) return un->operand;
  if (auto* p = e.as<ast::Propagate>()) return p->expr;
  if (auto* a = e.as<ast::Await>()) return a->expr;
  if (auto* y = e.as<ast::Yield>()) return y->value;  // null when there is no value
  return nullptr;
}

void Compiler::compile_expr(Unit& u, const Expr& root) {
  // The links above the innermost operand go on a stack that the nested calls share: each call pushes
  // its own links above the caller's and takes them off again before it returns.
  const size_t mark = chain_.size();
  const Expr* e = &root;
  while (const Expr* first = first_operand(*e)) {
    chain_.push_back(e);
    e = first;
  }
  compile_other(u, *e);
  for (size_t k = chain_.size(); k-- > mark;) finish_after_first_operand(u, *chain_[k]);
  chain_.resize(mark);
}

void Compiler::finish_after_first_operand(Unit& u, const Expr& e) {
  if (auto* b = e.as<ast::BinaryOp>()) {
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
  } else if (auto* c = e.as<ast::Call>()) {
    for (const ExprPtr& arg : c->args) compile_expr(u, *arg);
    emit_at(u, e, Opcode::Call, c->args.size());
  } else if (auto* i = e.as<ast::Index>()) {
    compile_expr(u, *i->index);
    emit_at(u, e, Opcode::GetIndex);
  } else if (auto* m = e.as<ast::Member>()) {
    emit_string(u, m->property);
    emit_at(u, e, Opcode::GetIndex);
  } else if (auto* un = e.as<ast::UnaryOp>()) {
    switch (un->op) {
      case UnaryOperator::Neg: emit_at(u, e, Opcode::Neg); break;
      case UnaryOperator::Not: emit_at(u, e, Opcode::Not); break;
      case UnaryOperator::BitwiseNot:
        emit(u, Opcode::Pop);
        emit_nil(u);
        break;
    }
  }
  // Propagate, Await and Yield with a value are their inner expression alone.
}

void Compiler::compile_other(Unit& u, const Expr& e) {
  if (auto* lit = e.as<ast::Literal>()) {
    const LiteralValue& v = lit->value;
    switch (v.kind) {
      case LiteralValue::Kind::Nil: emit_nil(u); break;
      case LiteralValue::Kind::Bool: emit(u, make_push(v.bool_value ? 1 : 0)); break;
      case LiteralValue::Kind::Int: emit_int(u, v.int_value); break;
      case LiteralValue::Kind::Float: emit_constant(u, Constant::floating(v.float_value)); break;
      case LiteralValue::Kind::String: emit_string(u, v.string_value); break;
    }
  } else if (auto* id = e.as<ast::Identifier>()) {
    load_name(u, id->name);
  } else if (auto* b = e.as<ast::BinaryOp>()) {
    compile_assign(u, *b);  // the only binary operator that is not a chain link
  } else if (e.as<ast::Ternary>()) {
    // c1 ? a : c2 ? b : d is a chain through the else branches: a loop, with every exit jump patched at
    // the common end.
    std::vector<size_t> to_end;
    const Expr* link = &e;
    while (auto* t = link->as<ast::Ternary>()) {
      compile_expr(u, *t->condition);
      size_t to_else = emit(u, Opcode::JumpIfFalse);
      compile_expr(u, *t->then_expr);
      to_end.push_back(emit(u, Opcode::Jump));
      patch(u, to_else, here(u));
      link = t->else_expr;
    }
    compile_expr(u, *link);
    for (size_t j : to_end) patch(u, j, here(u));
  } else if (auto* a = e.as<ast::Array>()) {
    for (const ExprPtr& el : a->elements) compile_expr(u, *el);
    emit(u, Opcode::MakeArray, a->elements.size());
  } else if (auto* o = e.as<ast::Object>()) {
    for (const auto& [key, value] : o->properties) {
      emit_string(u, key);
      compile_expr(u, *value);
    }
    emit(u, Opcode::MakeObject, o->properties.size());
  } else if (auto* l = e.as<ast::Lambda>()) {
    compile_lambda(u, *l);
  } else if (auto* s = e.as<ast::StringInterpolation>()) {
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
  } else if (e.as<ast::Yield>()) {
    emit_nil(u);  // a yield without a value; one with a value is a chain link
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
      key = KeyLoad{Opcode::LoadConst, add_constant(u, Constant::string(std::string(*steps[j].member)))};
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
  std::string name = "<lambda>" + std::to_string(u.own_records);
  if (u.kind != UnitKind::Main) name = u.name + "." + name;
  if (!compile_bodies) {
    ++u.own_records;  // a lambda's body holds expressions only, which always compile
    emit(u, Opcode::LoadGlobal, add_constant(u, Constant::string(std::move(name))));
    return;
  }
  Unit body(UnitKind::Lambda, name, u.line);
  for (const Param& p : lambda.params) declare(body, p.name);
  compile_expr(body, *lambda.body);
  emit(body, Opcode::Return);
  finish_function(u, std::move(body), lambda.params.size());
  emit(u, Opcode::LoadGlobal, add_constant(u, Constant::string(std::string(name))));
}

// --- statements -----------------------------------------------------------------------------------------

void Compiler::compile_stmt(Unit& u, const Stmt& s) {
  u.line = s.line;
  if (auto* es = s.as<ast::ExprStatement>()) {
    compile_expr_statement(u, es->expression);
  } else if (auto* v = s.as<ast::VarDecl>()) {
    if (v->init) {
      compile_expr(u, *v->init);
    } else {
      emit_nil(u);
    }
    emit(u, Opcode::StoreReg, declare(u, v->name));
  } else if (auto* f = s.as<ast::FunctionDef>()) {
    compile_function(u, f->name, f->params, f->body, s.line);
  } else if (auto* c = s.as<ast::ClassDef>()) {
    compile_class(u, *c);
  } else if (auto* i = s.as<ast::If>()) {
    compile_if(u, *i);
  } else if (auto* w = s.as<ast::While>()) {
    compile_while(u, *w);
  } else if (auto* fo = s.as<ast::For>()) {
    compile_for(u, *fo);
  } else if (auto* sw = s.as<ast::Switch>()) {
    compile_switch(u, *sw);
  } else if (auto* r = s.as<ast::Return>()) {
    if (r->value) {
      compile_expr(u, *r->value);
    } else {
      emit_nil(u);
    }
    emit(u, Opcode::Return);
  } else if (s.as<ast::Break>()) {
    if (u.loops.empty()) return fail(kBreakOutsideLoop, s.line);
    u.loops.back().breaks.push_back(emit(u, Opcode::Jump));
  } else if (s.as<ast::Continue>()) {
    if (u.loops.empty()) return fail(kContinueOutsideLoop, s.line);
    u.loops.back().continues.push_back(emit(u, Opcode::Jump));
  }
  // Throw and Try produce no code.
}

// An `else if` chain is compiled by a loop. Every else branch opens a block scope that lasts to the end
// of the whole statement, so the links share one scope: nested scopes that all close together resolve
// every name as that one scope does and hand out the same registers.
void Compiler::compile_if(Unit& u, const ast::If& first) {
  std::vector<size_t> to_end;
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
    to_end.push_back(emit(u, Opcode::Jump));
    patch(u, to_else, here(u));
    if (!scoped) {
      push_block_scope(u);
      scoped = true;
    }
    if (const ast::If* next = chained_if(*i)) {
      u.line = (*i->else_body)[0].line;
      i = next;
      continue;
    }
    compile_block(u, *i->else_body);
    break;
  }
  if (scoped) u.scopes.pop_back();
  for (size_t j : to_end) patch(u, j, here(u));
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

void Compiler::compile_while(Unit& u, const ast::While& w) {
  size_t start = here(u);
  compile_expr(u, w.condition);
  size_t to_exit = emit(u, Opcode::JumpIfFalse);
  u.loops.push_back(Loop{start, {}, {}});
  push_block_scope(u);
  compile_block(u, w.body);
  u.scopes.pop_back();
  Loop loop = std::move(u.loops.back());
  u.loops.pop_back();
  size_t back_jump = here(u);
  for (size_t c : loop.continues) patch(u, c, back_jump);
  emit(u, Opcode::Jump, start);
  patch(u, to_exit, here(u));
  for (size_t b : loop.breaks) patch(u, b, here(u));
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
  uint64_t nil = add_constant(u, Constant::nil());
  emit(u, Opcode::Dup);
  emit(u, Opcode::LoadConst, nil);
  emit(u, Opcode::Eq);
  size_t to_exit = emit(u, Opcode::JumpIfTrue);
  emit(u, Opcode::StoreReg, declare(u, f.target));
  u.loops.push_back(Loop{start, {}, {}});
  push_block_scope(u);
  compile_block(u, f.body);
  u.scopes.pop_back();
  Loop loop = std::move(u.loops.back());
  u.loops.pop_back();
  for (size_t c : loop.continues) patch(u, c, start);
  emit(u, Opcode::Jump, start);
  patch(u, to_exit, here(u));
  emit(u, Opcode::Pop);  // the nil element left by the exit test
  for (size_t b : loop.breaks) patch(u, b, here(u));
}

void Compiler::compile_switch(Unit& u, const ast::Switch& s) {
  compile_expr(u, s.expr);
  std::vector<size_t> to_end;
  for (const SwitchCase& c : s.cases) {
    if (c.expr) {
      emit(u, Opcode::Dup);
      compile_expr(u, *c.expr);
      emit(u, Opcode::Eq);
      size_t to_next = emit(u, Opcode::JumpIfFalse);
      emit(u, Opcode::Pop);
      compile_block(u, c.body);
      to_end.push_back(emit(u, Opcode::Jump));
      patch(u, to_next, here(u));
    } else {
      emit(u, Opcode::Pop);
      compile_block(u, c.body);
      to_end.push_back(emit(u, Opcode::Jump));
    }
  }
  emit(u, Opcode::Pop);  // the subject, when no case matched
  for (size_t j : to_end) patch(u, j, here(u));
}

void Compiler::compile_class(Unit& u, const ast::ClassDef& c) {
  struct Field {
    const std::string_view* name;
    const Expr* init;
  };
  std::vector<Field> fields;
  std::vector<std::pair<const std::string_view*, std::string>> methods;  // member name, function name
  for (const Stmt& member : c.body) {
    if (auto* v = member.as<ast::VarDecl>()) {
      if (v->init) fields.push_back(Field{&v->name, v->init});
    } else if (auto* f = member.as<ast::FunctionDef>()) {
      std::string full = std::string(c.name) + "." + std::string(f->name);
      compile_function(u, full, f->params, f->body, member.line);
      methods.emplace_back(&f->name, std::move(full));
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
  emit(u, Opcode::StoreGlobal, add_constant(u, Constant::string(std::string(c.name))));
}

// --- function bodies ------------------------------------------------------------------------------------

void Compiler::finish_function(Unit& parent, Unit&& body, uint64_t arity) {
  FunctionRecord record;
  record.name = std::move(body.name);
  record.code.assign(body.code.begin(), body.code.end());
  record.lines.assign(body.lines.begin(), body.lines.end());
  record.arity = arity;
  if (!body.constants.empty()) {
    // One shared block holds the body's constants; each entry shares its ownership.
    auto block = std::make_shared<const std::vector<Constant>>(std::make_move_iterator(body.constants.begin()),
                                                               std::make_move_iterator(body.constants.end()));
    record.constants.reserve(block->size());
    for (const Constant& c : *block) record.constants.emplace_back(block, &c);
  }
  // Definitions nested in the body finished compiling before it, so their records come first.
  for (FunctionRecord& nested : body.functions) parent.functions.push_back(std::move(nested));
  parent.functions.push_back(std::move(record));
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
  Unit body(UnitKind::Function, std::string(name), line);
  for (const Param& p : params) declare(body, p.name);
  body.result_reg = body.scopes.back().next++;
  body.track_dead_results = !has_break_or_continue(stmts);
  compile_block(body, stmts);
  emit(body, Opcode::LoadReg, *body.result_reg);
  emit(body, Opcode::Return);
  finish_function(parent, std::move(body), params.size());
}

}  // namespace

Result<BytecodeProgram, CompileError> compile_program(const Program& program) {
  Compiler compiler;
  Unit main(UnitKind::Main, std::string(), 0);
  compiler.compile_block(main, program.statements);
  if (compiler.error) return make_err(std::move(*compiler.error));
  main.code.push_back(make_instr(Opcode::Halt));
  main.lines.push_back(main.line);
  BytecodeProgram out;
  out.code.assign(main.code.begin(), main.code.end());
  out.constants.assign(std::make_move_iterator(main.constants.begin()), std::make_move_iterator(main.constants.end()));
  out.lines.assign(main.lines.begin(), main.lines.end());
  out.functions = std::move(main.functions);
  return out;
}

namespace {

// The buffers of compile_main_program, kept per thread so that a large program's code and constant table
// do not take fresh memory from the system on every call.
struct MainBuffers {
  PlainBuffer<Instruction> code;
  std::vector<Constant> constants;
};

}  // namespace

Result<MainProgramView, CompileError> compile_main_program(const Program& program) {
  thread_local MainBuffers buffers;
  Compiler compiler;
  compiler.compile_bodies = false;
  Unit main(UnitKind::Main, std::string(), 0);
  main.keep_lines = false;
  buffers.code.clear();
  buffers.constants.clear();
  main.code.swap(buffers.code);
  main.constants.swap(buffers.constants);
  compiler.compile_block(main, program.statements);
  main.code.push_back(make_instr(Opcode::Halt));
  main.code.swap(buffers.code);
  main.constants.swap(buffers.constants);
  if (compiler.error) return make_err(std::move(*compiler.error));
  return MainProgramView{std::span<const Instruction>(buffers.code.begin(), buffers.code.end()), &buffers.constants};
}

}  // namespace tarnwick
