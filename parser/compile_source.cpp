// Source text to bytecode in one call: the lexer, the parser and the compiler in sequence, with each
// stage's failure reported as a SourceError of its own kind.
#include "parser/compiler.h"
#include "parser/lexer.h"
#include "parser/parser.h"

#include <cstdio>
#include <optional>
#include <string>

namespace tarnwick {

SourceError lex_source_error(std::string message) {
  // The lexer's texts carry their position as "... at L:C" ("Lexer error at 3:7: ...", "Unterminated block
  // comment at 3:7"); two of them carry none.
  SourceError error{SourceError::Kind::Lex, std::move(message), 0, 0};
  for (const char* marker : {"Lexer error at ", "Unterminated block comment at "}) {
    if (error.message.rfind(marker, 0) != 0) continue;
    unsigned long long line = 0, column = 0;
    if (std::sscanf(error.message.c_str() + std::char_traits<char>::length(marker), "%llu:%llu", &line, &column) == 2) {
      error.line = line;
      error.column = column;
    }
  }
  return error;
}

Result<Program, SourceError> parse_source(std::string_view source) {
  // One pass: the parser takes tokens from the lexer as it needs them. A lexer error anywhere in the
  // source wins over a parse error, so after a parse error the rest of the source is still lexed.
  Lexer lexer(source, kSourceInPlace);
  auto program = Parser(lexer, source).parse_program();
  if (!program) lexer.finish();
  if (const LexError* e = lexer.error()) return make_err(lex_source_error(e->message));
  if (!program) {
    const ParseError& e = program.error();
    return make_err(SourceError{SourceError::Kind::Parse, e.display(), e.line, e.column});
  }
  return std::move(program.value());
}

SourceError compile_source_error(CompileError error) {
  return SourceError{SourceError::Kind::Compile, std::move(error.message), error.line, 0};
}

Result<BytecodeProgram, SourceError> compile_source(std::string_view source) {
  // A few top-level statements are parsed and compiled at a time, so that the tree of the whole program
  // (the largest thing a front end holds) never exists at once. A source the lexer had to repair is read
  // from the lexer's copy, whose names the tree copies; it is compiled whole.
  Lexer lexer(source, kSourceInPlace);
  if (!lexer.reads(source)) {
    auto program = parse_source(source);
    if (!program) return make_err(std::move(program.error()));
    auto compiled = compile_program(program.value());
    if (!compiled) return make_err(compile_source_error(std::move(compiled.error())));
    return std::move(compiled.value());
  }
  constexpr size_t kBatchStatements = 512;
  Parser parser(lexer, source);
  std::optional<ParseError> parse_error;
  auto compiled = compile_program_in_batches(source, [&](StmtList& batch) {
    auto next = parser.parse_next_statements(kBatchStatements);
    if (!next) {
      parse_error = std::move(next.error());
      return false;
    }
    batch = next.value();
    return !batch.empty();
  });
  // As in parse_source: a lexer error anywhere wins over a parse error, which wins over a compile error.
  if (parse_error) lexer.finish();
  if (const LexError* e = lexer.error()) return make_err(lex_source_error(e->message));
  if (parse_error) return make_err(SourceError{SourceError::Kind::Parse, parse_error->display(), parse_error->line, parse_error->column});
  if (!compiled) return make_err(compile_source_error(std::move(compiled.error())));
  return std::move(compiled.value());
}

}  // namespace tarnwick
