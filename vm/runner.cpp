// vm/runner -- the guest's side of one run. vm/guest copies it into the run's
// folder, and vm/init starts it there, as root, in the guest's root, once
// everything is mounted. Built static, so that it starts at once on either
// root, whatever C library the root has.
//
// Takes, from the run's folder (the host's, shared at /run/lab):
//   settings  key=value lines (vm/guest writes them): stdio (where stdin,
//             stdout and stderr go: tty or port), user (uid:gid), size
//             (rows cols of the caller's terminal);
//   cmd       the command, a bash script (vm/guest writes it).
// Gives the command its standard streams: the virtio ports lab.stdin,
// lab.stdout and lab.stderr, which vm/guest relays; and where the caller is
// at a terminal (tty), a pseudo-terminal of its own, as a native terminal is,
// owned by the user and sized as the caller's terminal, whose other side is
// relayed over the port lab.tty. Over the port lab.ctl the host sends
// "size ROWS COLS" when its terminal is resized and "continue" when the
// command is to go on after a stop; the runner sends "stopped" when the
// command stops (Ctrl-Z). The file booted, made just before the command
// starts, tells vm/guest that the boot is over; when the command ends, the
// runner writes how to the file status ("exit N" or "signal N"), once all
// that it wrote has been relayed. With --fds (the warm guest's server,
// vm/server.cpp, starts it so) the ports are descriptors it was given
// open: 3 to 7 for stdin, stdout, stderr, tty and ctl.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "lab runner: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

// The value of KEY in the run's settings, into value (empty where none).
void setting(const char *key, char *value, std::size_t size)
{
    char line[4096];
    std::size_t keylen = std::strlen(key);
    value[0] = '\0';
    FILE *f = std::fopen("/run/lab/settings", "r");
    if (f == nullptr)
        fail("settings");
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, key, keylen) == 0 && line[keylen] == '=') {
            std::snprintf(value, size, "%s", line + keylen + 1);
            value[std::strcspn(value, "\n")] = '\0';
        }
    }
    std::fclose(f);
}

bool given_fds = false; // --fds: the ports are descriptors 3 to 7

// The virtio port that vm/guest named lab.NAME, opened with FLAGS; it comes
// up a moment after the drivers.
int port(const char *name, int flags)
{
    if (given_fds) {
        const char *names[] = {"stdin", "stdout", "stderr", "tty", "ctl"};
        for (int k = 0; k < 5; ++k) {
            if (std::strcmp(name, names[k]) == 0)
                return 3 + k;
        }
        fail(name);
    }
    char want[64];
    std::snprintf(want, sizeof want, "lab.%s\n", name);
    for (;;) {
        DIR *dir = opendir("/sys/class/virtio-ports");
        while (dir != nullptr) {
            const dirent *entry = readdir(dir);
            if (entry == nullptr)
                break;
            char path[512];
            char found[64] = "";
            std::snprintf(path, sizeof path, "/sys/class/virtio-ports/%s/name", entry->d_name);
            FILE *f = std::fopen(path, "r");
            if (f == nullptr)
                continue;
            bool named = std::fgets(found, sizeof found, f) != nullptr && std::strcmp(found, want) == 0;
            std::fclose(f);
            if (named) {
                std::snprintf(path, sizeof path, "/dev/%s", entry->d_name);
                closedir(dir);
                int fd = open(path, flags | O_NOCTTY | O_CLOEXEC);
                if (fd < 0)
                    fail(path);
                return fd;
            }
        }
        if (dir != nullptr)
            closedir(dir);
        usleep(10000);
    }
}

void set_size(int fd, const char *rows_cols)
{
    winsize size{};
    unsigned rows = 24;
    unsigned cols = 80;
    if (std::sscanf(rows_cols, "%u %u", &rows, &cols) == 2) {
        size.ws_row = static_cast<unsigned short>(rows);
        size.ws_col = static_cast<unsigned short>(cols);
        ioctl(fd, TIOCSWINSZ, &size);
    }
}

void say(int fd, const char *line)
{
    (void)!write(fd, line, std::strlen(line));
}

// The command's session: its leader (this process) starts the command as a
// process group of its own, in the foreground of the terminal (where there
// is one), and says on fd `said` what becomes of it, a line each: "pgrp N"
// once it is started, "stopped" each time it stops, and "exit N" or
// "signal N" at its end. The command is then no orphaned process group, so
// that the terminal's Ctrl-Z stops it, as in a shell.
[[noreturn]] void session(const int streams[3], int terminal, int said)
{
    setsid();
    if (terminal >= 0)
        ioctl(terminal, TIOCSCTTY, 0);
    pid_t command = fork();
    if (command < 0)
        fail("fork");
    if (command == 0) {
        setpgid(0, 0);
        if (terminal >= 0) {
            signal(SIGTTOU, SIG_IGN); // the request of a group not yet in front
            tcsetpgrp(terminal, getpid());
        }
        for (int fd = 0; fd < 3; ++fd)
            dup2(streams[fd], fd);
        close_range(3, ~0U, 0);
        int booted = open("/run/lab/booted", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (booted >= 0)
            close(booted);
        for (int sig : {SIGTTOU, SIGPIPE, SIGINT, SIGQUIT, SIGCHLD})
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        char cmd[] = "/run/lab/cmd";
        char bash[] = "bash";
        char noprofile[] = "--noprofile";
        char norc[] = "--norc";
        char *argv[] = {bash, noprofile, norc, cmd, nullptr};
        char *envp[] = {nullptr};
        execve("/bin/bash", argv, envp);
        fail("/bin/bash");
    }
    setpgid(command, command); // (both do it: whichever comes first)
    char line[64];
    std::snprintf(line, sizeof line, "pgrp %d\n", static_cast<int>(command));
    say(said, line);
    for (;;) {
        int status = 0;
        if (waitpid(command, &status, WUNTRACED) < 0) {
            if (errno == EINTR)
                continue;
            fail("waitpid");
        }
        if (WIFSTOPPED(status)) {
            say(said, "stopped\n");
            continue;
        }
        if (WIFSIGNALED(status))
            std::snprintf(line, sizeof line, "signal %d\n", WTERMSIG(status));
        else
            std::snprintf(line, sizeof line, "exit %d\n", WEXITSTATUS(status));
        say(said, line);
        _exit(0);
    }
}

// Bytes on their way from one descriptor to another; neither side may block
// the other, so what was read and not yet written waits here.
struct Pipe {
    int from;
    int to;
    char data[65536];
    std::size_t held;
    bool open;
};

void pump_in(Pipe &p)
{
    ssize_t n = read(p.from, p.data + p.held, sizeof p.data - p.held);
    if (n > 0)
        p.held += static_cast<std::size_t>(n);
    else if (n == 0 || (errno != EAGAIN && errno != EINTR)) // EIO: no one holds the terminal
        p.open = false;
}

void pump_out(Pipe &p)
{
    ssize_t n = write(p.to, p.data, p.held);
    if (n > 0) {
        p.held -= static_cast<std::size_t>(n);
        std::memmove(p.data, p.data + n, p.held);
    }
}

// Lines that arrive on a descriptor, each handed to `heard` once whole.
struct Lines {
    char data[1024];
    std::size_t held;
};

template <typename Heard> bool hear(int fd, Lines &l, Heard heard)
{
    ssize_t n = read(fd, l.data + l.held, sizeof l.data - l.held - 1);
    if (n <= 0)
        return n < 0 && errno == EAGAIN;
    l.held += static_cast<std::size_t>(n);
    char *end = nullptr;
    while ((end = static_cast<char *>(std::memchr(l.data, '\n', l.held))) != nullptr) {
        *end = '\0';
        heard(l.data);
        std::size_t used = static_cast<std::size_t>(end - l.data) + 1;
        l.held -= used;
        std::memmove(l.data, end + 1, l.held);
    }
    if (l.held == sizeof l.data - 1) // a line too long for a command: dropped
        l.held = 0;
    return true;
}

Pipe in_pipe;  // the host's keys to the terminal
Pipe out_pipe; // the terminal's output to the host
Lines said_lines;
Lines ctl_lines;

} // namespace

int main(int argc, char **argv)
{
    given_fds = argc > 1 && std::strcmp(argv[1], "--fds") == 0;
    char stdio[64];
    char user[64];
    char size[64];
    setting("stdio", stdio, sizeof stdio);
    setting("user", user, sizeof user);
    setting("size", size, sizeof size);
    unsigned uid = 0;
    unsigned gid = 0;
    std::sscanf(user, "%u:%u", &uid, &gid);
    bool tty = std::strstr(stdio, "tty") != nullptr;

    int master = -1;
    int slave = -1;
    int link = -1;
    int ctl = -1;
    if (tty) {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            fail("a pseudo-terminal");
        slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0)
            fail("its other side");
        set_size(master, size);
        (void)!fchown(slave, uid, gid); // the user's, as a terminal they opened would be
        link = port("tty", O_RDWR);
        ctl = port("ctl", O_RDWR);
    }
    const char *names[3] = {"stdin", "stdout", "stderr"};
    int streams[3];
    char kinds[64];
    std::snprintf(kinds, sizeof kinds, "%s", stdio);
    char *save = nullptr;
    char *kind = strtok_r(kinds, ",", &save);
    for (int fd = 0; fd < 3; ++fd) {
        if (slave >= 0 && kind != nullptr && std::strcmp(kind, "tty") == 0)
            streams[fd] = slave;
        else
            streams[fd] = port(names[fd], fd == 0 ? O_RDONLY : O_WRONLY);
        kind = strtok_r(nullptr, ",", &save);
    }

    int said[2];
    if (pipe2(said, O_CLOEXEC) != 0)
        fail("pipe");
    pid_t leader = fork();
    if (leader < 0)
        fail("fork");
    if (leader == 0) {
        close(said[0]);
        session(streams, tty ? slave : -1, said[1]);
    }
    close(said[1]);
    for (int fd = 0; fd < 3; ++fd) {
        if (streams[fd] != slave)
            close(streams[fd]);
    }
    if (slave >= 0)
        close(slave);

    in_pipe = {link, master, {}, 0, tty};
    out_pipe = {master, link, {}, 0, tty};
    for (int fd : {link, master, said[0], ctl}) {
        if (fd >= 0)
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    char status[64] = "";
    pid_t pgrp = 0;
    bool hearing = true;
    auto from_session = [&](const char *line) {
        if (std::strncmp(line, "pgrp ", 5) == 0)
            pgrp = static_cast<pid_t>(std::atoi(line + 5));
        else if (std::strcmp(line, "stopped") == 0)
            say(ctl, "stopped\n"); // (only a terminal's Ctrl-Z stops it)
        else
            std::snprintf(status, sizeof status, "%s", line);
    };
    auto from_host = [&](const char *line) {
        if (std::strncmp(line, "size ", 5) == 0)
            set_size(master, line + 5);
        else if (std::strcmp(line, "continue") == 0 && pgrp > 0)
            kill(-pgrp, SIGCONT);
    };
    // Until the command has ended and its terminal has said all: once it has
    // ended, whatever is left comes at once, and a quiet moment ends it.
    while (status[0] == '\0' || out_pipe.open) {
        pollfd fds[5];
        nfds_t n = 0;
        auto watch = [&](int fd, short events) {
            if (fd >= 0 && events != 0)
                fds[n++] = {fd, events, 0};
        };
        watch(in_pipe.from, in_pipe.open && in_pipe.held < sizeof in_pipe.data ? POLLIN : 0);
        watch(out_pipe.from, out_pipe.open && out_pipe.held < sizeof out_pipe.data ? POLLIN : 0);
        watch(master, in_pipe.held > 0 ? POLLOUT : 0);
        watch(link, out_pipe.held > 0 ? POLLOUT : 0);
        watch(hearing ? said[0] : -1, POLLIN);
        watch(ctl, POLLIN);
        int ready = poll(fds, n, status[0] == '\0' ? -1 : 200);
        if (ready < 0 && errno != EINTR)
            fail("poll");
        if (ready == 0)
            break;
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0)
                continue;
            int fd = fds[i].fd;
            if (fd == said[0])
                hearing = hear(fd, said_lines, from_session);
            else if (fd == ctl)
                hear(fd, ctl_lines, from_host);
            if (fd == in_pipe.from && (fds[i].events & POLLIN) != 0)
                pump_in(in_pipe);
            if (fd == out_pipe.from && (fds[i].events & POLLIN) != 0)
                pump_in(out_pipe);
        }
        if (in_pipe.held > 0)
            pump_out(in_pipe);
        if (out_pipe.held > 0)
            pump_out(out_pipe);
    }
    if (link >= 0) { // the rest of the output, now that nothing more comes
        fcntl(link, F_SETFL, fcntl(link, F_GETFL) & ~O_NONBLOCK);
        while (out_pipe.held > 0)
            pump_out(out_pipe);
    }
    FILE *f = std::fopen("/run/lab/status", "w");
    if (f == nullptr)
        fail("status");
    std::fprintf(f, "%s\n", status);
    std::fclose(f);
    return 0;
}
