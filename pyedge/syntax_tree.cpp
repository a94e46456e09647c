// The syntax tree as Python dictionaries, the module function parse_tokens and the class PyParser.
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "parser/compiler.h"
#include "parser/lexer.h"
#include "parser/parser.h"
#include "pyedge/api.h"

namespace tarnwick::py {

namespace {

// Every key and node name the export writes, created once as interned strings. The module refuses
// sub-interpreters, so one set serves the whole process.
#define TARNWICK_EXPORT_STRINGS(X)                                                                       \
  X(type) X(value) X(name) X(expr) X(left) X(op) X(right) X(operand) X(callee) X(args) X(object)      \
  X(index) X(property) X(condition) X(then_expr) X(else_expr) X(elements) X(properties) X(params)     \
  X(body) X(return_type) X(parts) X(type_hint) X(default) X(nullable) X(generics) X(expression)       \
  X(mutable) X(init) X(is_async) X(extends) X(then_body) X(else_body) X(target) X(iter) X(cases)      \
  X(exception) X(catch_clauses) X(finally_body) X(statements) X(Literal) X(Identifier) X(Propagate)   \
  X(BinaryOp) X(UnaryOp) X(Call) X(Index) X(Member) X(Ternary) X(Array) X(Object) X(Lambda)           \
  X(StringInterpolation) X(Await) X(Yield) X(StringPart) X(ExprPart) X(ExprStatement) X(VarDecl)      \
  X(FunctionDef) X(ClassDef) X(If) X(While) X(For) X(Switch) X(Return) X(Break) X(Continue) X(Throw)  \
  X(Try) X(Program) X(line) X(column)

enum class S : int {
#define X(n) k_##n,
  TARNWICK_EXPORT_STRINGS(X)
#undef X
  Count
};

PyObject* g_strings[static_cast<int>(S::Count)] = {};
PyObject* g_binary_names[static_cast<int>(BinaryOperator::Assign) + 1] = {};
PyObject* g_unary_names[static_cast<int>(UnaryOperator::BitwiseNot) + 1] = {};

bool init_strings() {
  if (g_strings[0] != nullptr) return true;
  static const char* const kTexts[] = {
#define X(n) #n,
      TARNWICK_EXPORT_STRINGS(X)
#undef X
  };
  PyObject* made[static_cast<int>(S::Count)] = {};
  PyObject* bin[std::size(g_binary_names)] = {};
  PyObject* un[std::size(g_unary_names)] = {};
  bool ok = true;
  for (size_t i = 0; ok && i < std::size(made); ++i) ok = (made[i] = PyUnicode_InternFromString(kTexts[i]));
  for (size_t i = 0; ok && i < std::size(bin); ++i)
    ok = (bin[i] = PyUnicode_InternFromString(binary_operator_name(static_cast<BinaryOperator>(i))));
  for (size_t i = 0; ok && i < std::size(un); ++i)
    ok = (un[i] = PyUnicode_InternFromString(unary_operator_name(static_cast<UnaryOperator>(i))));
  if (!ok) {
    for (PyObject* o : made) Py_XDECREF(o);
    for (PyObject* o : bin) Py_XDECREF(o);
    for (PyObject* o : un) Py_XDECREF(o);
    return false;
  }
  std::copy(std::begin(bin), std::end(bin), g_binary_names);
  std::copy(std::begin(un), std::end(un), g_unary_names);
  std::copy(std::begin(made), std::end(made), g_strings);
  return true;
}

inline PyObject* str(S s) { return g_strings[static_cast<int>(s)]; }

// Stores `value` (a new reference, possibly null after a failed creation) under `key`; consumes it.
inline bool put(PyObject* dict, S key, PyObject* value) {
  if (value == nullptr) return false;
  int rc = PyDict_SetItem(dict, str(key), value);
  Py_DECREF(value);
  return rc == 0;
}

inline PyObject* new_str(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

// A new dict whose first key "type" holds `type`.
PyObject* node_dict(S type) {
  PyObject* d = PyDict_New();
  if (d != nullptr && PyDict_SetItem(d, str(S::k_type), str(type)) != 0) Py_CLEAR(d);
  return d;
}

class Exporter {
 public:
  explicit Exporter(bool positions = false) : positions_(positions) {}

  PyObject* program(const Program& p) {
    PyObject* d = node_dict(S::k_Program);
    if (d == nullptr) return nullptr;
    if (!put(d, S::k_statements, statements(p.statements))) return drop(d);
    return d;
  }

 private:
  // Levels of statements and expressions, counted as the parser counts them; the parser never returns a
  // tree deeper than kMaxNestingDepth, so the check only guards against trees built some other way.
  size_t level_ = 0;
  bool positions_;

  PyObject* placed(PyObject* d, uint64_t line, const uint64_t* column) {
    if (d == nullptr || !positions_) return d;
    if (!put(d, S::k_line, PyLong_FromUnsignedLongLong(line))) return drop(d);
    if (column != nullptr && !put(d, S::k_column, PyLong_FromUnsignedLongLong(*column))) return drop(d);
    return d;
  }
  PyObject* placed(PyObject* d, const Expr& e) {
    const uint64_t column = e.column;
    return placed(d, e.line, &column);
  }

  struct Level {
    size_t& l;
    explicit Level(size_t& level) : l(level) { ++l; }
    ~Level() { --l; }
  };

  static PyObject* drop(PyObject* o) {
    Py_DECREF(o);
    return nullptr;
  }

  bool too_deep() {
    if (level_ <= kMaxNestingDepth) return false;
    PyErr_SetString(PyExc_RecursionError, nesting_too_deep_message().c_str());
    return true;
  }

  PyObject* statements(const StmtList& list) {
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(list.size()));
    if (out == nullptr) return nullptr;
    for (size_t i = 0; i < list.size(); ++i) {
      PyObject* s = stmt(list[i]);
      if (s == nullptr) return drop(out);
      PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), s);
    }
    return out;
  }

  PyObject* exprs(ExprList list) {
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(list.size()));
    if (out == nullptr) return nullptr;
    for (size_t i = 0; i < list.size(); ++i) {
      PyObject* e = expr(*list[i]);
      if (e == nullptr) return drop(out);
      PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), e);
    }
    return out;
  }

  static PyObject* type_annotation(const TypeAnnotation& t) {
    PyObject* d = PyDict_New();
    if (d == nullptr) return nullptr;
    if (!put(d, S::k_name, new_str(t.name)) || !put(d, S::k_nullable, PyBool_FromLong(t.nullable))) return drop(d);
    PyObject* generics = PyList_New(static_cast<Py_ssize_t>(t.generics.size()));
    if (generics == nullptr) return drop(d);
    for (size_t i = 0; i < t.generics.size(); ++i) {
      PyObject* g = type_annotation(t.generics[i]);
      if (g == nullptr) {
        Py_DECREF(generics);
        return drop(d);
      }
      PyList_SET_ITEM(generics, static_cast<Py_ssize_t>(i), g);
    }
    if (!put(d, S::k_generics, generics)) return drop(d);
    return d;
  }

  PyObject* params(std::span<const Param> list) {
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(list.size()));
    if (out == nullptr) return nullptr;
    for (size_t i = 0; i < list.size(); ++i) {
      const Param& p = list[i];
      PyObject* d = PyDict_New();
      if (d == nullptr) return drop(out);
      PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), d);
      if (!put(d, S::k_name, new_str(p.name))) return drop(out);
      if (p.type_hint && !put(d, S::k_type_hint, type_annotation(*p.type_hint))) return drop(out);
      if (p.default_value && !put(d, S::k_default, expr(*p.default_value))) return drop(out);
    }
    return out;
  }

  static PyObject* literal(const LiteralValue& v) {
    switch (v.kind) {
      case LiteralValue::Kind::Nil:
        return Py_NewRef(Py_None);
      case LiteralValue::Kind::Bool:
        return PyBool_FromLong(v.bool_value);
      case LiteralValue::Kind::Int:
        return PyLong_FromLongLong(v.int_value);
      case LiteralValue::Kind::Float:
        return PyFloat_FromDouble(v.float_value);
      case LiteralValue::Kind::String:
        return new_str(v.string_value);
    }
    return Py_NewRef(Py_None);
  }

  // A chain (see chain_child) is exported from its innermost link outwards, each link's dictionary
  // taking the one made before it, so the export recurses only into the links' other children.
  PyObject* expr(const Expr& e) {
    Level level(level_);
    if (too_deep()) return nullptr;
    std::vector<const Expr*> links;
    const Expr* inner = &e;
    for (const Expr* next = chain_child(e); next != nullptr; next = chain_child(*next)) {
      links.push_back(inner);
      inner = next;
    }
    PyObject* d = placed(std::visit([this](const auto& n) { return node(n); }, inner->node), *inner);
    for (size_t k = links.size(); d != nullptr && k-- > 0;) d = placed(link(*links[k], d), *links[k]);
    return d;
  }

  // The dictionary of a chain link whose chained child is already exported as `child` (consumed).
  PyObject* link(const Expr& e, PyObject* child) {
    if (auto* b = e.as<ast::BinaryOp>()) {
      PyObject* d = node_dict(S::k_BinaryOp);
      if (!put_or_drop(d, S::k_left, child)) return nullptr;
      if (!put(d, S::k_op, Py_NewRef(g_binary_names[static_cast<int>(b->op)])) || !put(d, S::k_right, expr(*b->right)))
        return drop(d);
      return d;
    }
    if (auto* c = e.as<ast::Call>()) {
      PyObject* d = node_dict(S::k_Call);
      if (!put_or_drop(d, S::k_callee, child)) return nullptr;
      if (!put(d, S::k_args, exprs(c->args))) return drop(d);
      return d;
    }
    if (auto* i = e.as<ast::Index>()) {
      PyObject* d = node_dict(S::k_Index);
      if (!put_or_drop(d, S::k_object, child)) return nullptr;
      if (!put(d, S::k_index, expr(*i->index))) return drop(d);
      return d;
    }
    if (auto* m = e.as<ast::Member>()) {
      PyObject* d = node_dict(S::k_Member);
      if (!put_or_drop(d, S::k_object, child)) return nullptr;
      if (!put(d, S::k_property, new_str(m->property))) return drop(d);
      return d;
    }
    const auto& t = std::get<ast::Ternary>(e.node);
    PyObject* d = node_dict(S::k_Ternary);
    if (d == nullptr || !put(d, S::k_condition, expr(*t.condition)) || !put(d, S::k_then_expr, expr(*t.then_expr))) {
      Py_DECREF(child);
      return d == nullptr ? nullptr : drop(d);
    }
    if (!put(d, S::k_else_expr, child)) return drop(d);
    return d;
  }

  // put() into a dictionary that may have failed to be made; `value` is consumed either way.
  static bool put_or_drop(PyObject*& d, S key, PyObject* value) {
    if (d == nullptr) {
      Py_DECREF(value);
      return false;
    }
    if (!put(d, key, value)) {
      Py_CLEAR(d);
      return false;
    }
    return true;
  }

  // Chain links and `if` statements go through link() and if_chain(), never through a visit.
  template <class T>
  PyObject* node(const T&) {
    PyErr_SetString(PyExc_SystemError, "malformed syntax tree");
    return nullptr;
  }

  PyObject* node(const ast::Literal& n) {
    PyObject* d = node_dict(S::k_Literal);
    if (d != nullptr && !put(d, S::k_value, literal(n.value))) return drop(d);
    return d;
  }
  PyObject* node(const ast::Identifier& n) {
    PyObject* d = node_dict(S::k_Identifier);
    if (d != nullptr && !put(d, S::k_name, new_str(n.name))) return drop(d);
    return d;
  }
  PyObject* node(const ast::Propagate& n) {
    PyObject* d = node_dict(S::k_Propagate);
    if (d != nullptr && !put(d, S::k_expr, expr(*n.expr))) return drop(d);
    return d;
  }
  PyObject* node(const ast::UnaryOp& n) {
    PyObject* d = node_dict(S::k_UnaryOp);
    if (d == nullptr) return nullptr;
    if (!put(d, S::k_op, Py_NewRef(g_unary_names[static_cast<int>(n.op)])) || !put(d, S::k_operand, expr(*n.operand)))
      return drop(d);
    return d;
  }
  PyObject* node(const ast::Array& n) {
    PyObject* d = node_dict(S::k_Array);
    if (d != nullptr && !put(d, S::k_elements, exprs(n.elements))) return drop(d);
    return d;
  }
  PyObject* node(const ast::Object& n) {
    PyObject* d = node_dict(S::k_Object);
    if (d == nullptr) return nullptr;
    PyObject* props = PyDict_New();
    if (props == nullptr) return drop(d);
    // Setting a repeated key again keeps its first position and takes the later value.
    for (const auto& [key, value] : n.properties) {
      PyObject* k = new_str(key);
      PyObject* v = k != nullptr ? expr(*value) : nullptr;
      int rc = v != nullptr ? PyDict_SetItem(props, k, v) : -1;
      Py_XDECREF(k);
      Py_XDECREF(v);
      if (rc != 0) {
        Py_DECREF(props);
        return drop(d);
      }
    }
    if (!put(d, S::k_properties, props)) return drop(d);
    return d;
  }
  PyObject* node(const ast::Lambda& n) {
    PyObject* d = node_dict(S::k_Lambda);
    if (d == nullptr) return nullptr;
    if (!put(d, S::k_params, params(n.params)) || !put(d, S::k_body, expr(*n.body))) return drop(d);
    return d;
  }
  PyObject* node(const ast::StringInterpolation& n) {
    PyObject* d = node_dict(S::k_StringInterpolation);
    if (d == nullptr) return nullptr;
    PyObject* parts = PyList_New(static_cast<Py_ssize_t>(n.parts.size()));
    if (parts == nullptr) return drop(d);
    for (size_t i = 0; i < n.parts.size(); ++i) {
      PyObject* p = nullptr;
      if (const auto* s = std::get_if<StringPart>(&n.parts[i])) {
        p = node_dict(S::k_StringPart);
        if (p != nullptr && !put(p, S::k_value, new_str(s->value))) Py_CLEAR(p);
      } else {
        p = node_dict(S::k_ExprPart);
        if (p != nullptr && !put(p, S::k_expr, expr(*std::get<ExprPart>(n.parts[i]).expr))) Py_CLEAR(p);
      }
      if (p == nullptr) {
        Py_DECREF(parts);
        return drop(d);
      }
      PyList_SET_ITEM(parts, static_cast<Py_ssize_t>(i), p);
    }
    if (!put(d, S::k_parts, parts)) return drop(d);
    return d;
  }
  PyObject* node(const ast::Await& n) {
    PyObject* d = node_dict(S::k_Await);
    if (d != nullptr && !put(d, S::k_expr, expr(*n.expr))) return drop(d);
    return d;
  }
  PyObject* node(const ast::Yield& n) {
    PyObject* d = node_dict(S::k_Yield);
    if (d != nullptr && n.value && !put(d, S::k_value, expr(*n.value))) return drop(d);
    return d;
  }

  PyObject* stmt(const Stmt& s) {
    Level level(level_);
    if (too_deep()) return nullptr;
    if (auto* i = s.as<ast::If>()) return placed(if_chain(*i), s.line, nullptr);
    return placed(std::visit([this](const auto& n) { return node(n); }, s.node), s.line, nullptr);
  }

  // An `else if` chain from its last link back: each link's else_body is the one-element list holding
  // the dictionary of the next link.
  PyObject* if_chain(const ast::If& first) {
    std::vector<const ast::If*> links{&first};
    while (const ast::If* next = chained_if(*links.back())) links.push_back(next);
    PyObject* below = nullptr;  // the dictionary of the link after the current one
    for (size_t k = links.size(); k-- > 0;) {
      const ast::If& n = *links[k];
      PyObject* d = node_dict(S::k_If);
      if (d == nullptr || !put(d, S::k_condition, expr(n.condition)) || !put(d, S::k_then_body, statements(n.then_body))) {
        Py_XDECREF(below);
        return d == nullptr ? nullptr : drop(d);
      }
      PyObject* else_body = nullptr;
      if (below != nullptr) {
        else_body = PyList_New(1);
        if (else_body == nullptr) {
          Py_DECREF(below);
          return drop(d);
        }
        PyList_SET_ITEM(else_body, 0, below);
      } else if (n.else_body) {
        else_body = statements(*n.else_body);
        if (else_body == nullptr) return drop(d);
      }
      if (else_body != nullptr && !put(d, S::k_else_body, else_body)) return drop(d);
      below = d;
    }
    return below;
  }

  PyObject* node(const ast::ExprStatement& n) {
    PyObject* d = node_dict(S::k_ExprStatement);
    if (d != nullptr && !put(d, S::k_expression, expr(n.expression))) return drop(d);
    return d;
  }
  PyObject* node(const ast::VarDecl& n) {
    PyObject* d = node_dict(S::k_VarDecl);
    if (d == nullptr) return nullptr;
    if (!put(d, S::k_name, new_str(n.name)) || !put(d, S::k_mutable, PyBool_FromLong(n.mutable_))) return drop(d);
    if (n.init && !put(d, S::k_init, expr(*n.init))) return drop(d);
    if (n.type_hint && !put(d, S::k_type_hint, type_annotation(*n.type_hint))) return drop(d);
    return d;
  }
  PyObject* node(const ast::FunctionDef& n) {
    PyObject* d = node_dict(S::k_FunctionDef);
    if (d == nullptr) return nullptr;
    if (!put(d, S::k_name, new_str(n.name)) || !put(d, S::k_is_async, PyBool_FromLong(n.is_async)) ||
        !put(d, S::k_params, params(n.params)) || !put(d, S::k_body, statements(n.body)))
      return drop(d);
    if (n.return_type && !put(d, S::k_return_type, type_annotation(*n.return_type))) return drop(d);
    return d;
  }
  PyObject* node(const ast::ClassDef& n) {
    PyObject* d = node_dict(S::k_ClassDef);
    if (d == nullptr) return nullptr;
    if (!put(d, S::k_name, new_str(n.name))) return drop(d);
    if (n.extends && !put(d, S::k_extends, new_str(*n.extends))) return drop(d);
    if (!put(d, S::k_body, statements(n.body))) return drop(d);
    return d;
  }
  PyObject* node(const ast::While& n) {
    PyObject* d = node_dict(S::k_While);
    if (d == nullptr) return nullptr;
    if (!put(d, S::k_condition, expr(n.condition)) || !put(d, S::k_body, statements(n.body))) return drop(d);
    return d;
  }
  PyObject* node(const ast::For& n) {
    PyObject* d = node_dict(S::k_For);
    if (d == nullptr) return nullptr;
    if (!put(d, S::k_target, new_str(n.target)) || !put(d, S::k_iter, expr(n.iter)) ||
        !put(d, S::k_body, statements(n.body)))
      return drop(d);
    return d;
  }
  PyObject* node(const ast::Switch& n) {
    PyObject* d = node_dict(S::k_Switch);
    if (d == nullptr) return nullptr;
    if (!put(d, S::k_expr, expr(n.expr))) return drop(d);
    PyObject* cases = PyList_New(static_cast<Py_ssize_t>(n.cases.size()));
    if (cases == nullptr) return drop(d);
    for (size_t i = 0; i < n.cases.size(); ++i) {
      const SwitchCase& c = n.cases[i];
      PyObject* cd = PyDict_New();
      if (cd == nullptr) {
        Py_DECREF(cases);
        return drop(d);
      }
      PyList_SET_ITEM(cases, static_cast<Py_ssize_t>(i), cd);
      // The default case is the one place an absent field is written, as None.
      if (!put(cd, S::k_expr, c.expr ? expr(*c.expr) : Py_NewRef(Py_None)) || !put(cd, S::k_body, statements(c.body))) {
        Py_DECREF(cases);
        return drop(d);
      }
    }
    if (!put(d, S::k_cases, cases)) return drop(d);
    return d;
  }
  PyObject* node(const ast::Return& n) {
    PyObject* d = node_dict(S::k_Return);
    if (d != nullptr && n.value && !put(d, S::k_value, expr(*n.value))) return drop(d);
    return d;
  }
  PyObject* node(const ast::Break&) { return node_dict(S::k_Break); }
  PyObject* node(const ast::Continue&) { return node_dict(S::k_Continue); }
  PyObject* node(const ast::Throw& n) {
    PyObject* d = node_dict(S::k_Throw);
    if (d != nullptr && !put(d, S::k_expr, expr(n.expr))) return drop(d);
    return d;
  }
  PyObject* node(const ast::Try& n) {
    PyObject* d = node_dict(S::k_Try);
    if (d == nullptr) return nullptr;
    if (!put(d, S::k_body, statements(n.body))) return drop(d);
    PyObject* clauses = PyList_New(static_cast<Py_ssize_t>(n.catch_clauses.size()));
    if (clauses == nullptr) return drop(d);
    for (size_t i = 0; i < n.catch_clauses.size(); ++i) {
      const CatchClause& c = n.catch_clauses[i];
      PyObject* cd = PyDict_New();
      if (cd == nullptr) {
        Py_DECREF(clauses);
        return drop(d);
      }
      PyList_SET_ITEM(clauses, static_cast<Py_ssize_t>(i), cd);
      if (!put(cd, S::k_exception, new_str(c.exception)) || !put(cd, S::k_body, statements(c.body))) {
        Py_DECREF(clauses);
        return drop(d);
      }
    }
    if (!put(d, S::k_catch_clauses, clauses)) return drop(d);
    if (n.finally_body && !put(d, S::k_finally_body, statements(*n.finally_body))) return drop(d);
    return d;
  }
};

// Parses `tokens` and returns the program dictionary, or raises SyntaxError with `prefix` before the
// error's display text.
PyObject* parse_and_export(std::vector<Token> tokens, const char* prefix) {
  auto result = Parser(std::move(tokens)).parse_program();
  if (!result.ok()) {
    std::string message = prefix + result.error().display();
    PyErr_SetString(PyExc_SyntaxError, message.c_str());
    return nullptr;
  }
  if (!init_strings()) return nullptr;
  return Exporter().program(result.value());
}

}  // namespace

PyObject* positioned_syntax_tree(std::string_view source) {
  auto lexed = tokenize(source);
  if (!lexed.ok()) {
    SourceError e = lex_source_error(lexed.error().message);
    return raise_placed_syntax_error("Lex error: " + e.message, e.line, e.column, source, "<string>");
  }
  auto result = Parser(std::move(lexed).value()).parse_program();
  if (!result.ok()) {
    const ParseError& e = result.error();
    return raise_placed_syntax_error("Parse error: " + e.display(), e.line, e.column, source, "<string>");
  }
  if (!init_strings()) return nullptr;
  return Exporter(true).program(result.value());
}

namespace {

PyObject* parse_tokens_with_prefix(PyObject* args, PyObject* kwargs, const char* fname, const char* prefix) {
  static const char* kKeywords[] = {"py_tokens", nullptr};
  std::string format = std::string("O:") + fname;
  PyObject* py_tokens = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(kKeywords), &py_tokens))
    return nullptr;
  std::vector<Token> tokens;
  if (!tokens_from_dicts(py_tokens, tokens)) return nullptr;
  return parse_and_export(std::move(tokens), prefix);
}

// ---------------------------------------------------------------------------------------------------
// PyParser

struct PyParserObject {
  PyObject_HEAD
  std::vector<Token>* tokens;
};

PyObject* pyparser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"py_tokens", nullptr};
  PyObject* py_tokens = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:PyParser", const_cast<char**>(kKeywords), &py_tokens))
    return nullptr;
  auto* tokens = new (std::nothrow) std::vector<Token>();
  if (tokens == nullptr) return PyErr_NoMemory();
  if (!tokens_from_dicts(py_tokens, *tokens)) {
    delete tokens;
    return nullptr;
  }
  auto* self = reinterpret_cast<PyParserObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) {
    delete tokens;
    return nullptr;
  }
  self->tokens = tokens;
  return reinterpret_cast<PyObject*>(self);
}

void pyparser_dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<PyParserObject*>(obj);
  delete self->tokens;
  self->tokens = nullptr;
  PyTypeObject* type = Py_TYPE(obj);
  type->tp_free(obj);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyObject* pyparser_parse(PyObject* obj, PyObject*) {
  auto* self = reinterpret_cast<PyParserObject*>(obj);
  // The kept tokens stay untouched, so parse can run any number of times.
  return parse_and_export(*self->tokens, "");
}

PyObject* pyparser_parse_tokens(PyObject*, PyObject* args, PyObject* kwargs) {
  return parse_tokens_with_prefix(args, kwargs, "parse_tokens", "");
}

PyMethodDef kPyParserMethods[] = {
    {"parse", py::guarded_method<pyparser_parse>(), METH_NOARGS, "parse($self)\n--\n\nParse tokens into an AST"},
    {"parse_tokens", py::guarded_method<pyparser_parse_tokens>(),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "parse_tokens(py_tokens)\n--\n\nParse from a token list (static method)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kPyParserSlots[] = {
    {Py_tp_new, py::guarded_slot<pyparser_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(pyparser_dealloc)},
    {Py_tp_doc, const_cast<char*>("PyParser(py_tokens)\n--\n\nPython wrapper of the Tarnwick parser.")},
    {Py_tp_methods, kPyParserMethods},
    {0, nullptr},
};

PyType_Spec kPyParserSpec = {"tarnwick_parser.PyParser", sizeof(PyParserObject), 0, Py_TPFLAGS_DEFAULT,
                             kPyParserSlots};

PyObject* g_pyparser_type = nullptr;

}  // namespace

PyObject* parse_tokens(PyObject*, PyObject* args, PyObject* kwargs) {
  return parse_tokens_with_prefix(args, kwargs, "parse_tokens", "Parse error: ");
}

PyObject* pyparser_type() {
  if (g_pyparser_type == nullptr) {
    g_pyparser_type = PyType_FromSpec(&kPyParserSpec);
    if (g_pyparser_type == nullptr) return nullptr;
  }
  return Py_NewRef(g_pyparser_type);
}

}  // namespace tarnwick::py
