// The trace recorder (counting loop heads until one is hot) and the native build of a trace's IR with the
// system's LLVM and C tools.
#include "vm_engine/jit.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <unordered_set>

#include "vm_engine/ir.h"
#include "vm_engine/limits.h"

extern char** environ;

namespace tarnwick {

std::string JitState::stats_text() const {
  return "JIT Stats:\n  Total traces: " + std::to_string(total_traces) + "\n  Hot traces: " +
         std::to_string(hot_traces) + "\n  Compiled: " + std::to_string(compiled) +
         "\n  Total executions: " + std::to_string(total_executions) + "\n";
}

void on_backward_jump(JitState& jit, const std::vector<Instruction>& code, uint64_t start, uint64_t end) {
  if (start >= end) return;  // only back edges make loops
  try {
    std::string name = "trace_" + std::to_string(start);
    auto it = jit.traces.find(name);
    if (it == jit.traces.end()) {
      if (jit.traces.size() >= JitState::kCapacity) return;
      Trace trace;
      trace.name = name;
      if (start < code.size()) {
        const uint64_t last = std::min<uint64_t>(end, code.size() - 1);
        trace.instructions.assign(code.begin() + static_cast<std::ptrdiff_t>(start),
                                  code.begin() + static_cast<std::ptrdiff_t>(last) + 1);
      }
      it = jit.traces.emplace(std::move(name), std::move(trace)).first;
      ++jit.total_traces;
    }
    Trace& trace = it->second;
    ++trace.count;
    ++jit.total_executions;
    if (trace.count < JitState::kHotThreshold || trace.hot) return;
    trace.hot = true;
    ++jit.hot_traces;
    trace.ir = emit(trace.name, trace.instructions);
    trace.native_entry = build_native(trace.name, *trace.ir);
  } catch (...) {
    // Recording is an observer of the loop: running out of memory here must not fail the jump.
  }
}

namespace {

// The directory the build's private directory goes in, as an absolute path ending in '/': every path a
// tool gets then starts with '/', so none can be read as an option (a TMPDIR of "-x" would otherwise
// turn "-x/..." into one).
std::optional<std::string> temp_dir() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = env != nullptr && *env != '\0' ? std::string(env) : std::string("/tmp");
  if (dir.front() != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return std::nullopt;
    dir = std::string(cwd) + "/" + dir;
  }
  if (dir.back() != '/') dir += '/';
  return dir;
}

// The private directory lives only as long as its name in `parent` keeps naming it. In a directory that
// another user may write to without the sticky bit, or that another user owns, that user could rename
// ours away and put their own in its place between two tool runs.
bool others_cannot_replace_entries(const std::string& parent) {
  struct stat st;
  if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (st.st_uid != ::geteuid() && st.st_uid != 0) return false;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
}

// A fresh directory that only this user can enter, for the files of one trace build. The tools read
// their inputs back by name, so those names must be out of reach of anyone who can write to the
// temporary directory. Removed with everything in it when the build ends; a library loaded from it stays
// mapped through its open descriptor.
class PrivateDir {
 public:
  explicit PrivateDir(const std::string& parent) {
    if (!others_cannot_replace_entries(parent)) return;
    std::string pattern = parent + "tarnwick_jit_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return;
    path_ = pattern;
    fd_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 07777) != 0700) {
      ok_ = false;
      return;
    }
    path_ += '/';
    ok_ = true;
  }
  ~PrivateDir() {
    if (ok_) {
      // The tools create only plain files here; anything else makes rmdir fail and is left alone.
      if (DIR* d = ::fdopendir(::dup(fd_))) {
        std::vector<std::string> names;
        while (const dirent* e = ::readdir(d)) {
          if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
        }
        ::closedir(d);
        for (const auto& n : names) ::unlinkat(fd_, n.c_str(), 0);
      }
    }
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::rmdir(path_.c_str());
  }
  PrivateDir(const PrivateDir&) = delete;
  PrivateDir& operator=(const PrivateDir&) = delete;

  bool ok() const { return ok_; }
  int fd() const { return fd_; }
  // With a trailing '/'.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool ok_ = false;
};

bool is_ascii_alnum(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// "tarnwick_trace_" + name with every character other than [A-Za-z0-9-] (a multi-byte UTF-8 character
// counts as one) replaced by '_', so no name can reach outside the directory.
std::string file_stem(const std::string& name) {
  std::string stem = "tarnwick_trace_";
  for (unsigned char c : name) {
    if ((c & 0xC0) == 0x80) continue;  // continuation byte of a character already replaced
    stem += is_ascii_alnum(c) || c == '-' ? static_cast<char>(c) : '_';
  }
  return stem;
}

bool write_new_file(int dir_fd, const std::string& name, const std::string& text) {
  int fd = ::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 || errno == EINTR;
}

// Waits for `pid` until `deadline`; past it, kills the tool's whole process group (a compiler driver
// runs its own children) and reaps it. A blocking wait would hold the host for as long as a hung tool
// lives, since it is retried on every signal.
bool wait_exited_ok(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  using namespace std::chrono;
  auto pause = microseconds(500);
  int status = 0;
  for (;;) {
    pid_t waited = ::waitpid(pid, &status, WNOHANG);
    if (waited == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (waited < 0 && errno != EINTR) return false;
    const auto now = steady_clock::now();
    if (now >= deadline) break;
    const auto nap = std::min<steady_clock::duration>(pause, deadline - now);
    timespec ts{static_cast<time_t>(duration_cast<seconds>(nap).count()),
                static_cast<long>(duration_cast<nanoseconds>(nap % seconds(1)).count())};
    ::nanosleep(&ts, nullptr);
    pause = std::min(pause * 2, duration_cast<microseconds>(milliseconds(20)));
  }
  ::kill(-pid, SIGKILL);
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return false;
}

// Runs `program` found on PATH with stdin, stdout and stderr on /dev/null, in a process group of its
// own, for at most the configured tool time; true when it exited with 0 in time.
bool run_tool(const char* program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return false;
  }
  // The host may ignore or block signals (Python ignores SIGPIPE); the tools get default behaviour.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  bool ready = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
               posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
               posix_spawn_file_actions_adddup2(&actions, 1, 2) == 0 &&
               posix_spawnattr_setsigdefault(&attr, &all) == 0 && posix_spawnattr_setsigmask(&attr, &none) == 0 &&
               posix_spawnattr_setpgroup(&attr, 0) == 0 &&
               posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                                   POSIX_SPAWN_SETPGROUP) == 0;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(std::min<uint64_t>(current_limits().max_tool_millis,
                                                                     uint64_t{1} << 40));
  pid_t pid = -1;
  bool started = ready && posix_spawnp(&pid, program, &actions, &attr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return started && wait_exited_ok(pid, deadline);
}

// Handles this process got from loading trace libraries. The dynamic loader hands back an existing
// handle when a name was loaded before, so a repeated handle means the file on disk was not loaded.
std::mutex g_loaded_mutex;
std::unordered_set<void*> g_loaded;

void* lookup(void* handle, const std::string& name) {
  dlerror();
  void* entry = dlsym(handle, name.c_str());
  if (entry == nullptr) {
    dlerror();
    if (name.size() > 5 && name.compare(0, 6, "trace_") == 0) {
      entry = dlsym(handle, name.c_str() + 6);
      if (entry == nullptr) dlerror();
    }
  }
  return entry;
}

// Loads the library `file` of the private directory only when it is a regular file (not a link) owned by
// this user and not writable by anyone else, and loads exactly the file that was checked: through its
// open descriptor.
void* load_checked_library(int dir_fd, const std::string& file, const std::string& name) {
  int fd = ::openat(dir_fd, file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    ::close(fd);
    return nullptr;
  }
  const std::string fd_path = "/proc/self/fd/" + std::to_string(fd);
  void* handle = dlopen(fd_path.c_str(), RTLD_LAZY);
  if (handle == nullptr) {
    dlerror();
    ::close(fd);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(g_loaded_mutex);
    if (!g_loaded.insert(handle).second) {
      dlclose(handle);  // drops only the reference this call added
      ::close(fd);
      return nullptr;
    }
  }
  // The library stays loaded for good, and so does its descriptor: the loader knows the library by the
  // descriptor's path, which must not name a different file later (and the file itself is unlinked when
  // the build's directory goes).
  return lookup(handle, name);
}

}  // namespace

void* build_native(const std::string& name, const std::string& ir) {
  try {
    const std::optional<std::string> parent = temp_dir();
    if (!parent) return nullptr;
    PrivateDir dir(*parent);
    if (!dir.ok()) return nullptr;
    const std::string stem = file_stem(name);
    const std::string base = dir.path() + stem;
    const std::string ll = base + ".ll", bc = base + ".opt.bc", obj = base + ".o", as = base + ".s",
                      so = base + ".so";

    if (!write_new_file(dir.fd(), stem + ".ll", ir)) return nullptr;

    // opt and llc take "--" before their input; cc and ld do not (GNU ld drops what follows it), which the
    // absolute paths make safe.
    const std::string& input = run_tool("opt", {"-O2", "-o", bc, "--", ll}) ? bc : ll;
    if (!run_tool("llc", {"-filetype=obj", "-o", obj, "--", input})) {
      if (!run_tool("llc", {"-o", as, "--", input})) return nullptr;
      if (!run_tool("cc", {"-c", "-o", obj, as})) return nullptr;
    }
    if (!run_tool("cc", {"-shared", "-fPIC", "-o", so, obj}) &&
        !run_tool("ld", {"-shared", "-o", so, obj, "-lc", "-lm"})) {
      return nullptr;
    }
    return load_checked_library(dir.fd(), stem + ".so", name);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace tarnwick
