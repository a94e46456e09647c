// Source text to bytecode in one call: the lexer, the parser and the compiler in sequence, with each
// stage's failure reported as a SourceError of its own kind.
#include "parser/compiler.h"
#include "parser/lexer.h"
#include "parser/parser.h"

namespace tarnwick {

Result<BytecodeProgram, SourceError> compile_source(std::string_view source) {
  auto tokens = tokenize(source);
  if (!tokens) return make_err(SourceError{SourceError::Kind::Lex, std::move(tokens.error().message), 0, 0});
  auto program = Parser(std::move(tokens.value())).parse_program();
  if (!program) {
    const ParseError& e = program.error();
    return make_err(SourceError{SourceError::Kind::Parse, e.display(), e.line, e.column});
  }
  auto compiled = compile_program(program.value());
  if (!compiled) {
    CompileError& e = compiled.error();
    return make_err(SourceError{SourceError::Kind::Compile, std::move(e.message), e.line, 0});
  }
  return std::move(compiled.value());
}

}  // namespace tarnwick
