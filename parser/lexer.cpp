// The lexer: source text (made valid UTF-8 first) to tokens, with the one error message a bad character,
// number or string gives.
#include "parser/lexer.h"

#include <array>
#include <cassert>
#include <charconv>
#include <cstring>
#include <limits>
#include <utility>

namespace tarnwick {

namespace {

constexpr std::string_view kEmDashNewline = " \u2014 newline inside string";
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// kBodyStop: the bytes an f-string body cannot take verbatim or that may end it.
enum CharClass : uint8_t { kWord = 1, kHex = 2, kBlank = 4, kBodyStop = 8 };

constexpr std::array<uint8_t, 256> make_classes() {
  std::array<uint8_t, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] = kWord | kHex;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = kWord;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = kWord;
  for (int c = 'a'; c <= 'f'; ++c) t[c] |= kHex;
  for (int c = 'A'; c <= 'F'; ++c) t[c] |= kHex;
  t['_'] = kWord;
  t[' '] = t['\t'] = t['\r'] = kBlank;
  for (unsigned char c : {'"', '\'', '\\', '\n', '{', '}'}) t[c] = kBodyStop;
  return t;
}
constexpr std::array<uint8_t, 256> kClass = make_classes();

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

// What the main loop does with a byte that starts a token (or a blank, a comment or a dropped character).
enum Start : uint8_t {
  kStartBad,  // an unexpected character
  kStartNewline, kStartBlank, kStartQuote, kStartHash, kStartSlash, kStartZero, kStartDigit, kStartDollar,
  kStartPrefix,  // f, F, r, R: a word, or an f-string or raw string when a quote follows
  kStartWord, kStartBang, kStartPercent, kStartCaret, kStartColon, kStartAmp, kStartStar, kStartPlus,
  kStartMinus, kStartDot, kStartLt, kStartGt, kStartEq, kStartQuestion, kStartPipe,
  kStartSingle,  // a one-character token that no longer spelling begins with
  kStartHigh,    // the lead byte of a non-ASCII code point
  kStartCount,
};

struct StartTable {
  std::array<uint8_t, 256> start{};
  std::array<TokenKind, 256> single{};
};

constexpr StartTable make_start_table() {
  StartTable t;
  for (int c = 0; c < 256; ++c) {
    t.start[c] = c >= 0x80 ? kStartHigh : (kClass[c] & kWord) ? kStartWord : kStartBad;
    t.single[c] = TokenKind::Eof;
  }
  for (int c = '1'; c <= '9'; ++c) t.start[c] = kStartDigit;
  t.start['0'] = kStartZero;
  t.start['f'] = t.start['F'] = t.start['r'] = t.start['R'] = kStartPrefix;
  t.start['\n'] = kStartNewline;
  t.start[' '] = t.start['\t'] = t.start['\r'] = kStartBlank;
  t.start['"'] = t.start['\''] = kStartQuote;
  t.start['#'] = kStartHash;
  t.start['/'] = kStartSlash;
  t.start['$'] = kStartDollar;
  t.start['!'] = kStartBang;
  t.start['%'] = kStartPercent;
  t.start['^'] = kStartCaret;
  t.start[':'] = kStartColon;
  t.start['&'] = kStartAmp;
  t.start['*'] = kStartStar;
  t.start['+'] = kStartPlus;
  t.start['-'] = kStartMinus;
  t.start['.'] = kStartDot;
  t.start['<'] = kStartLt;
  t.start['>'] = kStartGt;
  t.start['='] = kStartEq;
  t.start['?'] = kStartQuestion;
  t.start['|'] = kStartPipe;
  const std::pair<char, TokenKind> singles[] = {
      {'(', TokenKind::LeftParen},   {')', TokenKind::RightParen}, {'{', TokenKind::LeftBrace},
      {'}', TokenKind::RightBrace},  {'[', TokenKind::LeftBracket}, {']', TokenKind::RightBracket},
      {',', TokenKind::Comma},       {';', TokenKind::Semicolon},  {'@', TokenKind::At},
      {'~', TokenKind::BitwiseNot}};
  for (const auto& [ch, kind] : singles) {
    t.start[static_cast<unsigned char>(ch)] = kStartSingle;
    t.single[static_cast<unsigned char>(ch)] = kind;
  }
  return t;
}
constexpr StartTable kStart = make_start_table();

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
    if (i + 32 <= in.size()) {
      uint64_t w[4];
      std::memcpy(w, in.data() + i, 32);
      if (((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080ull) == 0) {
        i += 32;
        continue;
      }
    }
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

constexpr Keyword kKeywords[] = {
    {"fn", TokenKind::Fn},           {"if", TokenKind::If},
    {"in", TokenKind::In},           {"or", TokenKind::Or},
    {"is", TokenKind::Is},           {"let", TokenKind::Let},
    {"for", TokenKind::For},         {"nil", TokenKind::Nil},
    {"try", TokenKind::Try},         {"and", TokenKind::And},
    {"not", TokenKind::Not},         {"div", TokenKind::Div},
    {"int", TokenKind::IntType},     {"else", TokenKind::Else},
    {"enum", TokenKind::Enum},       {"case", TokenKind::Case},
    {"true", TokenKind::Bool},       {"null", TokenKind::Null},
    {"bool", TokenKind::BoolType},   {"void", TokenKind::VoidType},
    {"false", TokenKind::Bool},      {"const", TokenKind::Const},
    {"while", TokenKind::While},     {"break", TokenKind::Break},
    {"class", TokenKind::Class},     {"scene", TokenKind::Class},
    {"match", TokenKind::Switch},    {"catch", TokenKind::Catch},
    {"throw", TokenKind::Throw},     {"async", TokenKind::Async},
    {"await", TokenKind::Await},     {"yield", TokenKind::Yield},
    {"float", TokenKind::FloatType}, {"_draw", TokenKind::OnNodeDraw},
    {"return", TokenKind::Return},   {"struct", TokenKind::Struct},
    {"_ready", TokenKind::OnReady},  {"string", TokenKind::StringType},
    {"finally", TokenKind::Finally}, {"on_draw", TokenKind::OnDraw},
    {"on_exit", TokenKind::OnExit},  {"_update", TokenKind::OnNodeUpdate},
    {"continue", TokenKind::Continue}, {"on_start", TokenKind::OnStart},
    {"on_update", TokenKind::OnUpdate},
};

// Keywords are two to nine bytes long; a lookup reads the word's first eight bytes as one little-endian
// integer (zero-padded) and finds its only candidate by a multiplicative hash of that integer. The
// multiplier was picked so that no two keywords share a slot (checked below when the table is built).
constexpr size_t kMinKeyword = 2, kMaxKeyword = 9;
constexpr uint64_t kKeywordHash = 0x05e8645c684cad6dull;
constexpr unsigned kKeywordSlotBits = 7;

constexpr uint64_t pack_word(std::string_view w) {
  uint64_t v = 0;
  for (size_t i = 0; i < w.size() && i < 8; ++i) v |= uint64_t{static_cast<unsigned char>(w[i])} << (8 * i);
  return v;
}

constexpr size_t keyword_slot(uint64_t packed) {
  return static_cast<size_t>((packed * kKeywordHash) >> (64 - kKeywordSlotBits));
}

struct KeywordSlot {
  uint64_t packed = 0;  // 0: no keyword here
  uint8_t len = 0;
  uint8_t last = 0;  // the ninth byte of a nine-byte keyword
  TokenKind kind = TokenKind::Eof;
  bool bool_value = false;
};

struct KeywordTable {
  std::array<KeywordSlot, size_t{1} << kKeywordSlotBits> slots{};
  bool collision = false;
};

constexpr KeywordTable make_keyword_table() {
  KeywordTable t;
  for (const Keyword& k : kKeywords) {
    KeywordSlot& s = t.slots[keyword_slot(pack_word(k.word))];
    if (s.len != 0) t.collision = true;
    s.packed = pack_word(k.word);
    s.len = static_cast<uint8_t>(k.word.size());
    s.last = k.word.size() > 8 ? static_cast<uint8_t>(k.word[8]) : 0;
    s.kind = k.kind;
    s.bool_value = k.word == "true";
  }
  return t;
}

constexpr KeywordTable kKeywordTable = make_keyword_table();
static_assert(!kKeywordTable.collision, "two keywords share a hash slot: pick another multiplier");
static_assert([] {
  for (const Keyword& k : kKeywords) {
    if (k.word.size() < kMinKeyword || k.word.size() > kMaxKeyword) return false;
    if (k.word.size() > 8 && k.word != "on_update") return false;  // the table keeps one ninth byte
  }
  return true;
}());

// The bytes of a word of each keyword length in its first eight bytes read as one integer.
constexpr uint64_t kWordMask[kMaxKeyword + 1] = {
    0, 0xFF, 0xFFFF, 0xFFFFFF, 0xFFFFFFFF, 0xFFFFFFFFFF, 0xFFFFFFFFFFFF, 0xFFFFFFFFFFFFFF, ~uint64_t{0}, ~uint64_t{0}};

// The keyword slot of the word at `word` (`len` bytes, `avail` >= len of them readable), or null.
inline const KeywordSlot* lookup_keyword(const char* word, size_t len, size_t avail) {
  if (len - kMinKeyword > kMaxKeyword - kMinKeyword) return nullptr;
  uint64_t v = 0;
  if (avail >= 8) {
    std::memcpy(&v, word, 8);
    v &= kWordMask[len];
  } else {
    for (size_t i = 0; i < len; ++i) v |= uint64_t{static_cast<unsigned char>(word[i])} << (8 * i);
  }
  const KeywordSlot& s = kKeywordTable.slots[keyword_slot(v)];
  if (s.packed != v || s.len != len) return nullptr;
  if (len > 8 && static_cast<unsigned char>(word[8]) != s.last) return nullptr;
  return &s;
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

bool is_identifier_name(std::string_view name) {
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  if (name.empty() || !letter(name[0])) return false;
  for (char c : name)
    if (!letter(c) && !(c >= '0' && c <= '9')) return false;
  return lookup_keyword(name.data(), name.size(), name.size()) == nullptr;
}

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
  LexedToken* t = out_->room();
  out_->commit(out_->size() + 1);
  *t = LexedToken{};
  t->kind = kind;
  t->line = line;
  t->column = column;
  return *t;
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
  col_base_ += len - 1;
  if (b == '\n') newline_consumed();
  return len;
}

void Lexer::restart() {
  pos_ = 0;
  line_ = 1;
  col_base_ = 0;
  done_ = failed_ = false;
}

namespace {

// The batch tokenize() and finish() lex at a time.
constexpr size_t kBatch = 256;

}  // namespace

Result<std::vector<Token>, LexError> Lexer::tokenize() {
  restart();
  std::vector<Token> tokens;
  // Code has a token every three to six bytes. Over-reserving is cheap: pages of a large block that are
  // never written are never mapped, while a regrowth would copy every token made so far.
  tokens.reserve(src_.size() / 3 + 8);
  // Lexed a window at a time and turned into Tokens as it goes, so the compact form costs no list of its own.
  TokenWindow window;
  window.reserve(run_room(kBatch, 0));
  out_ = &window;
  while (!done_) {
    window.clear();
    run(kBatch);
    for (const LexedToken& t : window) {
      // Built in place: LexedToken::to_token() and a move would copy the record twice more.
      Token& token = tokens.emplace_back();
      token.kind = t.kind;
      token.bool_value = t.bool_value;
      if (t.kind == TokenKind::Float) {
        token.float_value = t.float_value;
      } else {
        token.int_value = t.int_value;
      }
      if (!t.text.empty()) token.text.assign(t.text);
      token.line = t.line;
      token.column = t.column;
    }
  }
  out_ = nullptr;
  if (failed_) return make_err(std::move(error_));
  return tokens;
}

void Lexer::refill(TokenWindow& window, size_t consumed, size_t count) {
  window.drop_front(consumed);
  if (done_) return;
  window.reserve(run_room(count, window.size()));
  out_ = &window;
  run(count);
  if (failed_) push(TokenKind::Eof, line_, column());
  out_ = nullptr;
}

void Lexer::finish() {
  if (done_) return;
  TokenWindow scratch;
  scratch.reserve(run_room(kBatch, 0));
  out_ = &scratch;
  while (!done_) {
    scratch.clear();
    run(kBatch);
  }
  out_ = nullptr;
}

namespace {

// The powers of ten that are exact doubles.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A simple decimal float (digits m up to 2^53, a power of ten within 22 once the point is moved) is
// exactly m * 10^e or m / 10^-e with both operands exact doubles, so one correctly rounded operation gives
// the correctly rounded value, the same that reading the text gives. False when the text is not that
// simple. `text` has no '_' and the shape lex_decimal checked.
bool simple_decimal_double(std::string_view text, double& out) {
  const char* p = text.data();
  const char* const end = p + text.size();
  uint64_t mant = 0;
  int digits = 0, scale = 0;
  for (; p < end; ++p) {
    unsigned d = static_cast<unsigned char>(*p) - '0';
    if (d < 10) {
      mant = mant * 10 + d;
      digits += mant != 0;
      continue;
    }
    if (*p != '.') break;
    for (++p; p < end; ++p) {
      d = static_cast<unsigned char>(*p) - '0';
      if (d >= 10) break;
      mant = mant * 10 + d;
      digits += mant != 0;
      --scale;
    }
    break;
  }
  if (digits > 18) return false;  // 18 digits always fit; 2^53 is checked below
  if (p < end) {  // the exponent: 'e' or 'E', an optional sign, then digits
    ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    int exp = 0;
    for (; p < end; ++p) {
      if (exp > 1000) return false;
      exp = exp * 10 + (*p - '0');
    }
    scale += negative ? -exp : exp;
  }
  if (mant == 0) {
    out = 0.0;
    return true;
  }
  if (mant > (uint64_t{1} << 53) || scale < -22 || scale > 22) return false;
  double m = static_cast<double>(mant);
  out = scale >= 0 ? m * kPow10[scale] : m / kPow10[-scale];
  return true;
}

}  // namespace

// The main loop keeps the position, the line and the column base in locals and writes tokens straight into
// the window; rare tokens (strings but the plainest, comments, prefixed integers, floats) go to member
// functions that work on the members, with the locals stored before and reloaded after.
void Lexer::run(size_t limit) {
  const char* const s = src_.data();
  const char* const end = s + src_.size();
  // Below wide_end eight bytes can be read at once.
  const char* const wide_end = src_.size() >= 8 ? end - 7 : s;
  const char* p = s + pos_;
  const char* cb = s + col_base_;  // the column of p is p - cb + 1
  uint64_t line = line_;
  TokenWindow& window = *out_;
  assert(window.capacity() >= run_room(limit, window.size()));
  LexedToken* const first = window.slots();
  LexedToken* out = window.room();
  // Every token takes at least a byte, so the rest of the source never needs more than run_room().
  LexedToken* const out_end = first + std::min(std::max(limit, window.size()), window.size() + src_.size() - pos_);

  auto column_of = [&](const char* at) { return static_cast<uint64_t>(at - cb) + 1; };
  // A token starting at `at` on the current line, with no payload yet.
  auto put = [&](TokenKind kind, const char* at) -> LexedToken* {
    LexedToken* t = out++;
    t->kind = kind;
    t->bool_value = false;
    t->int_value = 0;
    t->text = {};
    t->line = line;
    t->column = column_of(at);
    return t;
  };
  auto store = [&] {
    pos_ = static_cast<size_t>(p - s);
    col_base_ = static_cast<size_t>(cb - s);
    line_ = line;
    window.commit(static_cast<size_t>(out - first));
  };
  auto load = [&] {
    p = s + pos_;
    cb = s + col_base_;
    line = line_;
    out = window.room();
  };
  // The byte `k` places after the current one, or -1 past the end.
  auto at = [&](size_t k) -> int {
    return k < static_cast<size_t>(end - p) ? static_cast<unsigned char>(p[k]) : -1;
  };
  auto is_word = [](char ch) { return (kClass[static_cast<unsigned char>(ch)] & kWord) != 0; };
  auto quote_next = [&] {
    int a = at(1);
    return a == '"' || a == '\'';
  };

  // In the order of Start.
  static const void* const kTargets[kStartCount] = {
      &&bad,    &&newline, &&blank, &&quote,   &&hash,    &&slash, &&zero,  &&digit, &&dollar,
      &&prefix, &&word,    &&bang,  &&percent, &&caret,   &&colon, &&amp,   &&star,  &&plus,
      &&minus,  &&dot,     &&lt,    &&gt,      &&eq,      &&question, &&pipe, &&single, &&high};

  bool ok = true;
  unsigned char c;
  TokenKind kind;
  size_t len;
  int a;

next_token:
  if (out >= out_end) goto stop;
skip:
  // Spaces are skipped eight bytes at a time while eight bytes are left; tabs, carriage returns and the
  // last few bytes take the slower way through `blank`.
  if (p < wide_end) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    w ^= 0x2020202020202020ull;
    if (w == 0) {
      p += 8;
      goto skip;
    }
    p += static_cast<unsigned>(__builtin_ctzll(w)) >> 3;
  } else if (p >= end) {
    goto stop;
  }
  c = static_cast<unsigned char>(*p);
  goto* kTargets[kStart.start[c]];

newline:
  ++line;
  cb = ++p;
  goto skip;

blank:
  ++p;
  while (p < end && (kClass[static_cast<unsigned char>(*p)] & kBlank)) ++p;
  goto skip;

quote: {
  if (at(1) == c && at(2) == c) {
    store();
    ok = lex_triple_string(c, line, column_of(p));
    goto slow_done;
  }
  // A string without escapes is its own text: the token views the source.
  const char* q = p + 1;
  const char* qcb = cb;
  for (; q < end; ++q) {
    unsigned char b = static_cast<unsigned char>(*q);
    if (b == c || b == '\\' || b == '\n') break;
    qcb += (b & 0xC0) == 0x80;
  }
  if (q < end && static_cast<unsigned char>(*q) == c) {
    put(TokenKind::String, p)->text = std::string_view(p + 1, static_cast<size_t>(q - p - 1));
    p = q + 1;
    cb = qcb;
    goto next_token;
  }
  store();
  ok = lex_string(c, line, column_of(p));
  goto slow_done;
}

hash: {
  const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p));
  if (nl != nullptr) {
    p = static_cast<const char*>(nl);  // the line break resets the column: no need to count
    goto skip;
  }
  for (; p < end; ++p) cb += (static_cast<unsigned char>(*p) & 0xC0) == 0x80;
  goto skip;
}

slash:
  a = at(1);
  if (a == '*') {
    store();
    ok = skip_block_comment(line, column_of(p));
    goto slow_done;
  }
  if (a == '/') {
    if (at(2) == '/') {
      store();
      skip_line_comment();
      goto slow_done;
    }
    kind = TokenKind::SlashSlash;
    len = 2;
  } else if (a == '=') {
    kind = TokenKind::SlashEq;
    len = 2;
  } else {
    kind = TokenKind::Slash;
    len = 1;
  }
  goto op;

zero:
  a = at(1) | 0x20;
  if (a == 'x' || a == 'b' || a == 'o') {
    store();
    ok = lex_prefixed_int(line, column_of(p));
    goto slow_done;
  }
  goto digit;

digit: {
  // An integer is read while it is scanned. A plain fraction (no '_', no exponent, few digits) is read
  // here too; anything else with a '.' or an exponent is left to lex_decimal.
  const char* const start = p;
  uint64_t acc = c - '0';
  bool underscore = false;
  for (++p; p < end; ++p) {
    unsigned d = static_cast<unsigned char>(*p) - '0';
    if (d < 10) {
      acc = acc * 10 + d;
    } else if (*p == '_') {
      underscore = true;
    } else {
      break;
    }
  }
  if (p < end && (*p == '.' ? at(1) != '.' : (*p | 0x20) == 'e')) {
    if (*p == '.' && !underscore) {
      const char* q = p + 1;
      uint64_t mant = acc;
      for (; q < end; ++q) {
        unsigned d = static_cast<unsigned char>(*q) - '0';
        if (d >= 10) break;
        mant = mant * 10 + d;
      }
      // q - start - 1 digits in all: up to 18 the sum is exact, and up to 2^53 so is the double.
      size_t frac = static_cast<size_t>(q - p - 1);
      if (frac != 0 && q - start <= 19 && mant <= (uint64_t{1} << 53) &&
          !(q < end && (*q == '_' || (*q | 0x20) == 'e'))) {
        put(TokenKind::Float, start)->float_value = static_cast<double>(mant) / kPow10[frac];
        p = q;
        goto next_token;
      }
    }
    p = start;
    store();
    ok = lex_decimal(line, column_of(p));
    goto slow_done;
  }
  // Up to 18 digits the sum cannot overflow; a longer text is read again with the range check.
  if (p - start > 18) acc = static_cast<uint64_t>(read_integer(std::string_view(start, static_cast<size_t>(p - start)), 10));
  put(TokenKind::Int, start)->int_value = static_cast<int64_t>(acc);
  goto next_token;
}

dollar:
  if (quote_next()) {
    store();
    ok = lex_fstring(line, column_of(p));
    goto slow_done;
  }
  ++p;  // a stray '$' is dropped
  goto skip;

prefix:
  if (quote_next()) {
    store();
    ok = (c | 0x20) == 'f' ? lex_fstring(line, column_of(p)) : lex_raw_string(line, column_of(p));
    goto slow_done;
  }
  goto word;

word: {
  const char* const start = p;
  ++p;
  // Four bytes a step while eight are left, then one at a time.
  for (;;) {
    if (p >= wide_end) {
      while (p < end && is_word(*p)) ++p;
      break;
    }
    if (!is_word(p[0])) break;
    if (!is_word(p[1])) {
      p += 1;
      break;
    }
    if (!is_word(p[2])) {
      p += 2;
      break;
    }
    if (!is_word(p[3])) {
      p += 3;
      break;
    }
    p += 4;
  }
  size_t n = static_cast<size_t>(p - start);
  if (const KeywordSlot* k = lookup_keyword(start, n, static_cast<size_t>(end - start))) {
    put(k->kind, start)->bool_value = k->bool_value;
  } else {
    put(TokenKind::Identifier, start)->text = std::string_view(start, n);
  }
  goto next_token;
}

bang:
  kind = at(1) == '=' ? (len = 2, TokenKind::Neq) : (len = 1, TokenKind::Not);
  goto op;
percent:
  kind = at(1) == '=' ? (len = 2, TokenKind::PercentEq) : (len = 1, TokenKind::Percent);
  goto op;
caret:
  kind = at(1) == '=' ? (len = 2, TokenKind::CaretEq) : (len = 1, TokenKind::BitwiseXor);
  goto op;
colon:
  kind = at(1) == ':' ? (len = 2, TokenKind::DoubleColon) : (len = 1, TokenKind::Colon);
  goto op;
amp:
  a = at(1);
  kind = a == '&'   ? (len = 2, TokenKind::And)
         : a == '=' ? (len = 2, TokenKind::AmpEq)
                    : (len = 1, TokenKind::BitwiseAnd);
  goto op;
star:
  a = at(1);
  if (a == '*') {
    kind = at(2) == '=' ? (len = 3, TokenKind::PowerEq) : (len = 2, TokenKind::Power);
  } else {
    kind = a == '=' ? (len = 2, TokenKind::StarEq) : (len = 1, TokenKind::Star);
  }
  goto op;
plus:
  a = at(1);
  kind = a == '+'   ? (len = 2, TokenKind::PlusPlus)
         : a == '=' ? (len = 2, TokenKind::PlusEq)
                    : (len = 1, TokenKind::Plus);
  goto op;
minus:
  a = at(1);
  kind = a == '='   ? (len = 2, TokenKind::MinusEq)
         : a == '>' ? (len = 2, TokenKind::Arrow)
                    : (len = 1, TokenKind::Minus);
  goto op;
dot:
  if (at(1) == '.') {
    a = at(2);
    kind = a == '.'   ? (len = 3, TokenKind::Ellipsis)
           : a == '=' ? (len = 3, TokenKind::DotDotEq)
                      : (len = 2, TokenKind::DotDot);
  } else {
    kind = TokenKind::Dot;
    len = 1;
  }
  goto op;
lt:
  a = at(1);
  if (a == '<') {
    kind = at(2) == '=' ? (len = 3, TokenKind::LShiftEq) : (len = 2, TokenKind::LeftShift);
  } else {
    kind = a == '=' ? (len = 2, TokenKind::Lte) : (len = 1, TokenKind::Lt);
  }
  goto op;
gt:
  a = at(1);
  if (a == '>') {
    kind = at(2) == '=' ? (len = 3, TokenKind::RShiftEq) : (len = 2, TokenKind::RightShift);
  } else {
    kind = a == '=' ? (len = 2, TokenKind::Gte) : (len = 1, TokenKind::Gt);
  }
  goto op;
eq:
  a = at(1);
  kind = a == '='   ? (len = 2, TokenKind::Eq)
         : a == '>' ? (len = 2, TokenKind::FatArrow)
                    : (len = 1, TokenKind::Assign);
  goto op;
question:
  a = at(1);
  if (a == '.') {
    kind = TokenKind::QuestionDot;
    len = 2;
  } else if (a == '?') {
    kind = at(2) == '=' ? (len = 3, TokenKind::NullishEq) : (len = 2, TokenKind::Nullish);
  } else {
    kind = TokenKind::Question;
    len = 1;
  }
  goto op;
pipe:
  a = at(1);
  kind = a == '='   ? (len = 2, TokenKind::PipeEq)
         : a == '>' ? (len = 2, TokenKind::PipeGt)
         : a == '|' ? (len = 2, TokenKind::Or)
                    : (len = 1, TokenKind::BitwiseOr);
  goto op;
single:
  kind = kStart.single[c];
  len = 1;
  goto op;

high: {
  // Non-ASCII outside strings and comments is ignored (the source is well-formed UTF-8).
  size_t n = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  p += n;
  cb += n - 1;
  goto skip;
}

bad:
  store();
  ok = fail(unexpected_character(c));
  goto slow_done;

op:
  put(kind, p);
  p += len;
  goto next_token;

slow_done:
  if (!ok) {
    failed_ = done_ = true;
    return;
  }
  load();
  goto next_token;

stop:
  store();
  if (p >= end) {
    push(TokenKind::Eof, line, column_of(p));
    done_ = true;
  }
}

void Lexer::skip_line_comment() {
  const char* s = src_.data();
  const void* nl = std::memchr(s + pos_, '\n', src_.size() - pos_);
  size_t end = nl ? static_cast<size_t>(static_cast<const char*>(nl) - s) : src_.size();
  for (size_t i = pos_; i < end; ++i) col_base_ += (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80;
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
      col_base_ += (static_cast<unsigned char>(c) & 0xC0) == 0x80;
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
      col_base_ += (b & 0xC0) == 0x80;
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
      col_base_ += (b & 0xC0) == 0x80;
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
    col_base_ += (b & 0xC0) == 0x80;
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
  {
    // A body without escapes and doubled braces is its own text: the token views the source. Anything
    // else (or an error) is left to the loop below, from the start of the body.
    size_t q = pos_, cont = 0;
    uint64_t depth = 0;
    for (; q < n; ++q) {
      unsigned char b = static_cast<unsigned char>(s[q]);
      if (!(kClass[b] & kBodyStop)) {
        cont += (b & 0xC0) == 0x80;
        continue;
      }
      if (b == quote && depth == 0) {
        push(TokenKind::FString, line, column).text = std::string_view(s + pos_, q - pos_);
        pos_ = q + 1;
        col_base_ += cont;
        return true;
      }
      if (b == '\\' || b == '\n') break;
      if (b == '{') {
        if (depth == 0 && q + 1 < n && s[q + 1] == '{') break;
        ++depth;
      } else if (b == '}') {
        if (depth == 0 && q + 1 < n && s[q + 1] == '}') break;
        if (depth > 0) --depth;
      }
    }
  }
  uint64_t depth = 0;
  std::string text;
  for (;;) {
    size_t start = pos_;
    while (pos_ < n) {
      unsigned char b = static_cast<unsigned char>(s[pos_]);
      if (b == quote || b == '\\' || b == '\n' || b == '{' || b == '}') break;
      col_base_ += (b & 0xC0) == 0x80;
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
  double value;
  if (!simple_decimal_double(text, value)) value = read_decimal_double(text);
  push(TokenKind::Float, line, column).float_value = value;
  return true;
}

}  // namespace tarnwick
