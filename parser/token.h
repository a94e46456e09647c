// Tokens: the unit the lexer produces and the parser consumes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

// Declaration order matters: it is the tag of each kind.
enum class TokenKind : uint8_t {
  Int, Float, String, Bool, Identifier, Nil, Let, Const, Fn, Struct, Enum, Class, If, Else, While, For, In,
  Return, Break, Continue, Switch, Case, Default, Try, Catch, Finally, Throw, Yield, Async, Await, And, Or,
  Not, OnStart, OnUpdate, OnDraw, OnExit, Node, OnReady, OnNodeUpdate, OnNodeDraw, IntType, FloatType,
  BoolType, StringType, VoidType, Import, From, As, Export, SelfKw, Super, Null, Spawn, Select, Then,
  Abstract, Interface, Impl, Pub, Is, Div, Defer, Repeat, Until, Plus, Minus, Star, Slash, Percent, Power,
  PlusPlus, SlashSlash, PlusEq, MinusEq, StarEq, SlashEq, PercentEq, PowerEq, Eq, Neq, Lt, Lte, Gt, Gte,
  BitwiseAnd, BitwiseOr, BitwiseXor, BitwiseNot, LeftShift, RightShift, AmpEq, PipeEq, CaretEq, LShiftEq,
  RShiftEq, Assign, Arrow, FatArrow, Question, QuestionDot, Nullish, NullishEq, Pipe, PipeGt, LeftParen,
  RightParen, LeftBrace, RightBrace, LeftBracket, RightBracket, Comma, Dot, Semicolon, Colon, DoubleColon,
  At, DotDot, DotDotEq, Ellipsis, FString, Eof,
};

inline constexpr int kTokenKindCount = 122;
static_assert(static_cast<int>(TokenKind::Eof) == kTokenKindCount - 1);

// One lexical token. Only the payload field that belongs to `kind` is meaningful:
// Int -> int_value, Float -> float_value, Bool -> bool_value, String/Identifier/FString -> text.
struct Token {
  TokenKind kind = TokenKind::Eof;
  bool bool_value = false;
  int64_t int_value = 0;
  double float_value = 0.0;
  std::string text;
  uint64_t line = 0;
  uint64_t column = 0;

  static Token simple(TokenKind k, uint64_t line, uint64_t column) {
    Token t;
    t.kind = k;
    t.line = line;
    t.column = column;
    return t;
  }
};

// A token as the lexer makes it and the parser reads it. Its text is a view into the source or into
// storage the lexer keeps, so making one costs no allocation and it copies as plain bytes. The payload
// fields have the meaning they have in Token.
struct LexedToken {
  TokenKind kind = TokenKind::Eof;
  bool bool_value = false;
  union {
    int64_t int_value = 0;
    double float_value;
  };
  std::string_view text;
  uint64_t line = 0;
  uint64_t column = 0;

  // A view of `token` (its text stays in `token`).
  static LexedToken view_of(const Token& token);
  Token to_token() const;
};

// The kind's name as declared ("Identifier", "SelfKw").
std::string_view kind_name(TokenKind kind);
// The name written under "token_type" by lex() ("Ident" for Identifier, "Self" for SelfKw).
std::string_view token_type_name(TokenKind kind);
// The debug form of a token's kind with its payload: Identifier("x"), Int(5), Float(1.0), Eof.
std::string token_debug(const Token& token);
// The text written under "value" by lex().
std::string token_value_text(const Token& token);

}  // namespace tarnwick
