// The lexer: source text (made valid UTF-8 first) to tokens, with the one error message a bad character,
// number or string gives.
#include "parser/lexer.h"

#include <array>
#include <charconv>
#include <cstring>
#include <limits>

namespace tarnwick {

namespace {

constexpr std::string_view kEmDashNewline = " \u2014 newline inside string";
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

enum CharClass : uint8_t { kWord = 1, kHex = 2 };

constexpr std::array<uint8_t, 256> make_classes() {
  std::array<uint8_t, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] = kWord | kHex;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = kWord;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = kWord;
  for (int c = 'a'; c <= 'f'; ++c) t[c] |= kHex;
  for (int c = 'A'; c <= 'F'; ++c) t[c] |= kHex;
  t['_'] = kWord;
  return t;
}
constexpr std::array<uint8_t, 256> kClass = make_classes();

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }
inline bool is_word(unsigned char c) { return kClass[c] & kWord; }

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when it is ill-formed; then `skip`
// receives how many bytes one U+FFFD stands for (the maximal prefix of a valid sequence, at least 1).
// An encoded surrogate (ED A0..BF 80..BF, which is what a lone surrogate of a Python str becomes when
// encoded with surrogatepass) counts as one ill-formed code point, so columns agree with the caller's
// own character count.
size_t utf8_sequence(std::string_view s, size_t i, size_t& skip) {
  auto at = [&](size_t k) -> int { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : -1; };
  int b = at(0);
  if (b < 0x80) return 1;
  int len = 0, lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) {
      if (at(1) >= 0xA0 && at(1) <= 0xBF && at(2) >= 0x80 && at(2) <= 0xBF) {
        skip = 3;
        return 0;
      }
      hi = 0x9F;
    }
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    skip = 1;
    return 0;
  }
  for (int k = 1; k < len; ++k) {
    int c = at(k);
    if (c < lo || c > hi) {
      skip = static_cast<size_t>(k);
      return 0;
    }
    lo = 0x80;
    hi = 0xBF;
  }
  return static_cast<size_t>(len);
}

// Length of the well-formed UTF-8 prefix of `in` (all of it for most sources).
size_t valid_utf8_prefix(std::string_view in) {
  size_t i = 0, skip = 0;
  while (i < in.size()) {
    if (i + 8 <= in.size()) {
      uint64_t word;
      std::memcpy(&word, in.data() + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    if (static_cast<unsigned char>(in[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t len = utf8_sequence(in, i, skip);
    if (len == 0) break;
    i += len;
  }
  return i;
}

// `in`, whose first `valid` bytes are well-formed, with each ill-formed sequence after them replaced.
std::string repaired_utf8(std::string_view in, size_t valid) {
  size_t i = valid, skip = 0;
  std::string out;
  out.reserve(in.size() + 16);
  out.append(in.data(), i);
  while (i < in.size()) {
    size_t len = utf8_sequence(in, i, skip);
    if (len == 0) {
      out += kReplacement;
      i += skip;
    } else {
      out.append(in.data() + i, len);
      i += len;
    }
  }
  return out;
}

// "Unexpected character: {c}" shows the character quoted, with `\` doubled, NUL as \0 and other control
// characters as \u{hex}. Only ASCII reaches this: every other code point is skipped by the main loop.
std::string unexpected_character(unsigned char c) {
  char shown[16];
  size_t len = 0;
  if (c == '\\') {
    shown[len++] = '\\';
    shown[len++] = '\\';
  } else if (c == 0) {
    shown[len++] = '\\';
    shown[len++] = '0';
  } else if (c < 0x20 || c == 0x7F) {
    std::memcpy(shown, "\\u{", 3);
    auto res = std::to_chars(shown + 3, shown + sizeof shown - 1, static_cast<unsigned>(c), 16);
    len = static_cast<size_t>(res.ptr - shown);
    shown[len++] = '}';
  } else {
    shown[len++] = static_cast<char>(c);
  }
  std::string out = "Unexpected character: '";
  out.append(shown, len);
  out.push_back('\'');
  return out;
}

struct Keyword {
  std::string_view word;
  TokenKind kind;
};

// Grouped by length so a lookup compares against a handful of words at most.
constexpr Keyword kKeywords2[] = {{"fn", TokenKind::Fn}, {"if", TokenKind::If}, {"in", TokenKind::In},
                                  {"or", TokenKind::Or}, {"is", TokenKind::Is}};
constexpr Keyword kKeywords3[] = {{"let", TokenKind::Let}, {"for", TokenKind::For}, {"nil", TokenKind::Nil},
                                  {"try", TokenKind::Try}, {"and", TokenKind::And}, {"not", TokenKind::Not},
                                  {"div", TokenKind::Div}, {"int", TokenKind::IntType}};
constexpr Keyword kKeywords4[] = {{"else", TokenKind::Else}, {"enum", TokenKind::Enum},
                                  {"case", TokenKind::Case}, {"true", TokenKind::Bool},
                                  {"null", TokenKind::Null}, {"bool", TokenKind::BoolType},
                                  {"void", TokenKind::VoidType}};
constexpr Keyword kKeywords5[] = {
    {"false", TokenKind::Bool},  {"const", TokenKind::Const}, {"while", TokenKind::While},
    {"break", TokenKind::Break}, {"class", TokenKind::Class}, {"scene", TokenKind::Class},
    {"match", TokenKind::Switch}, {"catch", TokenKind::Catch}, {"throw", TokenKind::Throw},
    {"async", TokenKind::Async}, {"await", TokenKind::Await}, {"yield", TokenKind::Yield},
    {"float", TokenKind::FloatType}, {"_draw", TokenKind::OnNodeDraw}};
constexpr Keyword kKeywords6[] = {{"return", TokenKind::Return}, {"struct", TokenKind::Struct},
                                  {"_ready", TokenKind::OnReady}, {"string", TokenKind::StringType}};
constexpr Keyword kKeywords7[] = {{"finally", TokenKind::Finally}, {"on_draw", TokenKind::OnDraw},
                                  {"on_exit", TokenKind::OnExit}, {"_update", TokenKind::OnNodeUpdate}};
constexpr Keyword kKeywords8[] = {{"continue", TokenKind::Continue}, {"on_start", TokenKind::OnStart}};
constexpr Keyword kKeywords9[] = {{"on_update", TokenKind::OnUpdate}};

// A keyword of up to eight bytes as one little-endian word, zero-padded: a lookup compares integers.
constexpr uint64_t pack_word(std::string_view w) {
  uint64_t v = 0;
  for (size_t i = 0; i < w.size() && i < 8; ++i) v |= uint64_t{static_cast<unsigned char>(w[i])} << (8 * i);
  return v;
}

struct PackedKeyword {
  uint64_t packed;
  TokenKind kind;
};

template <size_t N>
constexpr std::array<PackedKeyword, N> packed(const Keyword (&table)[N]) {
  std::array<PackedKeyword, N> out{};
  for (size_t i = 0; i < N; ++i) out[i] = {pack_word(table[i].word), table[i].kind};
  return out;
}

constexpr auto kPacked2 = packed(kKeywords2);
constexpr auto kPacked3 = packed(kKeywords3);
constexpr auto kPacked4 = packed(kKeywords4);
constexpr auto kPacked5 = packed(kKeywords5);
constexpr auto kPacked6 = packed(kKeywords6);
constexpr auto kPacked7 = packed(kKeywords7);
constexpr auto kPacked8 = packed(kKeywords8);
constexpr uint64_t kOnUpdateHead = pack_word(kKeywords9[0].word);  // its first eight bytes; the ninth is 'e'
static_assert(std::size(kKeywords9) == 1 && kKeywords9[0].word.size() == 9 && kKeywords9[0].word[8] == 'e');

template <size_t N>
bool find_packed(const std::array<PackedKeyword, N>& table, uint64_t word, TokenKind& kind) {
  for (const PackedKeyword& k : table) {
    if (k.packed == word) {
      kind = k.kind;
      return true;
    }
  }
  return false;
}

// The word's kind if it is a keyword. `avail` is how many bytes from `word` on may be read (at least its
// length), which lets most lookups load the word in one go.
bool lookup_keyword(const char* word, size_t len, size_t avail, TokenKind& kind) {
  if (len < 2 || len > 9) return false;
  uint64_t v = 0;
  if (avail >= 8) {
    std::memcpy(&v, word, 8);
    if (len < 8) v &= (uint64_t{1} << (8 * len)) - 1;
  } else {
    for (size_t i = 0; i < len; ++i) v |= uint64_t{static_cast<unsigned char>(word[i])} << (8 * i);
  }
  switch (len) {
    case 2: return find_packed(kPacked2, v, kind);
    case 3: return find_packed(kPacked3, v, kind);
    case 4: return find_packed(kPacked4, v, kind);
    case 5: return find_packed(kPacked5, v, kind);
    case 6: return find_packed(kPacked6, v, kind);
    case 7: return find_packed(kPacked7, v, kind);
    case 8: return find_packed(kPacked8, v, kind);
    default:
      if (v != kOnUpdateHead || word[8] != 'e') return false;
      kind = kKeywords9[0].kind;
      return true;
  }
}

// Reads digits of `base`, skipping '_'. Values beyond the signed 64-bit range, and runs of underscores
// alone, read as 0: the language defines such literals as zero rather than as errors.
int64_t read_integer(std::string_view digits, unsigned base) {
  uint64_t acc = 0;
  bool any = false;
  for (char ch : digits) {
    if (ch == '_') continue;
    unsigned d = is_digit(ch) ? unsigned(ch - '0') : unsigned((ch | 0x20) - 'a' + 10);
    if (__builtin_mul_overflow(acc, uint64_t{base}, &acc) || __builtin_add_overflow(acc, uint64_t{d}, &acc) ||
        acc > uint64_t(std::numeric_limits<int64_t>::max())) {
      return 0;
    }
    any = true;
  }
  return any ? static_cast<int64_t>(acc) : 0;
}

}  // namespace

double read_decimal_double(std::string_view text) {
  double v = 0.0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
  if (res.ec == std::errc()) return v;
  if (res.ec != std::errc::result_out_of_range) return 0.0;
  // from_chars does not say which way the value left the range; the position of the first significant
  // digit relative to the point, plus the exponent, does.
  size_t e = text.find_first_of("eE");
  std::string_view mant = text.substr(0, e);
  int64_t exp = 0;
  if (e != std::string_view::npos) {
    size_t i = e + 1;
    bool neg = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) neg = text[i++] == '-';
    for (; i < text.size(); ++i) {
      if (exp < 1'000'000'000'000) exp = exp * 10 + (text[i] - '0');
    }
    if (neg) exp = -exp;
  }
  size_t dot = mant.find('.');
  size_t int_digits = dot == std::string_view::npos ? mant.size() : dot;
  for (size_t i = 0; i < mant.size(); ++i) {
    if (mant[i] == '.' || mant[i] == '0') continue;
    int64_t order = i < int_digits ? int64_t(int_digits - i) : -int64_t(i - int_digits - 1);
    return order + exp > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return 0.0;
}

Lexer::Lexer(std::string_view source, SourceInPlace) : src_(source) {
  size_t valid = valid_utf8_prefix(source);
  if (valid != source.size()) {
    owned_ = repaired_utf8(source, valid);
    src_ = owned_;
  }
}

Lexer::Lexer(std::string_view source) : Lexer(source, kSourceInPlace) {
  if (src_.data() != owned_.data()) {
    owned_.assign(source);
    src_ = owned_;
  }
}

Result<std::vector<Token>, LexError> tokenize(std::string_view source) {
  return Lexer(source, kSourceInPlace).tokenize();
}

LexedToken& Lexer::push(TokenKind kind, uint64_t line, uint64_t column) {
  LexedToken& t = out_->emplace_back();
  t.kind = kind;
  t.line = line;
  t.column = column;
  return t;
}

bool Lexer::fail_here(std::string_view message) {
  error_.message = "Lexer error at " + std::to_string(line_) + ":" + std::to_string(column()) + ": ";
  error_.message += message;
  return false;
}

bool Lexer::fail(std::string message) {
  error_.message = std::move(message);
  return false;
}

size_t Lexer::consume_code_point() {
  unsigned char b = static_cast<unsigned char>(src_[pos_]);
  size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  pos_ += len;
  line_cont_ += len - 1;
  if (b == '\n') newline_consumed();
  return len;
}

void Lexer::restart() {
  pos_ = 0;
  line_ = 1;
  line_start_ = 0;
  line_cont_ = 0;
  done_ = failed_ = false;
}

Result<std::vector<Token>, LexError> Lexer::tokenize() {
  restart();
  std::vector<Token> tokens;
  // Code has a token every three to six bytes. Over-reserving is cheap: pages of a large block that are
  // never written are never mapped, while a regrowth would copy every token made so far.
  tokens.reserve(src_.size() / 3 + 8);
  // Lexed a window at a time and turned into Tokens as it goes, so the compact form costs no list of its own.
  std::vector<LexedToken> window;
  window.reserve(256);
  out_ = &window;
  while (!done_) {
    window.clear();
    run(256);
    for (const LexedToken& t : window) tokens.push_back(t.to_token());
  }
  out_ = nullptr;
  if (failed_) return make_err(std::move(error_));
  return tokens;
}

void Lexer::refill(std::vector<LexedToken>& window, size_t consumed, size_t count) {
  window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(consumed));
  if (done_) return;
  out_ = &window;
  run(count);
  if (failed_) {
    LexedToken& eof = window.emplace_back();
    eof.line = line_;
    eof.column = column();
  }
  out_ = nullptr;
}

void Lexer::finish() {
  if (done_) return;
  std::vector<LexedToken> scratch;
  scratch.reserve(256);
  out_ = &scratch;
  while (!done_) {
    scratch.clear();
    run(256);
  }
  out_ = nullptr;
}

void Lexer::run(size_t limit) {
  const size_t n = src_.size();
  const char* s = src_.data();
  bool ok = true;

  while (pos_ < n && out_->size() < limit) {
    unsigned char c = static_cast<unsigned char>(s[pos_]);
    const uint64_t line = line_, col = column();
    switch (c) {
      case '\n':
        ++pos_;
        newline_consumed();
        break;
      case ' ':
      case '\t':
      case '\r': {
        // Indentation comes in runs: one step of the loop per run, not per character.
        size_t p = pos_ + 1;
        while (p < n && (s[p] == ' ' || s[p] == '\t' || s[p] == '\r')) ++p;
        pos_ = p;
        break;
      }
      case '"':
      case '\'':
        if (peek(1) == c && peek(2) == c) {
          ok = lex_triple_string(c, line, col);
        } else {
          ok = lex_string(c, line, col);
        }
        break;
      case '#':
        skip_line_comment();
        break;
      case '/':
        if (peek(1) == '*') {
          ok = skip_block_comment(line, col);
        } else if (peek(1) == '/' && peek(2) == '/') {
          skip_line_comment();
        } else if (peek(1) == '/') {
          pos_ += 2;
          push(TokenKind::SlashSlash, line, col);
        } else if (peek(1) == '=') {
          pos_ += 2;
          push(TokenKind::SlashEq, line, col);
        } else {
          ++pos_;
          push(TokenKind::Slash, line, col);
        }
        break;
      case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9': {
        int next = peek(1);
        if (c == '0' && (next == 'x' || next == 'X' || next == 'b' || next == 'B' || next == 'o' || next == 'O')) {
          ok = lex_prefixed_int(line, col);
        } else {
          ok = lex_decimal(line, col);
        }
        break;
      }
      case '$':
        if (peek(1) == '"' || peek(1) == '\'') {
          ok = lex_fstring(line, col);
        } else {
          ++pos_;  // a stray '$' is dropped
        }
        break;
      default:
        if (is_word(c)) {
          int next = peek(1);
          bool quote_next = next == '"' || next == '\'';
          if (quote_next && (c == 'f' || c == 'F')) {
            ok = lex_fstring(line, col);
          } else if (quote_next && (c == 'r' || c == 'R')) {
            ok = lex_raw_string(line, col);
          } else {
            lex_word(line, col);
          }
        } else if (c >= 0x80) {
          consume_code_point();  // non-ASCII outside strings and comments is ignored
        } else {
          ok = lex_operator(c, line, col);
        }
        break;
    }
    if (!ok) {
      failed_ = done_ = true;
      return;
    }
  }
  if (pos_ >= n) {
    push(TokenKind::Eof, line_, column());
    done_ = true;
  }
}

void Lexer::skip_line_comment() {
  const char* s = src_.data();
  const void* nl = std::memchr(s + pos_, '\n', src_.size() - pos_);
  size_t end = nl ? static_cast<size_t>(static_cast<const char*>(nl) - s) : src_.size();
  for (size_t i = pos_; i < end; ++i) line_cont_ += (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80;
  pos_ = end;
}

bool Lexer::skip_block_comment(uint64_t line, uint64_t column) {
  const size_t n = src_.size();
  const char* s = src_.data();
  pos_ += 2;
  uint64_t depth = 1;
  while (pos_ < n) {
    char c = s[pos_];
    if (c == '*' && pos_ + 1 < n && s[pos_ + 1] == '/') {
      pos_ += 2;
      if (--depth == 0) return true;
    } else if (c == '/' && pos_ + 1 < n && s[pos_ + 1] == '*') {
      pos_ += 2;
      ++depth;
    } else if (c == '\n') {
      ++pos_;
      newline_consumed();
    } else {
      line_cont_ += (static_cast<unsigned char>(c) & 0xC0) == 0x80;
      ++pos_;
    }
  }
  return fail("Unterminated block comment at " + std::to_string(line) + ":" + std::to_string(column));
}

bool Lexer::lex_string(unsigned char quote, uint64_t line, uint64_t column) {
  const size_t n = src_.size();
  const char* s = src_.data();
  ++pos_;  // opening quote
  std::string text;
  for (;;) {
    size_t start = pos_;
    while (pos_ < n) {
      unsigned char b = static_cast<unsigned char>(s[pos_]);
      if (b == quote || b == '\\' || b == '\n') break;
      line_cont_ += (b & 0xC0) == 0x80;
      ++pos_;
    }
    text.append(s + start, pos_ - start);
    if (pos_ >= n) return fail_here("Unterminated string literal");
    unsigned char b = static_cast<unsigned char>(s[pos_]);
    if (b == quote) {
      ++pos_;
      push(TokenKind::String, line, column).text = keep(text);
      return true;
    }
    if (b == '\n') return fail_here(std::string("Unterminated string").append(kEmDashNewline));
    ++pos_;  // backslash
    if (pos_ >= n) return fail_here("Unterminated escape sequence");
    switch (s[pos_]) {
      case 'n': text += '\n'; break;
      case 'r': text += '\r'; break;
      case 't': text += '\t'; break;
      case '0': text += '\0'; break;
      case 'a': text += '\a'; break;
      case 'b': text += '\b'; break;
      case '\\': text += '\\'; break;
      case '"': text += '"'; break;
      case '\'': text += '\''; break;
      default: {
        size_t at = pos_;
        size_t len = consume_code_point();
        return fail("Unknown escape sequence: \\" + std::string(src_.substr(at, len)));
      }
    }
    ++pos_;
  }
}

bool Lexer::lex_triple_string(unsigned char quote, uint64_t line, uint64_t column) {
  const size_t n = src_.size();
  const char* s = src_.data();
  pos_ += 3;
  std::string text;
  for (;;) {
    size_t start = pos_;
    while (pos_ < n) {
      unsigned char b = static_cast<unsigned char>(s[pos_]);
      if (b == quote || b == '\\' || b == '\n') break;
      line_cont_ += (b & 0xC0) == 0x80;
      ++pos_;
    }
    text.append(s + start, pos_ - start);
    if (pos_ >= n) return fail_here("Unterminated triple-quoted string");
    unsigned char b = static_cast<unsigned char>(s[pos_]);
    if (b == '\n') {
      text += '\n';
      ++pos_;
      newline_consumed();
    } else if (b == quote) {
      if (peek(1) == quote && peek(2) == quote) {
        pos_ += 3;
        push(TokenKind::String, line, column).text = keep(text);
        return true;
      }
      text += static_cast<char>(quote);
      ++pos_;
    } else {
      ++pos_;  // backslash
      if (pos_ >= n) return fail_here("Unterminated escape in triple-quoted string");
      switch (s[pos_]) {
        case 'n': text += '\n'; ++pos_; break;
        case 'r': text += '\r'; ++pos_; break;
        case 't': text += '\t'; ++pos_; break;
        case '0': text += '\0'; ++pos_; break;
        default: {
          // Any other escaped code point stands for itself (a line break included).
          size_t at = pos_;
          size_t len = consume_code_point();
          text.append(s + at, len);
        }
      }
    }
  }
}

bool Lexer::lex_raw_string(uint64_t line, uint64_t column) {
  const size_t n = src_.size();
  const char* s = src_.data();
  unsigned char quote = static_cast<unsigned char>(s[pos_ + 1]);
  pos_ += 2;
  size_t start = pos_;
  while (pos_ < n) {
    unsigned char b = static_cast<unsigned char>(s[pos_]);
    if (b == quote) {
      std::string_view text(s + start, pos_ - start);
      ++pos_;
      push(TokenKind::String, line, column).text = text;
      return true;
    }
    if (b == '\n') return fail_here(std::string("Unterminated raw string").append(kEmDashNewline));
    line_cont_ += (b & 0xC0) == 0x80;
    ++pos_;
  }
  return fail_here("Unterminated raw string literal");
}

// The body keeps braces and expression text for the parser; a doubled brace at depth 0 becomes the
// brace next to a U+0000 marker, which tells the parser that brace is literal text.
bool Lexer::lex_fstring(uint64_t line, uint64_t column) {
  const size_t n = src_.size();
  const char* s = src_.data();
  unsigned char quote = static_cast<unsigned char>(s[pos_ + 1]);
  pos_ += 2;
  uint64_t depth = 0;
  std::string text;
  for (;;) {
    size_t start = pos_;
    while (pos_ < n) {
      unsigned char b = static_cast<unsigned char>(s[pos_]);
      if (b == quote || b == '\\' || b == '\n' || b == '{' || b == '}') break;
      line_cont_ += (b & 0xC0) == 0x80;
      ++pos_;
    }
    text.append(s + start, pos_ - start);
    if (pos_ >= n) return fail_here("Unterminated f-string");
    char b = s[pos_];
    if (b == '\n') return fail_here(std::string("Unterminated f-string").append(kEmDashNewline));
    if (static_cast<unsigned char>(b) == quote) {
      ++pos_;
      if (depth == 0) {
        push(TokenKind::FString, line, column).text = keep(text);
        return true;
      }
      text += b;
    } else if (b == '\\') {
      ++pos_;
      if (depth > 0) {
        text += '\\';
        continue;
      }
      if (pos_ >= n) return fail_here("Unterminated escape in f-string");
      switch (s[pos_]) {
        case 'n': text += '\n'; ++pos_; break;
        case 'r': text += '\r'; ++pos_; break;
        case 't': text += '\t'; ++pos_; break;
        default: {
          size_t at = pos_;
          size_t len = consume_code_point();
          text.append(s + at, len);
        }
      }
    } else if (b == '{') {
      if (depth == 0 && peek(1) == '{') {
        pos_ += 2;
        text += '\0';
        text += '{';
      } else {
        ++pos_;
        ++depth;
        text += '{';
      }
    } else {  // '}'
      if (depth == 0 && peek(1) == '}') {
        pos_ += 2;
        text += '}';
        text += '\0';
      } else {
        ++pos_;
        if (depth > 0) --depth;
        text += '}';
      }
    }
  }
}

bool Lexer::lex_prefixed_int(uint64_t line, uint64_t column) {
  const size_t n = src_.size();
  const char* s = src_.data();
  char letter = static_cast<char>(s[pos_ + 1] | 0x20);
  unsigned base = letter == 'x' ? 16 : letter == 'b' ? 2 : 8;
  pos_ += 2;
  size_t start = pos_;
  while (pos_ < n) {
    unsigned char b = static_cast<unsigned char>(s[pos_]);
    bool ok = b == '_' || (base == 16 ? (kClass[b] & kHex) != 0 : b >= '0' && b < '0' + base);
    if (!ok) break;
    ++pos_;
  }
  if (pos_ == start) {
    return fail_here(base == 16  ? "Expected hex digits after '0x'"
                     : base == 2 ? "Expected binary digits after '0b'"
                                 : "Expected octal digits after '0o'");
  }
  push(TokenKind::Int, line, column).int_value = read_integer(std::string_view(s + start, pos_ - start), base);
  return true;
}

bool Lexer::lex_decimal(uint64_t line, uint64_t column) {
  const size_t n = src_.size();
  const char* s = src_.data();
  size_t start = pos_;
  auto digits_and_underscores = [&] {
    while (pos_ < n && (is_digit(s[pos_]) || s[pos_] == '_')) ++pos_;
  };
  digits_and_underscores();
  bool is_float = false;
  if (peek() == '.' && peek(1) != '.') {
    ++pos_;
    if (!is_digit(peek())) return fail_here("Expected digits after decimal point");
    digits_and_underscores();
    is_float = true;
  }
  if (peek() == 'e' || peek() == 'E') {
    ++pos_;
    if (peek() == '+' || peek() == '-') ++pos_;
    if (!is_digit(peek())) return fail_here("Expected digits in scientific notation exponent");
    while (pos_ < n && is_digit(s[pos_])) ++pos_;
    is_float = true;
  }
  std::string_view text(s + start, pos_ - start);
  if (!is_float) {
    push(TokenKind::Int, line, column).int_value = read_integer(text, 10);
    return true;
  }
  if (text.find('_') != std::string_view::npos) {
    scratch_.clear();
    for (char ch : text) {
      if (ch != '_') scratch_ += ch;
    }
    text = scratch_;
  }
  push(TokenKind::Float, line, column).float_value = read_decimal_double(text);
  return true;
}

void Lexer::lex_word(uint64_t line, uint64_t column) {
  const size_t n = src_.size();
  const char* s = src_.data();
  const size_t start = pos_;
  size_t p = start + 1;
  while (p < n && is_word(static_cast<unsigned char>(s[p]))) ++p;
  pos_ = p;
  std::string_view word(s + start, p - start);
  TokenKind kind;
  if (lookup_keyword(word.data(), word.size(), n - start, kind)) {
    LexedToken& t = push(kind, line, column);
    if (kind == TokenKind::Bool) t.bool_value = word[0] == 't';
  } else {
    push(TokenKind::Identifier, line, column).text = word;
  }
}

bool Lexer::lex_operator(unsigned char c, uint64_t line, uint64_t column) {
  const int a = peek(1), b = peek(2);
  TokenKind kind = TokenKind::Eof;
  size_t len = 1;
  auto pick = [&](TokenKind k, size_t l) {
    kind = k;
    len = l;
  };
  switch (c) {
    case '!': a == '=' ? pick(TokenKind::Neq, 2) : pick(TokenKind::Not, 1); break;
    case '%': a == '=' ? pick(TokenKind::PercentEq, 2) : pick(TokenKind::Percent, 1); break;
    case '&':
      a == '&'   ? pick(TokenKind::And, 2)
      : a == '=' ? pick(TokenKind::AmpEq, 2)
                 : pick(TokenKind::BitwiseAnd, 1);
      break;
    case '*':
      if (a == '*') {
        b == '=' ? pick(TokenKind::PowerEq, 3) : pick(TokenKind::Power, 2);
      } else {
        a == '=' ? pick(TokenKind::StarEq, 2) : pick(TokenKind::Star, 1);
      }
      break;
    case '+':
      a == '+'   ? pick(TokenKind::PlusPlus, 2)
      : a == '=' ? pick(TokenKind::PlusEq, 2)
                 : pick(TokenKind::Plus, 1);
      break;
    case '-':
      a == '='   ? pick(TokenKind::MinusEq, 2)
      : a == '>' ? pick(TokenKind::Arrow, 2)
                 : pick(TokenKind::Minus, 1);
      break;
    case '.':
      if (a == '.') {
        b == '.'   ? pick(TokenKind::Ellipsis, 3)
        : b == '=' ? pick(TokenKind::DotDotEq, 3)
                   : pick(TokenKind::DotDot, 2);
      } else {
        pick(TokenKind::Dot, 1);
      }
      break;
    case ':': a == ':' ? pick(TokenKind::DoubleColon, 2) : pick(TokenKind::Colon, 1); break;
    case '<':
      if (a == '<') {
        b == '=' ? pick(TokenKind::LShiftEq, 3) : pick(TokenKind::LeftShift, 2);
      } else {
        a == '=' ? pick(TokenKind::Lte, 2) : pick(TokenKind::Lt, 1);
      }
      break;
    case '=':
      a == '='   ? pick(TokenKind::Eq, 2)
      : a == '>' ? pick(TokenKind::FatArrow, 2)
                 : pick(TokenKind::Assign, 1);
      break;
    case '>':
      if (a == '>') {
        b == '=' ? pick(TokenKind::RShiftEq, 3) : pick(TokenKind::RightShift, 2);
      } else {
        a == '=' ? pick(TokenKind::Gte, 2) : pick(TokenKind::Gt, 1);
      }
      break;
    case '?':
      if (a == '.') {
        pick(TokenKind::QuestionDot, 2);
      } else if (a == '?') {
        b == '=' ? pick(TokenKind::NullishEq, 3) : pick(TokenKind::Nullish, 2);
      } else {
        pick(TokenKind::Question, 1);
      }
      break;
    case '^': a == '=' ? pick(TokenKind::CaretEq, 2) : pick(TokenKind::BitwiseXor, 1); break;
    case '|':
      a == '='   ? pick(TokenKind::PipeEq, 2)
      : a == '>' ? pick(TokenKind::PipeGt, 2)
      : a == '|' ? pick(TokenKind::Or, 2)
                 : pick(TokenKind::BitwiseOr, 1);
      break;
    case '(': pick(TokenKind::LeftParen, 1); break;
    case ')': pick(TokenKind::RightParen, 1); break;
    case '{': pick(TokenKind::LeftBrace, 1); break;
    case '}': pick(TokenKind::RightBrace, 1); break;
    case '[': pick(TokenKind::LeftBracket, 1); break;
    case ']': pick(TokenKind::RightBracket, 1); break;
    case ',': pick(TokenKind::Comma, 1); break;
    case ';': pick(TokenKind::Semicolon, 1); break;
    case '@': pick(TokenKind::At, 1); break;
    case '~': pick(TokenKind::BitwiseNot, 1); break;
    default: return fail(unexpected_character(c));
  }
  pos_ += len;
  push(kind, line, column);
  return true;
}

}  // namespace tarnwick
