#include "scenario/forked.h"

#ifndef _WIN32

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#ifdef __linux__
#include <sys/mman.h>
#include <sys/prctl.h>

#include <csignal>
#endif

#include "emu/emu_types.h"
#include "scenario/scenario.h"

namespace qvi::scenario {

namespace {

// Which kind of error a child threw.
enum class Thrown : std::uint64_t { kNone, kScenario, kMachine, kPath, kOther };

Thrown KindOf(const std::exception& error) {
  if (dynamic_cast<const ScenarioError*>(&error)) return Thrown::kScenario;
  if (dynamic_cast<const emu::MachineError*>(&error)) return Thrown::kMachine;
  if (dynamic_cast<const emu::PathError*>(&error)) return Thrown::kPath;
  return Thrown::kOther;
}

}  // namespace

std::string PackedReply(const std::function<void(Packer&)>& pack) {
  Packer out;
  try {
    out.Number(static_cast<std::uint64_t>(Thrown::kNone));
    pack(out);
  } catch (const std::exception& error) {
    out = Packer();
    out.Number(static_cast<std::uint64_t>(KindOf(error)));
    out.Text(error.what());
  }
  return std::move(out.bytes());
}

std::optional<std::string> ThrownInReply(Unpacker& in) {
  if (static_cast<Thrown>(in.Number()) == Thrown::kNone) return std::nullopt;
  return in.Text();
}

void RethrowFromReply(Unpacker& in) {
  const auto kind = static_cast<Thrown>(in.Number());
  if (kind == Thrown::kNone) return;
  const std::string what = in.Text();
  switch (kind) {
    case Thrown::kScenario: throw ScenarioError(what);
    case Thrown::kMachine: throw emu::MachineError(what);
    case Thrown::kPath: throw emu::PathError(what);
    default: throw std::runtime_error(what);
  }
}

namespace {

struct Running {
  pid_t pid;
  int fd;
  std::size_t index;
};

// Forks the child that runs `body(index)` and sends back its reply.
Running StartChild(std::size_t index, const std::function<std::string(std::size_t)>& body) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    throw std::runtime_error(std::string("cannot start a run: ") + std::strerror(errno));
  }
  if (pid == 0) {
#ifdef __linux__
    // A run outlives no matrix that was stopped.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    close(pipe_fds[0]);
    std::string reply;
    // Nothing may unwind past here: the child would go on as the parent.
    try {
      reply = body(index);
    } catch (...) {
      _exit(4);
    }
    for (std::size_t sent = 0; sent < reply.size();) {
      const ssize_t n = write(pipe_fds[1], reply.data() + sent, reply.size() - sent);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) _exit(3);
      sent += static_cast<std::size_t>(n);
    }
    _exit(0);
  }
  close(pipe_fds[1]);
  return {pid, pipe_fds[0], index};
}

// Waits for a child whose pipe has closed, and tells how it ended.
void FinishChild(const Running& child, ChildEnd& end) {
  close(child.fd);
  int status = 0;
  while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    end.replied = true;
  } else if (WIFSIGNALED(status)) {
    const char* name = strsignal(WTERMSIG(status));
    end.failure = "the run was ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
                  (name ? name : "unknown") + ") before it reported";
  } else {
    end.failure = "the run exited with status " + std::to_string(WEXITSTATUS(status)) + " before it reported";
  }
  if (!end.replied) end.reply.clear();
}

}  // namespace

std::vector<ChildEnd> RunInChildren(std::size_t count, int jobs, const std::function<std::string(std::size_t)>& body) {
  std::vector<ChildEnd> ends(count);
  std::vector<Running> running;
  std::size_t next = 0;
  while (next < count || !running.empty()) {
    while (next < count && running.size() < static_cast<std::size_t>(std::max(jobs, 1))) {
      running.push_back(StartChild(next++, body));
    }
    std::vector<pollfd> fds;
    for (const Running& child : running) fds.push_back({child.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("cannot wait for the runs: ") + std::strerror(errno));
    }
    // From the last, so that finishing one leaves the others' places alone.
    for (std::size_t at = fds.size(); at-- > 0;) {
      if (fds[at].revents == 0) continue;
      char piece[1 << 16];
      const ssize_t n = read(fds[at].fd, piece, sizeof piece);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        ends[running[at].index].reply.append(piece, static_cast<std::size_t>(n));
      } else {
        const Running child = running[at];
        running.erase(running.begin() + static_cast<std::ptrdiff_t>(at));
        FinishChild(child, ends[child.index]);
      }
    }
  }
  return ends;
}

void CollapseIntoHugePages() {
#ifdef __linux__
  constexpr int kCollapse = 25;  // MADV_COLLAPSE, Linux 6.1
  constexpr std::uintptr_t kHuge = 2 << 20;
  std::FILE* maps = std::fopen("/proc/self/maps", "r");
  if (!maps) return;
  char line[512];
  while (std::fgets(line, sizeof line, maps)) {
    unsigned long from = 0;
    unsigned long to = 0;
    char perms[5] = {};
    char path[256] = {};
    if (std::sscanf(line, "%lx-%lx %4s %*s %*s %*s %255s", &from, &to, perms, path) < 3) continue;
    const bool anonymous = path[0] == '\0' || std::strcmp(path, "[heap]") == 0;
    if (!anonymous || std::strncmp(perms, "rw", 2) != 0 || to - from < 2 * kHuge) continue;
    const std::uintptr_t first = (from + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t last = to & ~(kHuge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, kCollapse);
  }
  std::fclose(maps);
#endif
}

}  // namespace qvi::scenario

#endif
