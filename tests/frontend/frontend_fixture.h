// Shared pieces of the front-end tests: a scratch directory, small files,
// and command lines as argument vectors.
#pragma once
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vorn::test {

// A fresh directory removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/vorn-frontend-XXXXXX";
    path_ = ::mkdtemp(pattern) ? pattern : "";
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// argv of "<tool> <command> args...", pointing into args.
struct Argv {
  std::vector<std::string> words;
  std::vector<const char*> pointers;
  Argv(const std::string& tool, const std::vector<std::string>& args) : words{tool} {
    words.insert(words.end(), args.begin(), args.end());
    for (const std::string& w : words) pointers.push_back(w.c_str());
  }
  int argc() const { return int(pointers.size()); }
  const char* const* argv() const { return pointers.data(); }
};

// Runs a tool in a child process, as a user would from a shell.
struct ToolRun {
  int status = -1;  // exit status, or 128 + the signal
  std::string out, err;
};

struct RunOptions {
  std::string cwd;
  int64_t file_size_limit = -1;  // bytes a file may grow to; writes past it fail
  const char* stdout_path = nullptr;  // standard output goes there instead (e.g. /dev/full)
  unsigned timeout_seconds = 0;  // the tool is ended by SIGALRM (status 142) after this long
  int64_t address_space_limit = -1;  // bytes of memory the tool may map
  bool unprivileged = false;  // run as nobody when the test runs as root
};

inline ToolRun run_tool(const char* tool, const std::vector<std::string>& args, const RunOptions& options = {}) {
  const ScratchDir capture;
  const std::string out = capture / "out", err = capture / "err";
  const Argv argv(tool, args);
  std::vector<char*> pointers;
  for (const char* p : argv.pointers) pointers.push_back(const_cast<char*>(p));
  pointers.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string to = options.stdout_path == nullptr ? out : options.stdout_path;
    const int o = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(o, 1);
    ::dup2(e, 2);
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) _exit(125);
    if (options.file_size_limit >= 0) {
      // A full disk, as far as the tool can tell: writes fail with EFBIG.
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{rlim_t(options.file_size_limit), rlim_t(options.file_size_limit)};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.address_space_limit >= 0) {
      const rlimit limit{rlim_t(options.address_space_limit), rlim_t(options.address_space_limit)};
      ::setrlimit(RLIMIT_AS, &limit);
    }
    // Root passes every permission check; nobody (65534) meets them.
    if (options.unprivileged && ::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 ||
                                                     ::setuid(65534) != 0))
      _exit(126);
    // A hang fails the test instead of holding it: the alarm outlives exec.
    if (options.timeout_seconds > 0) ::alarm(options.timeout_seconds);
    ::execv(tool, pointers.data());
    _exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ToolRun r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = read_text(out);
  r.err = read_text(err);
  return r;
}

}  // namespace vorn::test
