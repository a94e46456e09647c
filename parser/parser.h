// The recursive-descent parser: tokens to a Program, or the first ParseError.
#pragma once

#include <cstddef>
#include <vector>

#include "common/result.h"
#include "parser/ast.h"
#include "parser/token.h"

namespace tarnwick {

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens);

  Result<Program, ParseError> parse_program();
  Result<ExprPtr, ParseError> parse_expression();
  Result<TypeAnnotation, ParseError> parse_type();

  // (The implementation adds its private cursor and grammar helpers here.)

 private:
  std::vector<Token> tokens_;
  size_t pos_ = 0;
};

}  // namespace tarnwick
