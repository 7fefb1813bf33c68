// vm/server -- the warm guest's side: a guest that stays after its first
// command and runs the next ones. vm/init starts it, as root, in the guest's
// root, in place of the runner, where the run's folder holds it.
//
// Takes, from the run's folder (shared at /run/lab; vm/warm.bash writes it):
//   settings  key=value lines: warm (the TCP port to listen on), idle
//             (seconds without a command before the guest ends), dir and
//             link (the project folder and the caller's name for it, as
//             vm/init reads them);
//   secret    a line that a command's connection must begin with;
//   runner    the runner (vm/runner.cpp), run once for each command.
// Gives: a listener on the port (qemu forwards to it one port on the host's
// loopback, vm/warm.bash). Each connection is one command, in frames (a type
// byte, a 4-byte big-endian length, the bytes): from the host A (the secret),
// F ("NAME\n" and the file's bytes: settings, cmd or Xauthority, as vm/guest
// writes them for a cold guest), G (go), then i (standard input; empty: its
// end), t (keys for the terminal), c (a control line for the runner); to the
// host y (the secret was right), o, e and t (standard output and error, the
// terminal's output), c (a control line from the runner), x (the end:
// "exit N" or "signal N"). The command runs as in a cold guest, by the
// runner, in namespaces of its own: a fresh /tmp, /var/tmp, /run, /dev/shm
// and home; its processes end with it. The file ready in the run's folder
// says that the server listens. When no command has run for idle seconds,
// the server ends, and vm/init powers the guest off; the file idle says so.

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/mount.h>
#include <linux/close_range.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "lab server: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

std::string slurp(const char *path)
{
    std::string data;
    FILE *f = std::fopen(path, "r");
    if (f == nullptr)
        return data;
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        data.append(chunk, n);
        if (n < sizeof chunk) // the end, or a failed read: no more to come
            break;
    }
    std::fclose(f);
    return data;
}

// The value of KEY in key=value lines
std::string value_of(const std::string &lines, const char *key)
{
    std::string want = std::string("\n") + key + "=";
    std::string text = "\n" + lines;
    std::size_t at = text.find(want);
    if (at == std::string::npos)
        return "";
    at += want.size();
    return text.substr(at, text.find('\n', at) - at);
}

bool read_all(int fd, void *data, std::size_t size)
{
    auto *p = static_cast<char *>(data);
    while (size > 0) {
        ssize_t n = read(fd, p, size);
        if (n <= 0 && !(n < 0 && errno == EINTR))
            return false;
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
        }
    }
    return true;
}

bool write_all(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string frame(char type, const char *data, std::size_t size)
{
    unsigned char head[5] = {static_cast<unsigned char>(type), static_cast<unsigned char>(size >> 24),
                             static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 8),
                             static_cast<unsigned char>(size)};
    std::string f(reinterpret_cast<char *>(head), sizeof head);
    f.append(data, size);
    return f;
}

// One frame, read whole (the request, before the command starts)
bool read_frame(int fd, char &type, std::string &data)
{
    unsigned char head[5];
    if (!read_all(fd, head, sizeof head))
        return false;
    type = static_cast<char>(head[0]);
    std::size_t size = (std::size_t{head[1]} << 24) | (std::size_t{head[2]} << 16) | (std::size_t{head[3]} << 8) | head[4];
    if (size > (16U << 20))
        return false;
    data.resize(size);
    return read_all(fd, data.data(), size);
}

bool write_file(const std::string &path, const std::string &data, mode_t mode, uid_t uid, gid_t gid)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, data.data(), data.size()) && fchown(fd, uid, gid) == 0;
    close(fd);
    return ok;
}

void fresh(const char *path, const char *options)
{
    if (mount("tmpfs", path, "tmpfs", MS_NOSUID | MS_NODEV, options) != 0)
        fail(path);
}

// PATH, which the fresh mounts may have covered (a project in the home or
// in /tmp), there again as it was: the folder held open in `held`
void uncover(const std::string &path, int held)
{
    struct stat was{};
    struct stat now{};
    if (held < 0 || fstat(held, &was) != 0)
        return;
    if (stat(path.c_str(), &now) == 0 && now.st_dev == was.st_dev && now.st_ino == was.st_ino)
        return;
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0755);
    mkdir(path.c_str(), 0755);
    std::string from = "/proc/self/fd/" + std::to_string(held);
    if (mount(from.c_str(), path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        fail(path.c_str());
}

// The command's own world: the mounts that a cold guest gives it fresh, the
// project folder (`project`: its path, and the caller's name for it) where it
// was, and the files of its request in /run/lab
void make_world(const std::string &settings, const std::string &cmd, const std::string &xauth,
                const std::string project[2])
{
    if (unshare(CLONE_NEWNS | CLONE_NEWPID) != 0)
        fail("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("private mounts");
    int held = project[0].empty() ? -1 : open(project[0].c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (const char *d : {"/tmp", "/var/tmp", "/run", "/dev/shm"})
        fresh(d, "mode=1777");
    unsigned uid = 0;
    unsigned gid = 0;
    std::sscanf(value_of(settings, "user").c_str(), "%u:%u", &uid, &gid);
    std::string home = value_of(settings, "home");
    if (!home.empty()) {
        mkdir(home.c_str(), 0700);
        std::string options = "mode=0700,uid=" + std::to_string(uid) + ",gid=" + std::to_string(gid);
        // (where the root lacks the folder, none: as in a cold guest)
        mount("tmpfs", home.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str());
    }
    uncover(project[0], held);
    if (held >= 0)
        close(held);
    struct stat link{};
    if (!project[1].empty() && lstat(project[1].c_str(), &link) != 0) {
        std::string parent = project[1].substr(0, project[1].rfind('/'));
        for (std::size_t at = parent.find('/', 1); at != std::string::npos; at = parent.find('/', at + 1))
            mkdir(parent.substr(0, at).c_str(), 0755);
        mkdir(parent.c_str(), 0755);
        (void)!symlink(project[0].c_str(), project[1].c_str());
    }
    mkdir("/run/lab", 0755);
    bool ok = write_file("/run/lab/settings", settings, 0644, 0, 0) && write_file("/run/lab/cmd", cmd, 0644, 0, 0);
    if (!xauth.empty())
        ok = ok && write_file("/run/lab/Xauthority", xauth, 0600, uid, gid);
    if (!ok)
        fail("the command's files");
}

// Bytes that wait for a descriptor that may not take them yet
struct Out {
    int fd;
    std::string held;
};

void flush(Out &out)
{
    while (!out.held.empty()) {
        ssize_t n = write(out.fd, out.held.data(), out.held.size());
        if (n <= 0)
            return;
        out.held.erase(0, static_cast<std::size_t>(n));
    }
}

// The runner's descriptors 3 to 7: stdin, stdout, stderr, tty, ctl
struct Streams {
    int in = -1, out = -1, err = -1, tty = -1, ctl = -1; // this side's ends
    int theirs[5] = {-1, -1, -1, -1, -1};
};

Streams make_streams(bool tty)
{
    Streams s;
    int p[2];
    auto pipe_or_fail = [&](int &mine, int &their, bool reading) {
        if (pipe2(p, O_CLOEXEC) != 0)
            fail("pipe");
        mine = reading ? p[0] : p[1];
        their = reading ? p[1] : p[0];
    };
    pipe_or_fail(s.in, s.theirs[0], false);
    pipe_or_fail(s.out, s.theirs[1], true);
    pipe_or_fail(s.err, s.theirs[2], true);
    if (tty) {
        for (int k : {3, 4}) {
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, p) != 0)
                fail("socketpair");
            (k == 3 ? s.tty : s.ctl) = p[0];
            s.theirs[k] = p[1];
        }
    }
    return s;
}

// The command's first process, the runner, as the first of its namespace of
// processes: when it ends, all that the command left ends too
pid_t start_runner(int runner, Streams &s)
{
    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
            fail("/proc");
        runner = fcntl(runner, F_DUPFD_CLOEXEC, 10); // (out of the way of 3 to 7)
        int fds[5];
        for (int k = 0; k < 5; ++k)
            fds[k] = s.theirs[k] >= 0 ? fcntl(s.theirs[k], F_DUPFD_CLOEXEC, 10) : -1;
        for (int k = 0; k < 5; ++k) {
            if (fds[k] >= 0)
                dup2(fds[k], 3 + k);
        }
        close_range(8, ~0U, CLOSE_RANGE_CLOEXEC);
        char name[] = "runner";
        char fdsflag[] = "--fds";
        char *argv[] = {name, fdsflag, nullptr};
        char *envp[] = {nullptr};
        fexecve(runner, argv, envp);
        fail("the runner");
    }
    for (int &fd : s.theirs) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    return pid;
}

// The command's frames both ways, until it has ended and said all
void relay(int conn, pid_t runner, Streams &s)
{
    Out to_host{conn, ""};
    Out to_in{s.in, ""};
    Out to_tty{s.tty, ""};
    Out to_ctl{s.ctl, ""};
    for (int fd : {conn, s.in, s.out, s.err, s.tty, s.ctl}) {
        if (fd >= 0)
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    std::string from_host;
    bool input_ended = false;
    bool ended = false;
    int status = 0;
    struct Source {
        int *fd;
        char type;
    } sources[] = {{&s.out, 'o'}, {&s.err, 'e'}, {&s.tty, 't'}, {&s.ctl, 'c'}};
    for (;;) {
        if (!ended && waitpid(runner, &status, WNOHANG) == runner)
            ended = true;
        bool open = false;
        for (auto &src : sources)
            open = open || (*src.fd >= 0 && src.type != 'c');
        if (ended && !open)
            break;
        pollfd fds[8];
        nfds_t n = 0;
        bool room = to_host.held.size() < (1U << 20);
        for (auto &src : sources) {
            if (*src.fd >= 0 && room)
                fds[n++] = {*src.fd, POLLIN, 0};
        }
        bool busy = to_in.held.size() + to_tty.held.size() + to_ctl.held.size() > (1U << 20);
        fds[n++] = {conn, static_cast<short>((busy ? 0 : POLLIN) | (to_host.held.empty() ? 0 : POLLOUT)), 0};
        for (Out *o : {&to_in, &to_tty, &to_ctl}) {
            if (o->fd >= 0 && !o->held.empty())
                fds[n++] = {o->fd, POLLOUT, 0};
        }
        if (poll(fds, n, ended ? 100 : 200) < 0 && errno != EINTR)
            fail("poll");
        char buf[65536];
        for (auto &src : sources) {
            if (*src.fd < 0 || !room)
                continue;
            ssize_t got = read(*src.fd, buf, sizeof buf);
            if (got > 0)
                to_host.held += frame(src.type, buf, static_cast<std::size_t>(got));
            else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                close(*src.fd);
                *src.fd = -1;
            }
        }
        if (!busy) {
            ssize_t got = read(conn, buf, sizeof buf);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                kill(runner, SIGKILL); // the host went: so does the command
                waitpid(runner, nullptr, 0);
                _exit(0);
            }
            if (got > 0)
                from_host.append(buf, static_cast<std::size_t>(got));
        }
        while (from_host.size() >= 5) {
            auto *h = reinterpret_cast<const unsigned char *>(from_host.data());
            std::size_t size = (std::size_t{h[1]} << 24) | (std::size_t{h[2]} << 16) | (std::size_t{h[3]} << 8) | h[4];
            if (from_host.size() < 5 + size)
                break;
            std::string data = from_host.substr(5, size);
            char type = from_host[0];
            from_host.erase(0, 5 + size);
            if (type == 'i' && size == 0)
                input_ended = true;
            else if (type == 'i')
                to_in.held += data;
            else if (type == 't')
                to_tty.held += data;
            else if (type == 'c')
                to_ctl.held += data;
        }
        for (Out *o : {&to_in, &to_tty, &to_ctl}) {
            if (o->fd >= 0)
                flush(*o);
        }
        if (input_ended && to_in.held.empty() && s.in >= 0) {
            close(s.in);
            s.in = to_in.fd = -1;
        }
        flush(to_host);
    }
    std::string end = slurp("/run/lab/status");
    if (end.empty())
        end = WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status)) : "exit 1";
    to_host.held += frame('x', end.data(), end.size());
    fcntl(conn, F_SETFL, fcntl(conn, F_GETFL) & ~O_NONBLOCK);
    write_all(conn, to_host.held.data(), to_host.held.size());
}

// One connection: the secret, the request, then the command
[[noreturn]] void serve(int conn, const std::string &secret, int runner, const std::string project[2])
{
    alarm(30); // a request comes whole at once, or not at all
    char type = 0;
    std::string data;
    if (!read_frame(conn, type, data) || type != 'A' || data != secret)
        _exit(1);
    std::string yes = frame('y', "", 0);
    write_all(conn, yes.data(), yes.size());
    std::string settings;
    std::string cmd;
    std::string xauth;
    for (;;) {
        if (!read_frame(conn, type, data))
            _exit(1);
        if (type == 'G')
            break;
        std::size_t nl = data.find('\n');
        if (type != 'F' || nl == std::string::npos)
            _exit(1);
        std::string name = data.substr(0, nl);
        std::string body = data.substr(nl + 1);
        if (name == "settings")
            settings = body;
        else if (name == "cmd")
            cmd = body;
        else if (name == "Xauthority")
            xauth = body;
    }
    alarm(0);
    make_world(settings, cmd, xauth, project);
    Streams s = make_streams(value_of(settings, "stdio").find("tty") != std::string::npos);
    pid_t pid = start_runner(runner, s);
    relay(conn, pid, s);
    _exit(0);
}

} // namespace

int main()
{
    std::string settings = slurp("/run/lab/settings");
    std::string secret = slurp("/run/lab/secret");
    secret = secret.substr(0, secret.find('\n'));
    int port = std::atoi(value_of(settings, "warm").c_str());
    long idle = std::atol(value_of(settings, "idle").c_str());
    const std::string project[2] = {value_of(settings, "dir"), value_of(settings, "link")};
    // the runner, kept in memory: each command's /run is a fresh one
    std::string program = slurp("/run/lab/runner");
    int runner = memfd_create("runner", MFD_CLOEXEC);
    if (runner < 0 || !write_all(runner, program.data(), program.size()) || program.empty() || secret.empty() || port <= 0)
        fail("the warm guest's settings");
    signal(SIGPIPE, SIG_IGN);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(listener, 64) != 0)
        fail("listen");
    int ready = open("/run/lab/ready", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (ready >= 0)
        close(ready);
    int running = 0;
    time_t last = time(nullptr);
    for (;;) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
            --running;
            last = time(nullptr);
        }
        if (running == 0 && time(nullptr) - last >= idle) {
            // one more look: a command that came meanwhile is served
            int mark = open("/run/lab/idle", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (mark >= 0)
                close(mark);
            pollfd p{listener, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0)
                return 0;
            unlink("/run/lab/idle");
        }
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            continue;
        int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0)
            continue;
        pid_t pid = fork();
        if (pid == 0) {
            close(listener);
            serve(conn, secret, runner, project);
        }
        if (pid > 0)
            ++running;
        close(conn);
    }
}
