// The eighteen builtin functions. None of them fails a call: odd arguments give documented defaults. The
// one exception is a request for more memory than the machine has (range over billions of ints).
#include <cerrno>
#include <algorithm>
#include <cctype>
#include <clocale>
#include <cmath>
#include <cstring>
#include <ctime>
#include <locale.h>
#include <unordered_map>

#include <unistd.h>

#include "vm_engine/limits.h"
#include "vm_engine/pool.h"
#include "vm_engine/vm.h"
#include "vm_engine/text_join.h"
#include "vm_engine/vm_internal.h"

namespace tarnwick {

namespace detail {

const char kOutOfMemory[] = "Out of memory";

bool fits_in_memory(uint64_t bytes) { return value_fits(bytes) && account_allows(bytes); }

const ValueRef& range_marker() {
  static const ValueRef* marker = new ValueRef(ValueRef::native("<range>"));
  return *marker;
}

}  // namespace detail

namespace {

// Long work inside one builtin asks the poll hook after every this many (plus one) steps.
constexpr uint64_t kWorkSlice = (uint64_t{1} << 20) - 1;

enum Builtin {
  kPrint, kClock, kStr, kInt, kFloat, kLen, kRange, kTypeof, kInput, kSqrt, kAbs, kMin, kMax, kPow, kRound,
  kRand, kCos, kSin, kBuiltinCount
};
static_assert(kLen == detail::kBuiltinLen && kSqrt == detail::kBuiltinSqrt && kCos == detail::kBuiltinCos &&
              kSin == detail::kBuiltinSin);

// The double of an Int or Float; `fallback` for anything else.
double number_or(const ValueRef& v, double fallback) { return v.is_number() ? v.number_as_double() : fallback; }

// Text to int: optional sign, decimal digits, nothing else; 0 when it does not parse or overflows.
int64_t parse_int(std::string_view s) {
  size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  if (i == s.size()) return 0;
  int64_t acc = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return 0;
    int digit = s[i] - '0';
    // Accumulate negatively so that the most negative int parses.
    if (__builtin_mul_overflow(acc, 10, &acc) || __builtin_sub_overflow(acc, digit, &acc)) return 0;
  }
  if (neg) return acc;
  if (acc == INT64_MIN) return 0;
  return -acc;
}

bool iequals(std::string_view a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  return true;
}

// Text to float: [sign] (digits [. [digits]] | . digits) [(e|E) [sign] digits], or inf, infinity, nan in any
// letter case after an optional sign. 0.0 when it does not parse.
double parse_float(std::string_view s) {
  size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  std::string_view rest = s.substr(i);
  if (iequals(rest, "inf") || iequals(rest, "infinity")) return neg ? -HUGE_VAL : HUGE_VAL;
  if (iequals(rest, "nan")) return neg ? -std::nan("") : std::nan("");
  size_t j = i, int_digits = 0, frac_digits = 0;
  while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j, ++int_digits;
  if (j < s.size() && s[j] == '.') {
    ++j;
    while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return 0.0;
  if (j < s.size() && (s[j] == 'e' || s[j] == 'E')) {
    ++j;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    size_t exp_digits = 0;
    while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j, ++exp_digits;
    if (exp_digits == 0) return 0.0;
  }
  if (j != s.size()) return 0.0;
  // Validated above, so the C library's reader (in the "C" locale) sees only well-formed text.
  static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  std::string text(s);
  return strtod_l(text.c_str(), nullptr, c_locale);
}

// 10 to an integer power by repeated squaring (the same sequence of roundings as the usual powi).
double powi(double base, int32_t exp) {
  bool recip = exp < 0;
  int64_t e = exp;
  if (e < 0) e = -e;
  double r = 1.0;
  for (;;) {
    if (e & 1) r *= base;
    e /= 2;
    if (e == 0) break;
    base *= base;
  }
  return recip ? 1.0 / r : r;
}

// A uniform double in [0, 1) from the wall clock alone: nanoseconds since the epoch, xorshift-mixed over
// 128 bits; the top 53 of the low 64 bits become the fraction.
double clock_unit() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  unsigned __int128 t = 0;
  if (ts.tv_sec >= 0) t = static_cast<unsigned __int128>(ts.tv_sec) * 1000000000u + static_cast<unsigned>(ts.tv_nsec);
  unsigned __int128 x = t ^ (t >> 12);
  x ^= x << 25;
  x ^= x >> 27;
  uint64_t low = static_cast<uint64_t>(x);
  return static_cast<double>(low >> 11) * 0x1.0p-53;
}

void write_all(std::FILE* out, const std::string& text) {
  if (!text.empty()) (void)std::fwrite(text.data(), 1, text.size(), out);
}

}  // namespace

const std::vector<std::string>& builtin_names() {
  static const std::vector<std::string> names = {"print", "clock", "str",   "int", "float", "len",
                                                 "range", "typeof", "input", "sqrt", "abs",  "min",
                                                 "max",   "pow",   "round", "rand", "cos",  "sin"};
  return names;
}

int detail::builtin_index(const std::string& name) {
  static const std::unordered_map<std::string, int> index = [] {
    std::unordered_map<std::string, int> m;
    const auto& names = builtin_names();
    for (size_t i = 0; i < names.size(); ++i) m.emplace(names[i], static_cast<int>(i));
    return m;
  }();
  auto it = index.find(name);
  return it == index.end() ? -1 : it->second;
}

static_assert(kPrint == detail::kBuiltinPrint && kInput == detail::kBuiltinInput);

bool VM::poll_within(std::string& err) {
  if (poll_fn_ == nullptr) return true;
  auto stop = poll_fn_(poll_ctx_);
  if (!stop) return true;
  interrupted_ = true;
  err = std::move(*stop);
  return false;
}

bool VM::call_builtin(int which, const ValueRef* args, size_t argc, ValueRef& out, std::string& err) {
  static const ValueRef kMissing;
  auto arg = [&](size_t i) -> const ValueRef& { return i < argc ? args[i] : kMissing; };
  const ValueRef& a = arg(0);
  const ValueRef& b = arg(1);
  switch (which) {
    case kPrint: {
      std::string line;
      for (size_t i = 0; i < argc; ++i) line += to_display(args[i]);
      line += '\n';
      out = ValueRef();
      if (io_ != nullptr) {
        CalloutScope callout(*this);
        if (auto failed = io_->write(line)) {
          err = std::move(*failed);
          return false;
        }
        return true;
      }
      std::lock_guard<std::mutex> lock(stdout_lock());
      write_all(out_, line);
      std::fflush(out_);
      out = ValueRef();
      return true;
    }
    case kClock: {
      struct timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      out = ValueRef::floating(ts.tv_sec < 0 ? 0.0 : static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
      return true;
    }
    case kStr:
      // A string is its own text (strings are values: sharing the handle is the same as a copy).
      if (a.kind() == ValueKind::String) {
        out = a;
      } else if (a.kind() == ValueKind::Int) {
        char* at;
        out = ValueRef::string_for_writing(int_text_size(a.as_int()), at);
        write_int_text(at, a.as_int());
      } else {
        out = ValueRef::string(to_text(a));
      }
      return true;
    case kInt: {
      int64_t r = 0;
      switch (a.kind()) {
        case ValueKind::Bool: r = a.as_bool() ? 1 : 0; break;
        case ValueKind::Int: r = a.as_int(); break;
        case ValueKind::Float: {
          double d = a.as_float();
          if (std::isnan(d)) r = 0;
          else if (d >= 9223372036854775807.0) r = INT64_MAX;
          else if (d <= -9223372036854775808.0) r = INT64_MIN;
          else r = static_cast<int64_t>(d);
          break;
        }
        case ValueKind::String: r = parse_int(a.as_string()); break;
        default: break;
      }
      out = ValueRef::integer(r);
      return true;
    }
    case kFloat: {
      double r = 0.0;
      switch (a.kind()) {
        case ValueKind::Bool: r = a.as_bool() ? 1.0 : 0.0; break;
        case ValueKind::Int: r = static_cast<double>(a.as_int()); break;
        case ValueKind::Float: r = a.as_float(); break;
        case ValueKind::String: r = parse_float(a.as_string()); break;
        default: break;
      }
      out = ValueRef::floating(r);
      return true;
    }
    case kLen: {
      int64_t n = 0;
      if (a.kind() == ValueKind::String) n = static_cast<int64_t>(a.as_string().size());
      else if (a.kind() == ValueKind::Array) n = static_cast<int64_t>(a.as_array().size());
      else if (a.kind() == ValueKind::Object) n = static_cast<int64_t>(a.as_object().size());
      out = ValueRef::integer(n);
      return true;
    }
    case kRange: {
      int64_t start = a.is_int() ? a.as_int() : 0;
      int64_t end = argc >= 2 && b.is_int() ? b.as_int() : 0;
      std::vector<ValueRef> items;
      if (start < end) {
        uint64_t count = static_cast<uint64_t>(end) - static_cast<uint64_t>(start);
        if (count > UINT64_MAX / sizeof(ValueRef) || !detail::fits_in_memory(count * sizeof(ValueRef))) {
          err = detail::kOutOfMemory;
          return false;
        }
        items.reserve(count);
        detail::prefer_huge_pages(items.data(), count * sizeof(ValueRef));
        for (uint64_t i = 0; i < count; ++i) {
          // A range of many millions takes a while: the host gets asked, as at a loop's back edge.
          if ((i & kWorkSlice) == kWorkSlice && !poll_within(err)) return false;
          items.push_back(ValueRef::integer(static_cast<int64_t>(static_cast<uint64_t>(start) + i)));
        }
      }
      out = ValueRef::array(std::move(items));
      return true;
    }
    case kTypeof: out = ValueRef::string(type_name(a)); return true;
    case kInput: {
      if (io_ != nullptr) {
        std::optional<std::string> prompt = argc >= 1 ? std::optional<std::string>(to_display(a)) : std::nullopt;
        CalloutScope callout(*this);
        auto answer = io_->read_line(prompt);
        if (!answer.ok()) {
          err = std::move(answer.error());
          return false;
        }
        out = std::move(answer.value());
        return true;
      }
      if (argc >= 1) {
        std::string prompt = to_display(a);
        std::lock_guard<std::mutex> lock(stdout_lock());
        write_all(out_, prompt);
        std::fflush(out_);
      }
      std::string line;
      for (;;) {
        int c;
        errno = 0;
        while ((c = std::fgetc(in_)) != EOF) {
          if (c == '\n') break;
          if (!detail::fits_in_memory(line.size() + 1)) {
            err = detail::kOutOfMemory;
            return false;
          }
          line.push_back(static_cast<char>(c));
        }
        // A signal interrupted the read (Ctrl-C): the host decides whether the run goes on; if it does,
        // the read goes on too.
        if (c == EOF && std::ferror(in_) && errno == EINTR) {
          std::clearerr(in_);
          if (!poll_within(err)) return false;
          continue;
        }
        break;
      }
      // The end of input is an empty answer; only a stream that cannot be read gives none.
      if (std::ferror(in_)) {
        std::clearerr(in_);
        out = ValueRef();
        return true;
      }
      while (!line.empty() && line.back() == '\n') line.pop_back();
      while (!line.empty() && line.back() == '\r') line.pop_back();
      out = ValueRef::string(std::move(line));
      return true;
    }
    case kSqrt: out = ValueRef::floating(a.is_number() ? std::sqrt(a.number_as_double()) : 0.0); return true;
    case kAbs:
      if (a.is_int()) out = ValueRef::integer(a.as_int() < 0 ? static_cast<int64_t>(0ull - static_cast<uint64_t>(a.as_int())) : a.as_int());
      else if (a.is_float()) out = ValueRef::floating(std::fabs(a.as_float()));
      else out = a;
      return true;
    case kMin:
    case kMax: {
      bool is_min = which == kMin;
      if (a.is_int() && b.is_int()) {
        out = ValueRef::integer(is_min ? std::min(a.as_int(), b.as_int()) : std::max(a.as_int(), b.as_int()));
      } else if (a.is_float() && b.is_float()) {
        double x = a.as_float(), y = b.as_float();
        out = ValueRef::floating(is_min ? (y <= x ? y : x) : (x <= y ? y : x));
      } else if (a.is_number() && b.is_number()) {
        // One int, one float: the int wins ties, so a NaN float is what comes back.
        double i = a.is_int() ? a.number_as_double() : b.number_as_double();
        double f = a.is_float() ? a.as_float() : b.as_float();
        out = ValueRef::floating(is_min ? (i <= f ? i : f) : (i >= f ? i : f));
      } else if (a.kind() == ValueKind::String && b.kind() == ValueKind::String) {
        bool first = is_min ? a.as_string() < b.as_string() : a.as_string() > b.as_string();
        out = ValueRef::string(first ? a.as_string() : b.as_string());
      } else {
        out = ValueRef();
      }
      return true;
    }
    case kPow: out = ValueRef::floating(std::pow(number_or(a, 0.0), number_or(b, 0.0))); return true;
    case kRound: {
      if (argc >= 2 && b.is_int()) {
        double m = powi(10.0, static_cast<int32_t>(b.as_int()));
        out = ValueRef::floating(a.is_number() ? std::round(a.number_as_double() * m) / m : 0.0);
      } else if (a.is_int()) {
        out = ValueRef::floating(static_cast<double>(a.as_int()));
      } else if (a.is_float()) {
        out = ValueRef::floating(std::round(a.as_float()));
      } else {
        out = ValueRef::floating(0.0);
      }
      return true;
    }
    case kRand: {
      double r = clock_unit();
      if (argc == 0) out = ValueRef::floating(r);
      else if (argc == 1) out = ValueRef::floating(r * number_or(a, 1.0));
      else {
        double lo = number_or(a, 0.0), hi = number_or(b, 1.0);
        out = ValueRef::floating(lo + r * (hi - lo));
      }
      return true;
    }
    case kCos: out = ValueRef::floating(a.is_number() ? std::cos(a.number_as_double()) : 0.0); return true;
    case kSin: out = ValueRef::floating(a.is_number() ? std::sin(a.number_as_double()) : 0.0); return true;
    default: out = ValueRef(); return true;
  }
}

}  // namespace tarnwick
