// The lexer: source text to tokens, ending with Eof, or a single error message.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "parser/token.h"

namespace tarnwick {

struct LexError {
  std::string message;
};

class Lexer {
 public:
  explicit Lexer(std::string_view source);
  Result<std::vector<Token>, LexError> tokenize();

 private:
  std::u32string chars_;
  std::vector<Token> tokens_;
  uint64_t pos_ = 0;
  uint64_t line_ = 1;
  uint64_t column_ = 1;
  // Further private helpers are declared by the implementation as needed.
  friend struct LexerImpl;
};

// Convenience: Lexer(source).tokenize().
Result<std::vector<Token>, LexError> tokenize(std::string_view source);

}  // namespace tarnwick
