// The lexer: source text to tokens, ending with Eof, or a single error message.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "parser/arena.h"
#include "parser/token.h"

namespace tarnwick {

struct LexError {
  std::string message;
};

// Asks a lexer to read its source in place instead of copying it.
struct SourceInPlace {};
inline constexpr SourceInPlace kSourceInPlace{};

class Lexer {
 public:
  // Lexes a copy of `source`: the lexer may outlive it.
  explicit Lexer(std::string_view source);
  // Reads `source` where it is (copying it only if it needs repair, see src_): the source must outlive the
  // lexer and the texts of the tokens it makes.
  Lexer(std::string_view source, SourceInPlace);
  Lexer(const Lexer&) = delete;
  Lexer& operator=(const Lexer&) = delete;

  // All tokens at once, from the start of the source.
  Result<std::vector<Token>, LexError> tokenize();

  // The same tokens a few at a time, for a consumer that keeps only a window of them (the parser): drops
  // the first `consumed` tokens of `window`, then appends tokens until it holds `count` or the last token
  // (Eof) is in it. After an error nothing more is lexed, error() is set and the window gets an Eof at the
  // error's position, so the consumer comes to an end; its result is then moot, the lexer's error wins.
  // The texts of these tokens point into the source or into the lexer, which must outlive them.
  void refill(TokenWindow& window, size_t consumed, size_t count);
  // Lexes the rest of the source without keeping tokens, so that error() tells whether all of it lexes.
  void finish();
  // Whether the last token has been produced (or lexing stopped at an error).
  bool finished() const { return done_; }
  const LexError* error() const { return failed_ ? &error_ : nullptr; }
  size_t source_size() const { return src_.size(); }
  // Whether the lexer reads the source it was given where it lies (it copies one it has to repair).
  bool reads(std::string_view source) const { return src_.data() == source.data(); }

 private:
  // The source as well-formed UTF-8: when the input is not, the constructor makes a copy (in owned_) with
  // every ill-formed sequence replaced by U+FFFD, so the scanner can step over code points by their lead
  // byte alone and token texts are always valid UTF-8.
  // Positions are tracked on bytes; a column is the byte distance from col_base_, the line start moved
  // forward by each UTF-8 continuation byte consumed on that line, so that it counts code points.
  std::string_view src_;
  std::string owned_;
  TokenWindow* out_ = nullptr;  // where push() appends (with room reserved by the caller of run())
  Arena texts_;                 // token texts that differ from their spelling in the source
  bool done_ = false;
  bool failed_ = false;
  size_t pos_ = 0;       // byte offset of the next code point
  uint64_t line_ = 1;
  size_t col_base_ = 0;  // column() is 1 + pos_ - col_base_
  std::string scratch_;  // reused buffer for number texts
  LexError error_;

  uint64_t column() const { return 1 + pos_ - col_base_; }
  int peek(size_t ahead = 0) const {
    return pos_ + ahead < src_.size() ? static_cast<unsigned char>(src_[pos_ + ahead]) : -1;
  }
  void newline_consumed() {
    ++line_;
    col_base_ = pos_;
  }
  void restart();
  // Lexes until *out_ holds `limit` tokens or the source ends (then with Eof appended) or an error stops it.
  // *out_ must have room for run_room(limit, its size) tokens.
  void run(size_t limit);
  // Room a window holding `held` tokens needs for run(limit): the tokens the rest of the source can still
  // make (at least a byte each) up to `limit`, and an Eof, and one more for the Eof refill() adds after an
  // error.
  size_t run_room(size_t limit, size_t held) const {
    size_t most = held + (src_.size() - pos_);
    return (limit > held ? (limit < most ? limit : most) : held) + 2;
  }
  size_t consume_code_point();
  LexedToken& push(TokenKind kind, uint64_t line, uint64_t column);
  // `text` copied into texts_.
  std::string_view keep(std::string_view text) { return texts_.copy(text); }
  bool fail_here(std::string_view message);  // with the "Lexer error at" prefix
  bool fail(std::string message);             // the text as given

  void skip_line_comment();
  bool skip_block_comment(uint64_t line, uint64_t column);
  bool lex_string(unsigned char quote, uint64_t line, uint64_t column);
  bool lex_triple_string(unsigned char quote, uint64_t line, uint64_t column);
  bool lex_raw_string(uint64_t line, uint64_t column);
  bool lex_fstring(uint64_t line, uint64_t column);
  bool lex_prefixed_int(uint64_t line, uint64_t column);
  bool lex_decimal(uint64_t line, uint64_t column);
};

// Reads an unsigned decimal floating-point text (digits, optional '.' and fraction, optional exponent) the
// way the language does: a value too large for a double is infinity, one too small is zero.
double read_decimal_double(std::string_view text);

// Whether a script can write `name` as a variable: it lexes as one identifier (an ASCII letter or '_',
// then letters, digits and '_') and is not a keyword.
bool is_identifier_name(std::string_view name);

// Convenience: Lexer(source).tokenize().
Result<std::vector<Token>, LexError> tokenize(std::string_view source);

}  // namespace tarnwick
