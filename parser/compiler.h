// The one-pass compiler from a syntax tree to a BytecodeProgram, and the source-to-bytecode front door
// used by the one-shot pipeline and the command line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "parser/ast.h"
#include "vm_engine/bytecode.h"

namespace tarnwick {

// The compiler accepts every parsed program except one whose `break` or `continue` has no enclosing
// loop: such a jump would have nowhere sensible to go.
struct CompileError {
  std::string message;
  uint64_t line = 0;
};

Result<BytecodeProgram, CompileError> compile_program(const Program& program);

// The same from the top-level statements handed over in batches, in order: `next` fills its argument with
// the next batch and returns false when there is none (after the last, or when the caller stopped at an
// error of its own). A batch's tree may be freed by the next call: whatever the compiler keeps of it is
// either a view of `source` or copied. After a compile error the remaining batches are still asked for
// (the caller's later lex or parse error wins), but not compiled.
Result<BytecodeProgram, CompileError> compile_program_in_batches(std::string_view source,
                                                                 const std::function<bool(StmtList&)>& next);

// The main program's code (ending with Halt) and constant table, exactly as compile_program makes them,
// and nothing else: function, method and lambda bodies are checked (a misplaced break or continue fails
// as it does there) but not compiled, and no line table is kept. The views point into buffers of the
// calling thread, reused by its next call.
struct MainProgramView {
  std::span<const Instruction> code;
  const std::vector<Constant>* constants = nullptr;
};
Result<MainProgramView, CompileError> compile_main_program(const Program& program);

struct SourceError {
  enum class Kind { Lex, Parse, Compile } kind = Kind::Lex;
  // The lexer's message, the parse error's display text, or the compile error's message.
  std::string message;
  uint64_t line = 0;    // 0 when unknown
  uint64_t column = 0;  // 0 when unknown
};

// A lexer failure with the position its text names (0:0 when it names none).
SourceError lex_source_error(std::string message);

// Lexes and parses `source` (the first two stages of compile_source, with their failures). The tree's
// names and texts may point into `source`, which must outlive it.
Result<Program, SourceError> parse_source(std::string_view source);
// A compile failure as compile_source reports it.
SourceError compile_source_error(CompileError error);

// Lexes, parses and compiles `source`.
Result<BytecodeProgram, SourceError> compile_source(std::string_view source);

}  // namespace tarnwick
