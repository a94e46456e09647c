// Tokens: the unit the lexer produces and the parser consumes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

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

static_assert(std::is_trivially_copyable_v<LexedToken> && std::is_trivially_destructible_v<LexedToken>);

// A run of LexedTokens in one growable buffer: the window the lexer fills and the parser reads. Unlike a
// vector it lets the lexer write tokens straight into reserved room (room(), then commit()), with no
// capacity check or zeroing per token.
class TokenWindow {
 public:
  TokenWindow() = default;
  TokenWindow(TokenWindow&& other) noexcept
      : data_(std::move(other.data_)), size_(other.size_), capacity_(other.capacity_) {
    other.size_ = other.capacity_ = 0;
  }
  TokenWindow& operator=(TokenWindow&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = other.size_;
    capacity_ = other.capacity_;
    other.size_ = other.capacity_ = 0;
    return *this;
  }
  TokenWindow(const TokenWindow&) = delete;
  TokenWindow& operator=(const TokenWindow&) = delete;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t capacity() const { return capacity_; }
  LexedToken& operator[](size_t i) { return data_[i]; }
  const LexedToken& operator[](size_t i) const { return data_[i]; }
  LexedToken& back() { return data_[size_ - 1]; }
  const LexedToken* begin() const { return data_.get(); }
  const LexedToken* end() const { return data_.get() + size_; }

  void clear() { size_ = 0; }
  // Room for at least `n` tokens in all, keeping the ones held.
  void reserve(size_t n) {
    if (n > capacity_) grow(n);
  }
  void push_back(const LexedToken& t) {
    if (size_ == capacity_) grow(capacity_ * 2 + 8);
    data_[size_++] = t;
  }
  // Drops the first `n` tokens (at most size()), moving the rest to the front.
  void drop_front(size_t n) {
    if (n == 0) return;
    size_t rest = size_ - n;
    if (rest != 0) std::memmove(static_cast<void*>(data_.get()), data_.get() + n, rest * sizeof(LexedToken));
    size_ = rest;
  }

  // Where the next token goes; a writer fills slots up to capacity() and then says how many it holds.
  LexedToken* room() { return data_.get() + size_; }
  LexedToken* slots() { return data_.get(); }
  void commit(size_t new_size) { size_ = new_size; }

 private:
  // The buffer holds LexedTokens, which as plain aggregates begin to exist in storage as it is written:
  // slots are never constructed in advance, so growing costs no pass over them.
  struct Free {
    void operator()(LexedToken* p) const { ::operator delete(static_cast<void*>(p)); }
  };
  void grow(size_t n) {
    std::unique_ptr<LexedToken[], Free> bigger(static_cast<LexedToken*>(::operator new(n * sizeof(LexedToken))));
    if (size_ != 0) std::memcpy(static_cast<void*>(bigger.get()), data_.get(), size_ * sizeof(LexedToken));
    data_ = std::move(bigger);
    capacity_ = n;
  }

  std::unique_ptr<LexedToken[], Free> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
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
