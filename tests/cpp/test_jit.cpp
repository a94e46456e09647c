#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "tests/cpp/code_text.h"
#include "vm_engine/ir.h"
#include "vm_engine/jit.h"
#include "vm_engine/limits.h"

using namespace tarnwick;
using tarnwick::testing::code_from_text;
namespace fs = std::filesystem;

namespace {

// One script stands in for opt, llc, cc and ld (linked under each name). It logs its step and arguments,
// the mode and owner of the directory it writes into, and keeps a copy of its last argument (the input);
// then acts as $STANDIN_DIR/mode.<step> says: ok (write the -o output; a linking step copies
// $STANDIN_DIR/fixture.so when present), fail, symlink, groupwritable or foreign (ways of handing back a
// library that must not be loaded), or hang (sleep in a child process, as a stuck compiler driver would).
constexpr const char* kStandIn = R"SH(#!/bin/sh
PATH=/usr/bin:/bin
tool=$(basename "$0")
step=$tool
case "$tool $1" in
  "llc -filetype=obj") step=llc_obj ;;
  "llc -o") step=llc_asm ;;
  "cc -c") step=cc_c ;;
  "cc -shared") step=cc_shared ;;
esac
echo "$step $* <$(readlink /proc/self/fd/0)" >> "$STANDIN_DIR/log"
out=""
prev=""
for a in "$@"; do
  [ "$prev" = "-o" ] && out=$a
  prev=$a
done
echo "$step $(stat -c '%a %u' "$(dirname "$out")")" >> "$STANDIN_DIR/dirs"
cp "$a" "$STANDIN_DIR/input.$step" 2>/dev/null
mode=$(cat "$STANDIN_DIR/mode.$step" 2>/dev/null || echo ok)
lib="$STANDIN_DIR/fixture.so"
case "$mode" in
  fail) exit 1 ;;
  symlink) ln -s "$lib" "$out" ;;
  groupwritable) cp "$lib" "$out" && chmod 664 "$out" ;;
  foreign) cp "$lib" "$out" && chown 65534 "$out" && stat -c %u "$out" > "$STANDIN_DIR/foreign_uid" ;;
  hang) sleep 30 & echo $! > "$STANDIN_DIR/sleeper"; wait ;;
  *) if [ -f "$lib" ] && { [ "$step" = cc_shared ] || [ "$step" = ld ]; }; then cp "$lib" "$out"; else echo "$step" > "$out"; fi ;;
esac
)SH";

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
  return out;
}

class ScopedEnv {
 public:
  explicit ScopedEnv(const char* name) : name_(name) {
    const char* v = std::getenv(name);
    if (v != nullptr) saved_ = v;
  }
  ~ScopedEnv() {
    if (saved_) {
      setenv(name_, saved_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  const std::optional<std::string>& saved() const { return saved_; }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

// A private PATH holding chosen stand-in tools, and TMPDIR pointing at a fresh output directory.
class NativeBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarnwick_jit_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    bin_ = root_ / "bin";
    out_ = root_ / "out";
    fs::create_directories(bin_);
    fs::create_directories(out_);
    write_file(root_ / "stand_in.sh", kStandIn);
    fs::permissions(root_ / "stand_in.sh", fs::perms::owner_all);
    setenv("PATH", bin_.c_str(), 1);
    setenv("TMPDIR", out_.c_str(), 1);
    setenv("STANDIN_DIR", root_.c_str(), 1);
  }
  void TearDown() override {
    set_limits(saved_limits_);
    fs::remove_all(root_);
  }

  void install(std::initializer_list<const char*> tools) {
    for (const char* t : tools) fs::create_symlink(root_ / "stand_in.sh", bin_ / t);
  }
  void mode(const char* step, const char* m) { write_file(root_ / (std::string("mode.") + step), m); }
  std::vector<std::string> lines_of(const char* file) {
    std::vector<std::string> lines;
    std::ifstream in(root_ / file);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  std::vector<std::string> log() { return lines_of("log"); }
  // The directory the build ran the tools in, as the first tool saw it: "" when no tool ran.
  std::string private_dir() {
    const auto lines = log();
    if (lines.empty()) return "";
    const size_t end = lines[0].find("/tarnwick_trace_");
    if (end == std::string::npos) return "";
    const size_t begin = lines[0].rfind(' ', end) + 1;
    return lines[0].substr(begin, end - begin);
  }
  // The log expected for `steps`, B standing for the base path in the build's private directory.
  std::vector<std::string> expected_log(const std::vector<std::string>& steps) {
    std::vector<std::string> expected;
    const std::string b = private_dir() + "/tarnwick_trace_trace_4";
    for (std::string s : steps) {
      for (size_t p = s.find('B'); p != std::string::npos; p = s.find('B', p + b.size())) s.replace(p, 1, b);
      expected.push_back(s + " </dev/null");
    }
    return expected;
  }
  // Every tool wrote into a directory of mode 700 owned by this user, and that directory is gone.
  void expect_private_and_removed() {
    const std::string dir = private_dir();
    ASSERT_FALSE(dir.empty()) << "no tool ran";
    EXPECT_EQ(fs::path(dir).parent_path(), fs::absolute(out_));
    EXPECT_FALSE(fs::exists(dir));
    for (const auto& line : lines_of("dirs")) {
      EXPECT_EQ(line.substr(line.find(' ') + 1), "700 " + std::to_string(geteuid())) << line;
    }
  }
  // A real library exporting trace_4() returning 42, for the stand-ins to hand back.
  bool make_fixture() {
    if (access("/usr/bin/cc", X_OK) != 0) return false;
    write_file(root_ / "fixture.c", "long trace_4(void) { return 42; }\n");
    std::string cmd = "PATH=/usr/bin:/bin /usr/bin/cc -shared -fPIC -o " + (root_ / "fixture.so").string() + " " +
                      (root_ / "fixture.c").string() + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
  }
  std::string B(const char* ext) { return (out_ / "tarnwick_trace_trace_4").string() + ext; }
  void set_tool_millis(uint64_t ms) {
    Limits l = current_limits();
    l.max_tool_millis = ms;
    set_limits(l);
  }

  ScopedEnv path_{"PATH"}, tmpdir_{"TMPDIR"}, standin_{"STANDIN_DIR"};
  const Limits saved_limits_ = current_limits();
  fs::path root_, bin_, out_;
  const std::string ir_ = emit("trace_4", code_from_text("Push 2; Push 3; Add; Halt"));
};

TEST_F(NativeBuild, WithoutToolsNothingIsLeft) {
  EXPECT_EQ(build_native("trace_4", ir_), nullptr);
  EXPECT_TRUE(names_in(out_).empty());
}

TEST_F(NativeBuild, FileNamesStayInsideTheDirectory) {
  install({"opt"});
  mode("opt", "fail");
  EXPECT_EQ(build_native("../x y/\xC3\xA9-1", "ir"), nullptr);
  const std::string dir = private_dir();
  EXPECT_EQ(log(), (std::vector<std::string>{"opt -O2 -o " + dir + "/tarnwick_trace____x_y__-1.opt.bc -- " + dir +
                                             "/tarnwick_trace____x_y__-1.ll </dev/null"}));
  EXPECT_EQ(read_file(root_ / "input.opt"), "ir");
  expect_private_and_removed();
  EXPECT_TRUE(names_in(out_).empty());

  fs::remove(root_ / "log");
  setenv("TMPDIR", (out_.string() + "/").c_str(), 1);
  build_native("trace_9", "ir");
  EXPECT_EQ(fs::path(private_dir()).parent_path(), out_);

  fs::remove(root_ / "log");
  setenv("TMPDIR", (root_ / "missing").c_str(), 1);
  EXPECT_EQ(build_native("trace_9", "ir"), nullptr);  // nowhere to write the IR: stops quietly
  EXPECT_TRUE(log().empty());
}

TEST_F(NativeBuild, DefaultsToTmp) {
  unsetenv("TMPDIR");
  install({"opt"});
  mode("opt", "fail");
  build_native("trace_4", "ir");
  EXPECT_EQ(private_dir().rfind("/tmp/tarnwick_jit_", 0), 0u) << private_dir();
  EXPECT_FALSE(fs::exists(private_dir()));
}

struct Chain {
  const char* name;
  std::vector<const char*> tools;
  std::vector<std::pair<const char*, const char*>> modes;
  std::vector<std::string> steps;  // with B for the base path
  bool loaded;
};

class BuildChains : public NativeBuild, public ::testing::WithParamInterface<Chain> {};

TEST_P(BuildChains, RunsTheFallbacksAndCleansUp) {
  const Chain& c = GetParam();
  if (!make_fixture()) GTEST_SKIP() << "no C compiler to build the fixture library";
  for (const char* t : c.tools) install({t});
  for (const auto& [step, m] : c.modes) mode(step, m);

  void* entry = build_native("trace_4", ir_);
  ASSERT_EQ(entry != nullptr, c.loaded);
  if (entry != nullptr) {
    EXPECT_EQ(reinterpret_cast<long (*)()>(entry)(), 42);
  }

  EXPECT_EQ(log(), expected_log(c.steps));
  const std::string first = c.steps[0].substr(0, c.steps[0].find(' '));
  EXPECT_EQ(read_file(root_ / ("input." + first)), ir_);  // the whole IR reached the first tool
  expect_private_and_removed();
  EXPECT_TRUE(names_in(out_).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildChains,
    ::testing::Values(
        Chain{"all_tools",
              {"opt", "llc", "cc", "ld"},
              {},
              {"opt -O2 -o B.opt.bc -- B.ll", "llc_obj -filetype=obj -o B.o -- B.opt.bc", "cc_shared -shared -fPIC -o B.so B.o"},
              true},
        Chain{"no_opt",
              {"llc", "cc"},
              {},
              {"llc_obj -filetype=obj -o B.o -- B.ll", "cc_shared -shared -fPIC -o B.so B.o"},
              true},
        Chain{"opt_fails",
              {"opt", "llc", "cc"},
              {{"opt", "fail"}},
              {"opt -O2 -o B.opt.bc -- B.ll", "llc_obj -filetype=obj -o B.o -- B.ll", "cc_shared -shared -fPIC -o B.so B.o"},
              true},
        Chain{"object_through_assembly",
              {"opt", "llc", "cc"},
              {{"llc_obj", "fail"}},
              {"opt -O2 -o B.opt.bc -- B.ll", "llc_obj -filetype=obj -o B.o -- B.opt.bc", "llc_asm -o B.s -- B.opt.bc",
               "cc_c -c -o B.o B.s", "cc_shared -shared -fPIC -o B.so B.o"},
              true},
        Chain{"no_assembly_either",
              {"opt", "llc", "cc"},
              {{"llc_obj", "fail"}, {"llc_asm", "fail"}},
              {"opt -O2 -o B.opt.bc -- B.ll", "llc_obj -filetype=obj -o B.o -- B.opt.bc", "llc_asm -o B.s -- B.opt.bc"},
              false},
        Chain{"assembler_fails",
              {"opt", "llc", "cc"},
              {{"llc_obj", "fail"}, {"cc_c", "fail"}},
              {"opt -O2 -o B.opt.bc -- B.ll", "llc_obj -filetype=obj -o B.o -- B.opt.bc", "llc_asm -o B.s -- B.opt.bc",
               "cc_c -c -o B.o B.s"},
              false},
        Chain{"linker_fallback",
              {"opt", "llc", "cc", "ld"},
              {{"cc_shared", "fail"}},
              {"opt -O2 -o B.opt.bc -- B.ll", "llc_obj -filetype=obj -o B.o -- B.opt.bc", "cc_shared -shared -fPIC -o B.so B.o",
               "ld -shared -o B.so B.o -lc -lm"},
              true},
        Chain{"nothing_links",
              {"opt", "llc", "cc", "ld"},
              {{"cc_shared", "fail"}, {"ld", "fail"}},
              {"opt -O2 -o B.opt.bc -- B.ll", "llc_obj -filetype=obj -o B.o -- B.opt.bc", "cc_shared -shared -fPIC -o B.so B.o",
               "ld -shared -o B.so B.o -lc -lm"},
              false},
        Chain{"library_is_a_symlink",
              {"llc", "cc"},
              {{"cc_shared", "symlink"}},
              {"llc_obj -filetype=obj -o B.o -- B.ll", "cc_shared -shared -fPIC -o B.so B.o"},
              false},
        Chain{"library_is_group_writable",
              {"llc", "cc"},
              {{"cc_shared", "groupwritable"}},
              {"llc_obj -filetype=obj -o B.o -- B.ll", "cc_shared -shared -fPIC -o B.so B.o"},
              false}),
    [](const ::testing::TestParamInfo<Chain>& info) { return std::string(info.param.name); });

TEST_F(NativeBuild, ForeignLibraryIsNotLoaded) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hand a file to another user";
  if (!make_fixture()) GTEST_SKIP() << "no C compiler to build the fixture library";
  install({"llc", "cc"});
  mode("cc_shared", "foreign");
  EXPECT_EQ(build_native("trace_4", ir_), nullptr);
  EXPECT_EQ(read_file(root_ / "foreign_uid"), "65534\n");  // the stand-in did hand back a foreign file
}

// A temporary directory anyone may write to (sticky, like /tmp), holding links and world-writable files
// under every name the build uses, as another user would plant them: the build neither follows, writes,
// reads nor removes any of them.
TEST_F(NativeBuild, PlantedFilesAreNeverTouched) {
  install({"opt", "llc", "cc"});
  mode("llc_obj", "fail");  // so the assembly path runs too
  fs::permissions(out_, fs::perms::all | fs::perms::sticky_bit);
  const fs::path victim = root_ / "victim";
  write_file(victim, "precious");
  std::set<std::string> planted;
  for (const char* ext : {".ll", ".opt.bc", ".o", ".s", ".so"}) {
    fs::create_symlink(victim, B(ext));
    planted.insert(fs::path(B(ext)).filename().string());
  }
  // The world-writable files sit under the build's names in a second, equally open directory.
  const fs::path open_dir = root_ / "open";
  fs::create_directories(open_dir);
  fs::permissions(open_dir, fs::perms::all | fs::perms::sticky_bit);
  for (const char* ext : {".ll", ".opt.bc", ".o", ".s", ".so"}) {
    const fs::path f = open_dir / fs::path(B(ext)).filename();
    write_file(f, "planted");
    fs::permissions(f, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);
    if (geteuid() == 0) {
      ASSERT_EQ(chown(f.c_str(), 65534, 65534), 0);
    }
  }

  for (const fs::path& dir : {out_, open_dir}) {
    fs::remove(root_ / "log");
    fs::remove(root_ / "dirs");
    setenv("TMPDIR", dir.c_str(), 1);
    EXPECT_EQ(build_native("trace_4", ir_), nullptr);  // the stand-ins make no real library
    EXPECT_EQ(fs::path(private_dir()).parent_path(), dir);
    EXPECT_EQ(read_file(root_ / "input.opt"), ir_);
    EXPECT_EQ(read_file(root_ / "input.cc_shared"), "cc_c\n");
    EXPECT_FALSE(fs::exists(private_dir()));
    for (const auto& line : lines_of("dirs")) EXPECT_EQ(line.substr(line.find(' ') + 1, 4), "700 ") << line;
  }
  EXPECT_EQ(read_file(victim), "precious");
  EXPECT_EQ(names_in(out_), planted);
  for (const char* ext : {".ll", ".opt.bc", ".o", ".s", ".so"}) {
    EXPECT_TRUE(fs::is_symlink(B(ext))) << ext;
    EXPECT_EQ(read_file(open_dir / fs::path(B(ext)).filename()), "planted") << ext;
  }
}

// Where another user could rename the build's directory away and put their own in its place, no build
// starts: a directory writable by others without the sticky bit, or one that belongs to another user.
TEST_F(NativeBuild, NoBuildWhereOthersCanReplaceTheDirectory) {
  install({"opt"});
  fs::permissions(out_, fs::perms::all);
  EXPECT_EQ(build_native("trace_4", ir_), nullptr);
  fs::permissions(out_, fs::perms::owner_all | fs::perms::group_all);
  EXPECT_EQ(build_native("trace_4", ir_), nullptr);
  if (geteuid() == 0) {
    fs::permissions(out_, fs::perms::owner_all);
    ASSERT_EQ(chown(out_.c_str(), 65534, 65534), 0);
    EXPECT_EQ(build_native("trace_4", ir_), nullptr);
  }
  EXPECT_TRUE(log().empty());
  EXPECT_TRUE(names_in(out_).empty());
}

// A relative TMPDIR that begins with '-' would turn every path into an option: each tool gets absolute
// paths, and opt and llc get them after "--".
TEST_F(NativeBuild, PathsAreAbsoluteWhateverTmpdirLooksLike) {
  if (!make_fixture()) GTEST_SKIP() << "no C compiler to build the fixture library";
  install({"opt", "llc", "cc"});
  out_ = root_ / "-out";
  fs::create_directories(out_);
  const fs::path cwd = fs::current_path();
  fs::current_path(root_);
  setenv("TMPDIR", "-out", 1);
  void* entry = build_native("trace_4", ir_);
  fs::current_path(cwd);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(reinterpret_cast<long (*)()>(entry)(), 42);
  EXPECT_EQ(private_dir().rfind(out_.string() + "/tarnwick_jit_", 0), 0u) << private_dir();
  EXPECT_EQ(log(), expected_log({"opt -O2 -o B.opt.bc -- B.ll", "llc_obj -filetype=obj -o B.o -- B.opt.bc",
                                 "cc_shared -shared -fPIC -o B.so B.o"}));
  expect_private_and_removed();
}

// A tool that never ends is killed with its children once its time is up, and the build goes on as if it
// had failed; signals arriving meanwhile change nothing.
TEST_F(NativeBuild, HungToolIsKilledWithItsChildren) {
  if (!make_fixture()) GTEST_SKIP() << "no C compiler to build the fixture library";
  install({"opt", "llc", "cc"});
  mode("opt", "hang");
  set_tool_millis(300);
  const auto start = std::chrono::steady_clock::now();
  void* entry = build_native("trace_4", ir_);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(15));  // the stand-in sleeps 30 s
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(log(), expected_log({"opt -O2 -o B.opt.bc -- B.ll", "llc_obj -filetype=obj -o B.o -- B.ll",
                                 "cc_shared -shared -fPIC -o B.so B.o"}));
  expect_private_and_removed();
  // The sleeping child went with the tool (once reaped it vanishes, or lingers a moment as a zombie).
  const std::string proc = "/proc/" + read_file(root_ / "sleeper").substr(0, read_file(root_ / "sleeper").find('\n'));
  std::string state;
  for (int i = 0; i < 100 && fs::exists(proc); ++i) {
    state = read_file(proc + "/stat");
    if (state.find(") Z") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(!fs::exists(proc) || state.find(") Z") != std::string::npos) << state;
}

TEST_F(NativeBuild, RealToolchainBuildsAndLoads) {
  std::string path = path_.saved().value_or("/usr/bin:/bin");
  setenv("PATH", path.c_str(), 1);
  for (const char* tool : {"opt", "llc", "cc"}) {
    std::string probe = std::string("command -v ") + tool + " >/dev/null 2>&1";
    if (std::system(probe.c_str()) != 0) GTEST_SKIP() << tool << " is not installed";
  }
  // A hot straight-line trace (the Halt ends it before its back edge) builds and loads.
  JitState jit;
  const auto code = code_from_text("Nop; Nop; Nop; Nop; Push 2; Push 3; Add; Halt; Jump 4");
  for (int i = 0; i < 1000; ++i) on_backward_jump(jit, code, 4, 8);
  const Trace& hot = jit.traces.at("trace_4");
  ASSERT_TRUE(hot.hot);
  EXPECT_EQ(*hot.ir, ir_);
  ASSERT_NE(hot.native_entry, nullptr);
  EXPECT_EQ(reinterpret_cast<long (*)()>(hot.native_entry)(), 5);
  EXPECT_TRUE(names_in(out_).empty());
  EXPECT_EQ(jit.compiled, 0u);

  // A library exporting the bare number is found by the shortened name; a second trace gets its own.
  const std::string bare = "define i64 @\"7\"() {\n  ret i64 77\n}\n";
  void* seven = build_native("trace_7", bare);
  ASSERT_NE(seven, nullptr);
  EXPECT_EQ(reinterpret_cast<long (*)()>(seven)(), 77);
  EXPECT_EQ(build_native("trace_8", "define i64 @other() {\n  ret i64 1\n}\n"), nullptr);
}

// ---------------------------------------------------------------------------------------------------------
// Recorder

class Recorder : public NativeBuild {
 protected:
  void jump(uint64_t start, uint64_t end, int times = 1) {
    for (int i = 0; i < times; ++i) on_backward_jump(jit_, code_, start, end);
  }
  JitState jit_;
  std::vector<Instruction> code_ = code_from_text("Push 0; Push 1; Add; Dup; Jump 1; Len; Jump 0; Halt");
};

TEST_F(Recorder, BecomesHotOnTheThousandthBackEdge) {
  jump(1, 4, 999);
  ASSERT_EQ(jit_.traces.size(), 1u);
  const Trace& t = jit_.traces.at("trace_1");
  EXPECT_EQ(t.name, "trace_1");
  EXPECT_EQ(t.count, 999u);
  EXPECT_FALSE(t.hot);
  EXPECT_FALSE(t.ir.has_value());
  EXPECT_EQ(jit_.stats_text(), "JIT Stats:\n  Total traces: 1\n  Hot traces: 0\n  Compiled: 0\n  Total executions: 999\n");
  EXPECT_TRUE(names_in(out_).empty());

  install({"opt"});
  mode("opt", "fail");
  jump(1, 4);
  EXPECT_TRUE(t.hot);
  ASSERT_TRUE(t.ir.has_value());
  EXPECT_EQ(*t.ir, emit("trace_1", code_from_text("Push 1; Add; Dup; Jump 1")));
  EXPECT_EQ(t.native_entry, nullptr);  // no library came out of the build
  EXPECT_EQ(read_file(root_ / "input.opt"), *t.ir);
  EXPECT_EQ(jit_.stats_text(), "JIT Stats:\n  Total traces: 1\n  Hot traces: 1\n  Compiled: 0\n  Total executions: 1000\n");

  // Once hot, a trace is only counted: nothing is built again.
  jump(1, 4, 5);
  EXPECT_EQ(t.count, 1005u);
  EXPECT_EQ(jit_.hot_traces, 1u);
  EXPECT_EQ(log().size(), 1u);
  EXPECT_TRUE(names_in(out_).empty());
}

TEST_F(Recorder, BackEdgesToOneHeaderShareATrace) {
  jump(1, 4, 600);
  jump(1, 6, 400);
  ASSERT_EQ(jit_.traces.size(), 1u);
  const Trace& t = jit_.traces.at("trace_1");
  EXPECT_EQ(t.instructions, code_from_text("Push 1; Add; Dup; Jump 1"));  // copied by the first edge
  EXPECT_TRUE(t.hot);
  jump(0, 6, 3);
  EXPECT_EQ(jit_.traces.at("trace_0").instructions, code_from_text("Push 0; Push 1; Add; Dup; Jump 1; Len; Jump 0"));
  EXPECT_EQ(jit_.stats_text(), "JIT Stats:\n  Total traces: 2\n  Hot traces: 1\n  Compiled: 0\n  Total executions: 1003\n");
}

TEST_F(Recorder, IgnoresWhatIsNotABackEdgeAndClampsToTheCode) {
  jump(4, 4);
  jump(5, 2);
  EXPECT_TRUE(jit_.traces.empty());
  EXPECT_EQ(jit_.total_executions, 0u);

  jump(6, 50);
  jump(40, 50);
  EXPECT_EQ(jit_.traces.at("trace_6").instructions, code_from_text("Jump 0; Halt"));
  EXPECT_TRUE(jit_.traces.at("trace_40").instructions.empty());
}

TEST_F(Recorder, TableHoldsAtMost256Traces) {
  std::vector<Instruction> big(400, make_instr(Opcode::Nop));
  for (uint64_t h = 0; h < 256; ++h) on_backward_jump(jit_, big, h, 300);
  EXPECT_EQ(jit_.total_traces, 256u);
  on_backward_jump(jit_, big, 256, 300);
  EXPECT_EQ(jit_.traces.count("trace_256"), 0u);
  EXPECT_EQ(jit_.total_traces, 256u);
  EXPECT_EQ(jit_.total_executions, 256u);
  on_backward_jump(jit_, big, 255, 300);
  EXPECT_EQ(jit_.traces.at("trace_255").count, 2u);
  EXPECT_EQ(jit_.total_executions, 257u);
}

}  // namespace
