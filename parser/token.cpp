// Token texts: kind names, operator spellings and the debug and value renderings of a token.
#include "parser/token.h"

#include <array>
#include <charconv>
#include <cmath>

#include "common/numfmt.h"

namespace tarnwick {

namespace {

constexpr std::array<std::string_view, kTokenKindCount> kKindNames = {
    "Int",        "Float",        "String",      "Bool",       "Identifier", "Nil",        "Let",
    "Const",      "Fn",           "Struct",      "Enum",       "Class",      "If",         "Else",
    "While",      "For",          "In",          "Return",     "Break",      "Continue",   "Switch",
    "Case",       "Default",      "Try",         "Catch",      "Finally",    "Throw",      "Yield",
    "Async",      "Await",        "And",         "Or",         "Not",        "OnStart",    "OnUpdate",
    "OnDraw",     "OnExit",       "Node",        "OnReady",    "OnNodeUpdate", "OnNodeDraw", "IntType",
    "FloatType",  "BoolType",     "StringType",  "VoidType",   "Import",     "From",       "As",
    "Export",     "SelfKw",       "Super",       "Null",       "Spawn",      "Select",     "Then",
    "Abstract",   "Interface",    "Impl",        "Pub",        "Is",         "Div",        "Defer",
    "Repeat",     "Until",        "Plus",        "Minus",      "Star",       "Slash",      "Percent",
    "Power",      "PlusPlus",     "SlashSlash",  "PlusEq",     "MinusEq",    "StarEq",     "SlashEq",
    "PercentEq",  "PowerEq",      "Eq",          "Neq",        "Lt",         "Lte",        "Gt",
    "Gte",        "BitwiseAnd",   "BitwiseOr",   "BitwiseXor", "BitwiseNot", "LeftShift",  "RightShift",
    "AmpEq",      "PipeEq",       "CaretEq",     "LShiftEq",   "RShiftEq",   "Assign",     "Arrow",
    "FatArrow",   "Question",     "QuestionDot", "Nullish",    "NullishEq",  "Pipe",       "PipeGt",
    "LeftParen",  "RightParen",   "LeftBrace",   "RightBrace", "LeftBracket", "RightBracket", "Comma",
    "Dot",        "Semicolon",    "Colon",       "DoubleColon", "At",        "DotDot",     "DotDotEq",
    "Ellipsis",   "FString",      "Eof",
};

// Only these operators carry their spelling as value text; every other payload-free kind gives "".
std::string_view operator_spelling(TokenKind kind) {
  switch (kind) {
    case TokenKind::PlusPlus: return "++";
    case TokenKind::SlashSlash: return "//";
    case TokenKind::PlusEq: return "+=";
    case TokenKind::MinusEq: return "-=";
    case TokenKind::StarEq: return "*=";
    case TokenKind::SlashEq: return "/=";
    case TokenKind::PercentEq: return "%=";
    case TokenKind::PowerEq: return "**=";
    case TokenKind::AmpEq: return "&=";
    case TokenKind::PipeEq: return "|=";
    case TokenKind::CaretEq: return "^=";
    case TokenKind::LShiftEq: return "<<=";
    case TokenKind::RShiftEq: return ">>=";
    case TokenKind::Assign: return "=";
    case TokenKind::Arrow: return "->";
    case TokenKind::FatArrow: return "=>";
    case TokenKind::QuestionDot: return "?.";
    case TokenKind::Nullish: return "??";
    case TokenKind::NullishEq: return "?\?=";
    case TokenKind::PipeGt: return "|>";
    case TokenKind::DoubleColon: return "::";
    case TokenKind::At: return "@";
    case TokenKind::DotDot: return "..";
    case TokenKind::DotDotEq: return "..=";
    case TokenKind::Ellipsis: return "...";
    default: return {};
  }
}

std::string non_finite_text(double v) {
  if (std::isnan(v)) return "NaN";
  return v < 0 ? "-inf" : "inf";
}

// Debug form of a double: whole values keep one decimal, very large or very small magnitudes use an
// exponent written without '+' and without leading zeros (1e16, 1.5e-7).
std::string float_debug(double v) {
  if (!std::isfinite(v)) return non_finite_text(v);
  double mag = std::fabs(v);
  if (mag != 0.0 && (mag >= 1e16 || mag < 1e-4)) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view s(buf, static_cast<size_t>(res.ptr - buf));
    size_t e = s.find('e');
    std::string out(s.substr(0, e));
    out += 'e';
    size_t i = e + 1;
    if (s[i] == '+') {
      ++i;
    } else if (s[i] == '-') {
      out += '-';
      ++i;
    }
    while (i + 1 < s.size() && s[i] == '0') ++i;
    out.append(s.substr(i));
    return out;
  }
  std::string out = shortest_fixed(v);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

void append_hex_escape(std::string& out, uint32_t cp) {
  char buf[16];
  auto res = std::to_chars(buf, buf + sizeof buf, cp, 16);
  out += "\\u{";
  out.append(buf, res.ptr);
  out += '}';
}

std::string quoted_debug(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7f) {
      append_hex_escape(out, c);
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0 &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80) {
      // C1 control characters (U+0080..U+009F) are escaped like the C0 ones.
      append_hex_escape(out, static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  return out;
}

}  // namespace

LexedToken LexedToken::view_of(const Token& token) {
  LexedToken t;
  t.kind = token.kind;
  t.bool_value = token.bool_value;
  if (token.kind == TokenKind::Float) {
    t.float_value = token.float_value;
  } else {
    t.int_value = token.int_value;
  }
  t.text = token.text;
  t.line = token.line;
  t.column = token.column;
  return t;
}

Token LexedToken::to_token() const {
  Token t;
  t.kind = kind;
  t.bool_value = bool_value;
  if (kind == TokenKind::Float) {
    t.float_value = float_value;
  } else {
    t.int_value = int_value;
  }
  t.text.assign(text);
  t.line = line;
  t.column = column;
  return t;
}

std::string_view kind_name(TokenKind kind) {
  auto i = static_cast<size_t>(kind);
  return i < kKindNames.size() ? kKindNames[i] : std::string_view("?");
}

std::string_view token_type_name(TokenKind kind) {
  if (kind == TokenKind::Identifier) return "Ident";
  if (kind == TokenKind::SelfKw) return "Self";
  return kind_name(kind);
}

std::string token_debug(const Token& token) {
  std::string out(kind_name(token.kind));
  switch (token.kind) {
    case TokenKind::Int: out += '(' + std::to_string(token.int_value) + ')'; break;
    case TokenKind::Float: out += '(' + float_debug(token.float_value) + ')'; break;
    case TokenKind::Bool: out += token.bool_value ? "(true)" : "(false)"; break;
    case TokenKind::String:
    case TokenKind::Identifier:
    case TokenKind::FString: out += '(' + quoted_debug(token.text) + ')'; break;
    default: break;
  }
  return out;
}

std::string token_value_text(const Token& token) {
  switch (token.kind) {
    case TokenKind::Int: return std::to_string(token.int_value);
    case TokenKind::Float:
      return std::isfinite(token.float_value) ? shortest_fixed(token.float_value)
                                              : non_finite_text(token.float_value);
    case TokenKind::Bool: return token.bool_value ? "true" : "false";
    case TokenKind::String:
    case TokenKind::Identifier:
    case TokenKind::FString: return token.text;
    default: return std::string(operator_spelling(token.kind));
  }
}

}  // namespace tarnwick
