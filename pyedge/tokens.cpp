// lex() and the conversion of token dictionaries back into tokens.
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <unordered_map>

#include "parser/lexer.h"
#include "pyedge/api.h"
#include "pyedge/convert.h"

namespace tarnwick::py {

namespace {

// Strings reused by every lex() call. The module refuses sub-interpreters, so process-wide objects are
// safe; they are created on first use and kept for the life of the process.
struct LexStrings {
  PyObject* key_token_type = nullptr;
  PyObject* key_value = nullptr;
  PyObject* key_line = nullptr;
  PyObject* key_column = nullptr;
  PyObject* empty = nullptr;
  std::array<PyObject*, kTokenKindCount> type_names{};
};

LexStrings* lex_strings() {
  static LexStrings strings;
  static bool ready = false;
  if (ready) return &strings;
  LexStrings s;
  auto intern = [](std::string_view text) {
    return PyUnicode_InternFromString(std::string(text).c_str());
  };
  s.key_token_type = intern("token_type");
  s.key_value = intern("value");
  s.key_line = intern("line");
  s.key_column = intern("column");
  s.empty = intern("");
  bool ok = s.key_token_type && s.key_value && s.key_line && s.key_column && s.empty;
  for (int k = 0; ok && k < kTokenKindCount; ++k) {
    s.type_names[k] = intern(token_type_name(static_cast<TokenKind>(k)));
    ok = s.type_names[k] != nullptr;
  }
  if (!ok) {
    for (PyObject* o : {s.key_token_type, s.key_value, s.key_line, s.key_column, s.empty}) Py_XDECREF(o);
    for (PyObject* o : s.type_names) Py_XDECREF(o);
    return nullptr;
  }
  strings = s;
  ready = true;
  return &strings;
}


PyObject* new_text(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// One token as a dictionary with keys inserted in the order token_type, value, line, column.
PyObject* token_dict(const Token& token, const LexStrings& s) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  PyObject* value = nullptr;
  switch (token.kind) {
    case TokenKind::String:
    case TokenKind::Identifier:
    case TokenKind::FString: value = new_text(token.text); break;
    default: {
      std::string text = token_value_text(token);
      value = text.empty() ? Py_NewRef(s.empty) : new_text(text);
    }
  }
  PyObject* line = PyLong_FromUnsignedLongLong(token.line);
  PyObject* column = PyLong_FromUnsignedLongLong(token.column);
  bool ok = value && line && column &&
            PyDict_SetItem(dict, s.key_token_type, s.type_names[static_cast<size_t>(token.kind)]) == 0 &&
            PyDict_SetItem(dict, s.key_value, value) == 0 && PyDict_SetItem(dict, s.key_line, line) == 0 &&
            PyDict_SetItem(dict, s.key_column, column) == 0;
  Py_XDECREF(value);
  Py_XDECREF(line);
  Py_XDECREF(column);
  if (!ok) Py_CLEAR(dict);
  return dict;
}

PyObject* lex_impl(PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"source", nullptr};
  PyObject* source = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:lex", const_cast<char**>(kwlist), &source)) return nullptr;
  if (!PyUnicode_Check(source)) return argument_type_error("source", source, "PyString");
  const LexStrings* strings = lex_strings();
  if (strings == nullptr) return nullptr;

  Utf8Text utf8(source);
  if (!utf8.ok()) return nullptr;
  auto result = tokenize(utf8.text());
  if (!result.ok()) {
    const std::string& message = result.error().message;
    // The message may hold U+0000 (an unknown escape of NUL), so it is passed with its length.
    PyObject* text = new_text(message);
    if (text != nullptr) {
      PyErr_SetObject(PyExc_SyntaxError, text);
      Py_DECREF(text);
    }
    return nullptr;
  }
  const std::vector<Token>& tokens = result.value();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(tokens.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < tokens.size(); ++i) {
    PyObject* dict = token_dict(tokens[i], *strings);
    if (dict == nullptr) {
      Py_DECREF(list);  // the unfilled slots are NULL, which list deallocation skips
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), dict);
  }
  return list;
}

// ---- dictionaries to tokens ----

// Names with a dedicated kind on the way in; every other name becomes an Identifier.
const std::unordered_map<std::string_view, TokenKind>& accepted_names() {
  static const auto* names = [] {
    auto* m = new std::unordered_map<std::string_view, TokenKind>();
    using K = TokenKind;
    for (K k : {K::Let,      K::Const,      K::Fn,         K::Struct,     K::Enum,       K::Class,
                K::If,       K::Else,       K::While,      K::For,        K::In,         K::Return,
                K::Break,    K::Continue,   K::Switch,     K::Case,       K::Default,    K::Try,
                K::Catch,    K::Finally,    K::Throw,      K::Yield,      K::Async,      K::Await,
                K::And,      K::Or,         K::Not,        K::Nil,        K::Plus,       K::Minus,
                K::Star,     K::Slash,      K::Percent,    K::Power,      K::Eq,         K::Neq,
                K::Lt,       K::Lte,        K::Gt,         K::Gte,        K::BitwiseAnd, K::BitwiseOr,
                K::BitwiseXor, K::BitwiseNot, K::LeftShift, K::RightShift, K::Assign,    K::Arrow,
                K::Question, K::Comma,      K::Dot,        K::Semicolon,  K::Colon,      K::Eof,
                K::LeftParen, K::RightParen, K::LeftBrace, K::RightBrace, K::LeftBracket, K::RightBracket,
                K::Int,      K::Float,      K::String}) {
      m->emplace(kind_name(k), k);
    }
    m->emplace("Ident", K::Identifier);
    m->emplace("LParen", K::LeftParen);
    m->emplace("RParen", K::RightParen);
    m->emplace("LBrace", K::LeftBrace);
    m->emplace("RBrace", K::RightBrace);
    m->emplace("LBracket", K::LeftBracket);
    m->emplace("RBracket", K::RightBracket);
    // "True" and "False" are handled before the lookup: they carry the boolean.
    return m;
  }();
  return *names;
}

// A signed 64-bit decimal with an optional leading sign; anything else reads as 0.
int64_t int_from_text(std::string_view text) {
  if (!text.empty() && text[0] == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text[0] == '-') return 0;
  }
  if (text.empty()) return 0;
  int64_t v = 0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), v, 10);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size()) return 0;
  return v;
}

bool equals_ignoring_case(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != lower[i]) return false;
  }
  return true;
}

// A decimal double: optional sign, then digits with an optional '.' and exponent (at least one mantissa
// digit), or inf / infinity / nan in any case. Anything else reads as 0.0.
double float_from_text(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity")) {
    return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  }
  if (equals_ignoring_case(text, "nan")) return std::numeric_limits<double>::quiet_NaN();
  size_t i = 0, mantissa_digits = 0;
  auto digits = [&] {
    size_t k = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++k;
    return k;
  };
  mantissa_digits += digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    mantissa_digits += digits();
  }
  if (mantissa_digits == 0) return 0.0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return 0.0;
  }
  if (i != text.size()) return 0.0;
  double v = read_decimal_double(text);
  return negative ? -v : v;
}

// "line" and "column" are read leniently: a missing key or anything that is not an integer in the
// unsigned 64-bit range gives 0. An exception a host uses for control flow (Ctrl-C, SystemExit) raised
// meanwhile is not swallowed: false, with it set.
bool lenient_u64(PyObject* dict, PyObject* key, uint64_t& out) {
  out = 0;
  auto lenient = [] {
    if (is_control_flow_exception()) return false;
    PyErr_Clear();
    return true;
  };
  PyObject* obj = PyDict_GetItemWithError(dict, key);
  if (obj == nullptr) return !PyErr_Occurred() || lenient();
  if (!PyIndex_Check(obj)) return true;
  Py_INCREF(obj);
  PyObject* index = PyNumber_Index(obj);
  Py_DECREF(obj);
  if (index == nullptr) return lenient();
  unsigned long long v = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return lenient();
  out = v;
  return true;
}

// A required str entry, as a new reference; nullptr with the exception set otherwise.
PyObject* required_str(PyObject* dict, PyObject* key, const char* missing) {
  PyObject* obj = PyDict_GetItemWithError(dict, key);
  if (obj == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, missing);
    return nullptr;
  }
  if (!PyUnicode_Check(obj)) return conversion_type_error("", obj, "PyString");
  return Py_NewRef(obj);
}

bool token_from_dict(PyObject* dict, const LexStrings& s, Token& out) {
  PyObject* type = required_str(dict, s.key_token_type, "Missing token_type");
  if (type == nullptr) return false;
  PyObject* value = required_str(dict, s.key_value, "Missing value");
  if (value == nullptr) {
    Py_DECREF(type);
    return false;
  }
  // Only str objects are held from here on; reading "line" may run arbitrary __index__ code, which the
  // held references keep from freeing them.
  if (!lenient_u64(dict, s.key_line, out.line) || !lenient_u64(dict, s.key_column, out.column)) {
    Py_DECREF(type);
    Py_DECREF(value);
    return false;
  }
  bool ok = true;

  Utf8Text name_text(type);
  if (!name_text.ok()) {
    Py_DECREF(type);
    Py_DECREF(value);
    return false;
  }
  std::string_view name = name_text.text();

  TokenKind kind = TokenKind::Identifier;
  if (name == "True" || name == "False") {
    out.kind = TokenKind::Bool;
    out.bool_value = name == "True";
  } else {
    const auto& names = accepted_names();
    auto it = names.find(name);
    if (it != names.end()) kind = it->second;
    out.kind = kind;
    bool needs_text = kind == TokenKind::Int || kind == TokenKind::Float || kind == TokenKind::String ||
                      kind == TokenKind::Identifier;
    if (needs_text) {
      Utf8Text value_text(value);
      if (!value_text.ok()) {
        ok = false;
      } else {
        std::string_view text = value_text.text();
        if (kind == TokenKind::Int) {
          out.int_value = int_from_text(text);
        } else if (kind == TokenKind::Float) {
          out.float_value = float_from_text(text);
        } else {
          out.text.assign(text);
        }
      }
    }
  }
  Py_DECREF(type);
  Py_DECREF(value);
  return ok;
}

// Holds new references and releases them whatever path leaves the conversion.
struct RefList {
  std::vector<PyObject*> items;
  ~RefList() {
    for (PyObject* o : items) Py_DECREF(o);
  }
};

bool tokens_from_dicts_impl(PyObject* py_tokens, std::vector<Token>& out) {
  if (PyUnicode_Check(py_tokens)) {
    PyErr_SetString(PyExc_TypeError, "argument 'py_tokens': Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(py_tokens)) {
    argument_type_error("py_tokens", py_tokens, "Sequence");
    return false;
  }
  const LexStrings* strings = lex_strings();
  if (strings == nullptr) return false;

  // Every element is collected before any is converted, so an error raised by the iteration itself wins
  // over a fault of an element.
  RefList dicts;
  Py_ssize_t hint = PyObject_LengthHint(py_tokens, 0);
  if (hint < 0) PyErr_Clear();
  else dicts.items.reserve(static_cast<size_t>(hint));
  RefList iter;
  iter.items.push_back(PyObject_GetIter(py_tokens));
  if (iter.items.back() == nullptr) {
    iter.items.clear();
    return false;
  }
  while (PyObject* item = PyIter_Next(iter.items.back())) dicts.items.push_back(item);
  if (PyErr_Occurred()) return false;

  out.clear();
  out.reserve(dicts.items.size());
  for (PyObject* dict : dicts.items) {
    if (!PyDict_Check(dict)) {
      conversion_type_error("", dict, "PyDict");
      out.clear();
      return false;
    }
    Token token;
    if (!token_from_dict(dict, *strings, token)) {
      out.clear();
      return false;
    }
    out.push_back(std::move(token));
  }
  return true;
}

}  // namespace

PyObject* lex(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    return lex_impl(args, kwargs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

bool tokens_from_dicts(PyObject* py_tokens, std::vector<Token>& out) {
  try {
    return tokens_from_dicts_impl(py_tokens, out);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

}  // namespace tarnwick::py
