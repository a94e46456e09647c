// Runs every script of the corpus through the one entry every host uses and compares what it printed and
// how it ended with the expectations written in the script.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "parser/runtime.h"
#include "tests/cpp/script_corpus.h"

namespace tarnwick::testing {

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The text after a marker, without the one space that separates it.
std::string after(const std::string& line, size_t at, size_t marker_size) {
  std::string rest = line.substr(at + marker_size);
  return !rest.empty() && rest[0] == ' ' ? rest.substr(1) : rest;
}

CorpusScript parse(const fs::path& path, const std::string& name) {
  static const std::string kPrinted = "# expect:";
  static const std::string kError = "# expect-error:";
  CorpusScript s{name, path.string(), read_file(path), "", ""};
  std::istringstream lines(s.source);
  for (std::string line; std::getline(lines, line);) {
    if (size_t at = line.find(kError); at != std::string::npos) {
      s.error = after(line, at, kError.size());
    } else if (size_t at = line.find(kPrinted); at != std::string::npos) {
      s.printed += after(line, at, kPrinted.size()) + "\n";
    }
  }
  fs::path expected = fs::path(path).replace_extension(".expected");
  if (fs::exists(expected)) s.printed = read_file(expected);
  return s;
}

std::string test_name(const fs::path& relative) {
  std::string name = relative.parent_path().string() + "_" + relative.stem().string();
  std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
  return name;
}

// print's lines, kept in order; input() gets no answer.
struct CapturedIO final : HostIO {
  std::string printed;
  std::optional<std::string> write(std::string_view text) override {
    printed.append(text);
    return std::nullopt;
  }
  Result<ValueRef, std::string> read_line(const std::optional<std::string>&) override { return ValueRef(); }
};

}  // namespace

std::vector<CorpusScript> corpus_scripts() {
  const fs::path root(TARNWICK_SOURCE_DIR);
  std::vector<fs::path> paths;
  for (const auto& entry : fs::recursive_directory_iterator(root / "tests" / "scripts"))
    if (entry.path().extension() == ".tw") paths.push_back(entry.path());
  for (const auto& entry : fs::directory_iterator(root / "examples"))
    if (entry.path().extension() == ".tw") paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  std::vector<CorpusScript> out;
  for (const auto& p : paths) {
    fs::path relative = fs::relative(p, root);
    if (*relative.begin() == "tests") relative = fs::relative(p, root / "tests" / "scripts");
    out.push_back(parse(p, test_name(relative)));
  }
  return out;
}

// A failing script is named by its path.
void PrintTo(const CorpusScript& script, std::ostream* os) { *os << script.path; }

namespace {

class Scripts : public ::testing::TestWithParam<CorpusScript> {};

TEST_P(Scripts, PrintsAndEndsAsExpected) {
  const CorpusScript& s = GetParam();
  CapturedIO io;
  Outcome outcome = run_once(s.source, {}, nullptr, nullptr, &io);
  EXPECT_EQ(io.printed, s.printed) << s.path;
  EXPECT_EQ(outcome.ok() ? "" : outcome.error().text(), s.error) << s.path;
  if (outcome.ok()) {
    EXPECT_EQ(to_display(outcome.value()), "nil") << s.path;
  }
}

// The corpus is where the build says (an empty list would run nothing and pass).
TEST(ScriptCorpus, IsFound) { EXPECT_GT(corpus_scripts().size(), 100u); }

INSTANTIATE_TEST_SUITE_P(Corpus, Scripts, ::testing::ValuesIn(corpus_scripts()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarnwick::testing
