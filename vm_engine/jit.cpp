#include "vm_engine/jit.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <unordered_set>

#include "vm_engine/ir.h"

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

std::string temp_dir() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string("/tmp");
}

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

// Writes a new file at `path`. Whatever was there is unlinked first (unlink removes a symbolic link, never
// its target), and the exclusive, no-follow creation fails rather than write through anything planted in
// between.
bool write_new_file(const std::string& path, const std::string& text) {
  ::unlink(path.c_str());
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
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

// Runs `program` found on PATH with stdin, stdout and stderr on /dev/null; true when it exited with 0.
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
               posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
  pid_t pid = -1;
  bool started = ready && posix_spawnp(&pid, program, &actions, &attr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (!started) return false;

  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  return waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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

// Loads the library at `path` only when it is a regular file (not a link) owned by this user and not
// writable by anyone else, and loads exactly the file that was checked: through its open descriptor.
void* load_checked_library(const std::string& path, const std::string& name) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
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
  // descriptor's path, which must not name a different file later.
  return lookup(handle, name);
}

}  // namespace

void* build_native(const std::string& name, const std::string& ir) {
  try {
    std::string dir = temp_dir();
    if (dir.back() != '/') dir += '/';
    const std::string base = dir + file_stem(name);
    const std::string ll = base + ".ll", bc = base + ".opt.bc", obj = base + ".o", as = base + ".s",
                      so = base + ".so";

    if (!write_new_file(ll, ir)) return nullptr;

    // The tools create their outputs by name; removing what is there first means a planted link is not
    // followed, and a failed step leaves no stale output behind.
    ::unlink(bc.c_str());
    const std::string& input = run_tool("opt", {"-O2", "-o", bc, ll}) ? bc : ll;

    ::unlink(obj.c_str());
    if (!run_tool("llc", {"-filetype=obj", "-o", obj, input})) {
      ::unlink(as.c_str());
      if (!run_tool("llc", {"-o", as, input})) return nullptr;
      ::unlink(obj.c_str());
      bool compiled = run_tool("cc", {"-c", "-o", obj, as});
      ::unlink(as.c_str());
      if (!compiled) return nullptr;
    }

    ::unlink(so.c_str());
    if (!run_tool("cc", {"-shared", "-fPIC", "-o", so, obj})) {
      ::unlink(so.c_str());
      if (!run_tool("ld", {"-shared", "-o", so, obj, "-lc", "-lm"})) return nullptr;
    }

    void* entry = load_checked_library(so, name);
    if (entry == nullptr) return nullptr;
    ::unlink(ll.c_str());
    ::unlink(bc.c_str());
    ::unlink(obj.c_str());
    return entry;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace tarnwick
