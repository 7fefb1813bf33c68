// reap PROGRAM [ARGS...]: run PROGRAM and come back only when it and every
// process it started have ended; then end as PROGRAM did (its exit status,
// or a death by the same signal).  ./lab run puts it in front of a sample, so
// that a gdb that the sample's -jit hand-off started, and that outlives the
// sample after `kill`, is waited for too: the shell's prompt comes back only
// when that gdb has quit.
//
// It is the subreaper of its descendants: an orphan among them becomes its
// child, not init's.  A signal that another process sends to it goes on to
// PROGRAM; one that the terminal sends (the interrupt and quit keys) reaches
// PROGRAM itself and is left to it.  Ctrl-Z stops it with PROGRAM.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The signals that it waits for: all but job control's, which stop and
// continue it as they would any program, and those that cannot be caught.
sigset_t waited_for()
{
    const int left[] = {SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGKILL, SIGSTOP};
    sigset_t set;
    sigfillset(&set);
    for (int sig : left)
        sigdelset(&set, sig);
    return set;
}

// End as the program ended: its status, or its signal (without a core).
[[noreturn]] void end_as(int status)
{
    if (WIFEXITED(status))
        exit(WEXITSTATUS(status));
    int sig = WTERMSIG(status);
    rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    exit(128 + sig);
}

// Collect every child that has ended; true once none is left.
bool collect(pid_t program, int *status, bool *ended)
{
    for (;;) {
        int st = 0;
        pid_t pid = waitpid(-1, &st, WNOHANG);
        if (pid == 0)
            return false;
        if (pid < 0)
            return errno == ECHILD;
        if (pid == program) {
            *status = st;
            *ended = true;
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2) {
        fprintf(stderr, "usage: reap PROGRAM [ARGS...]\n");
        return 2;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    sigset_t set = waited_for();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &set, &before);
    pid_t program = fork();
    if (program < 0) {
        perror("reap: fork");
        return 127;
    }
    if (program == 0) {
        sigprocmask(SIG_SETMASK, &before, nullptr);
        execvp(argv[1], argv + 1);
        fprintf(stderr, "reap: %s: %s\n", argv[1], strerror(errno));
        _exit(errno == ENOENT ? 127 : 126);
    }
    int status = 0;
    bool ended = false;
    for (;;) {
        siginfo_t info;
        int sig = sigwaitinfo(&set, &info);
        if (sig < 0)
            continue;
        if (sig == SIGCHLD) {
            if (collect(program, &status, &ended))
                end_as(status);
        } else if (info.si_code == SI_USER || info.si_code == SI_QUEUE) {
            if (ended) // the program is gone: what is left is not waited for
                end_as(W_EXITCODE(0, sig));
            kill(program, sig);
        }
    }
}
