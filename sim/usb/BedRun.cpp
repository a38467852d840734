#include "sim/usb/BedRun.h"

#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace bed {
namespace {

constexpr guint kKillGraceS = 3;
constexpr const char* kPreload = "libumockdev-preload.so.0";

struct Run {
  GMainLoop* loop = nullptr;
  pid_t child = -1;
  int status = -1;
  bool ended = false;
  const char* program = "";
  const std::function<void()>* onUsr1 = nullptr;
};

void sOnChildExit(GPid, gint status, gpointer ref) {
  auto* run = static_cast<Run*>(ref);
  run->status = status;
  run->ended = true;
  g_main_loop_quit(run->loop);
}

gboolean sForward(gpointer ref, int signal) {
  auto* run = static_cast<Run*>(ref);
  if (run->child > 0 && !run->ended) kill(run->child, signal);
  return G_SOURCE_CONTINUE;
}
gboolean sOnTerm(gpointer ref) {
  return sForward(ref, SIGTERM);
}
gboolean sOnInt(gpointer ref) {
  return sForward(ref, SIGINT);
}
gboolean sOnHup(gpointer ref) {
  return sForward(ref, SIGHUP);
}
gboolean sOnUsr1(gpointer ref) {
  auto* run = static_cast<Run*>(ref);
  if (run->onUsr1 && *run->onUsr1) (*run->onUsr1)();
  return G_SOURCE_CONTINUE;
}

gboolean sKill(gpointer ref) {
  auto* run = static_cast<Run*>(ref);
  if (!run->ended) kill(run->child, SIGKILL);
  return G_SOURCE_REMOVE;
}

gboolean sLifetimeOver(gpointer ref) {
  auto* run = static_cast<Run*>(ref);
  if (run->ended) return G_SOURCE_REMOVE;
  std::fprintf(stderr, "%s: lifetime over, ending the command\n", run->program);
  kill(run->child, SIGTERM);
  g_timeout_add_seconds(kKillGraceS, sKill, run);
  return G_SOURCE_REMOVE;
}

}  // namespace

// umockdev builds its test bed through the same redirections that its
// clients see, so the program that builds it runs under the preload too.
void ReexecUnderPreload(char** argv, const char* mark, const char* program) {
  if (std::getenv(mark) != nullptr) return;
  std::string preload = kPreload;
  const char* old = std::getenv("LD_PRELOAD");
  if (old && *old) preload += std::string(":") + old;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv(mark, "1", 1);
  // A sanitizer runtime need not come first once the preload is in front.
  std::string asan = "verify_asan_link_order=0";
  const char* oldAsan = std::getenv("ASAN_OPTIONS");
  if (oldAsan && *oldAsan) asan = std::string(oldAsan) + ":" + asan;
  setenv("ASAN_OPTIONS", asan.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::fprintf(stderr, "%s: cannot restart under %s: %s\n", program, kPreload, std::strerror(errno));
  std::exit(kOwnFailure);
}

int RunCommand(const std::vector<std::string>& command, uint32_t lifetimeS, const char* program,
               const char* mark, const std::function<void()>& onUsr1) {
  if (command.empty()) return kOwnFailure;
  Run run;
  run.program = program;
  run.onUsr1 = &onUsr1;
  std::vector<std::string> words = command;
  std::vector<char*> args;
  for (std::string& a : words) args.push_back(&a[0]);
  args.push_back(nullptr);
  std::fflush(nullptr);
  run.child = fork();
  if (run.child == 0) {
    unsetenv(mark);
    // COMMAND runs as it would outside the bed: the stand-in's ignored
    // SIGPIPE would otherwise stay ignored across exec, so a pipeline in
    // COMMAND whose reader left would no longer end its writer.
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvp(args[0], args.data());
    std::fprintf(stderr, "%s: cannot run %s: %s\n", program, args[0], std::strerror(errno));
    _exit(kCannotRun);
  }
  if (run.child < 0) {
    std::fprintf(stderr, "%s: fork: %s\n", program, std::strerror(errno));
    return kOwnFailure;
  }
  run.loop = g_main_loop_new(nullptr, FALSE);
  g_child_watch_add(run.child, sOnChildExit, &run);
  const guint sources[] = {
      g_unix_signal_add(SIGTERM, sOnTerm, &run),
      g_unix_signal_add(SIGINT, sOnInt, &run),
      g_unix_signal_add(SIGHUP, sOnHup, &run),
      g_unix_signal_add(SIGUSR1, sOnUsr1, &run),
      g_timeout_add_seconds(lifetimeS, sLifetimeOver, &run),
  };
  g_main_loop_run(run.loop);
  // The run's record lives on this stack: nothing may call back into it.
  for (guint id : sources) {
    GSource* source = g_main_context_find_source_by_id(nullptr, id);
    if (source) g_source_destroy(source);
  }
  g_main_loop_unref(run.loop);
  if (WIFEXITED(run.status)) return WEXITSTATUS(run.status);
  if (WIFSIGNALED(run.status)) return 128 + WTERMSIG(run.status);
  return kOwnFailure;
}

}  // namespace bed
}  // namespace sim
