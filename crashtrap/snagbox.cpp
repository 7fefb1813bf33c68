// snagbox -- a crash handed to a debugger.
//
// The program computes a file id and then waits for one key.  Started with
// -jit it first installs crash_handler for the fatal signals: when one arrives
// (press the terminal's quit key, Ctrl-\, while it waits), the handler starts
// gdb with --pid=<its own pid> and sleeps, so the debugger attaches to the very
// process that received the signal.  In that gdb, `bt` shows what the handler
// is doing and what the signal interrupted.
//
// main returns what getchar read: the exit status comes from the key that
// ends the wait.
//
// Built in four revisions, chosen with SNAGBOX_REVISION:
//   1  snagbox-r1   banner, no options, no handler
//   2  snagbox-r2   banner, -jit or usage text, handler prints nothing
//   3  snagbox64.o  as revision 4, an x86-64 object for you to link
//   4  snagbox      -jit, usage text for anything holding "-h"
// Each #if below selects whole functions or whole blocks of statements, so
// that each revision reads as a program of its own.  To see one as the
// compiler does, or the difference between two, run crashtrap/revisions.sh.

#include <cstdint>
#include <cstdio>
#include <cstring>

#if SNAGBOX_REVISION >= 2
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>
#endif

#if SNAGBOX_REVISION == 3
// The object declares the digest routine itself and leaves it undefined: link
// it with an md5 module of your own.
extern "C" int calc_md5(const char *data, std::uint32_t length, std::uint32_t *result);
#else
#include "md5.h"
#endif

using ULONGLONG = unsigned long long;

struct SECTION_HEAD {
    const char *data;
    ULONGLONG length;
};

extern "C" {

int get_file_id(const char *filename, std::uint32_t *fileid)
{
    (void)filename;
    SECTION_HEAD section;
    section.data = "testing data-xxxxxxx";
    section.length = strlen(section.data);
    // calc_md5 counts in 32 bits: hand it a 32-bit length, so that the
    // result pointer arrives where calc_md5 looks for it.
    return calc_md5(section.data, static_cast<std::uint32_t>(section.length), fileid);
}

#if SNAGBOX_REVISION >= 2

// "--pid=" and the decimal pid, then a NUL byte, into buf; returns the number
// of characters before that NUL.  Built by hand because a signal handler may
// not call sprintf: the handler can interrupt printf itself.
static std::size_t format_pid_arg(char *buf, std::size_t size, pid_t pid)
{
    constexpr char prefix[] = "--pid=";
    char digits[12];
    std::size_t ndigits = 0;
    unsigned long value = static_cast<unsigned long>(pid);
    do {
        digits[ndigits++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && ndigits < sizeof digits);

    std::size_t len = 0;
    for (std::size_t i = 0; prefix[i] != '\0' && len + 2 < size; ++i)
        buf[len++] = prefix[i];
    while (ndigits > 0 && len + 2 < size)
        buf[len++] = digits[--ndigits];
    buf[len] = '\0';     // the NUL that follows the text ...
    buf[len + 1] = '\0'; // ... and the one that ends it
    return len;
}

#if SNAGBOX_REVISION == 2
// Revision 2 keeps the pid to itself.
static void show_pid_arg(const char *arg, std::size_t len)
{
    (void)arg;
    (void)len;
}
#else
// From revision 3 on, the handler shows the argument that it hands to gdb, as
// it lies in memory: its len characters and the byte after them.  Straight
// to descriptor 1: stdio would keep it in a buffer that is never flushed,
// since this process does not leave the handler.
static void show_pid_arg(const char *arg, std::size_t len)
{
    (void)!write(STDOUT_FILENO, arg, len + 1);
}
#endif

// The debugger's half of the fork: wait until the parent has named this
// process as its tracer, then become gdb.  Never returns into the program.
[[noreturn]] static void become_gdb(char *const gdb_array[], int ready_fd)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr); // the handler's signal is blocked here
    if (ready_fd >= 0) {
        char byte;
        while (read(ready_fd, &byte, 1) < 0 && errno == EINTR) {
        }
    }
    execvp("gdb", gdb_array);
    _exit(127); // no gdb: end here, flushing nothing that the parent wrote
}

static void crash_handler(int sig)
{
    (void)sig;
    char pid_str[40];
    char *gdb_array[3] = {const_cast<char *>("gdb"), const_cast<char *>(""), nullptr};

    std::size_t len = format_pid_arg(pid_str, sizeof pid_str, getpid());
    show_pid_arg(pid_str, len);
    gdb_array[1] = pid_str;

    // The child may only exec gdb once it is allowed to trace us: where the
    // kernel lets a process trace only its descendants, gdb could not attach
    // to its own parent.  The pipe holds the child back until then.
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) < 0)
        ready[0] = ready[1] = -1;

    pid_t pid = fork();
    if (pid < 0)
        abort();
    if (pid == 0) {
        if (ready[1] >= 0)
            close(ready[1]);
        become_gdb(gdb_array, ready[0]);
    }

    prctl(PR_SET_PTRACER, static_cast<unsigned long>(pid), 0, 0, 0);
    if (ready[0] >= 0) {
        close(ready[0]);
        close(ready[1]); // end of file for the child: go ahead
    }
    for (;;)
        sleep(6000);
}

void register_jit_gdb(void)
{
    signal(SIGQUIT, crash_handler);
    signal(SIGILL, crash_handler);
    signal(SIGTRAP, crash_handler);
    signal(SIGABRT, crash_handler);
    signal(SIGFPE, crash_handler);
    signal(SIGBUS, crash_handler);
    signal(SIGSEGV, crash_handler);
    signal(31, crash_handler); // SIGSYS on i386 and x86-64
}

void help(void)
{
    puts("Header trap sample by Tamsel Quendry\n [-jit]");
}

#if SNAGBOX_REVISION == 2
// Revision 2: any first argument but -jit asks for the usage text.
static bool asks_for_usage(const char *arg)
{
    (void)arg;
    return true;
}
#else
// From revision 3 on, only a first argument that holds "-h" asks for it.
static bool asks_for_usage(const char *arg)
{
    return strstr(arg, "-h") != nullptr;
}
#endif

#endif // SNAGBOX_REVISION >= 2

} // extern "C"

int main(int argc, char *argv[])
{
    // Never initialised: what does it hold before get_file_id, and after?
    std::uint32_t fileid[4];

#if SNAGBOX_REVISION <= 2
    puts("Stuntman for kiv by Tamsel (rev1.0)");
#endif
    puts("running...");

#if SNAGBOX_REVISION == 1
    // Revision 1 knows no option: it always computes the file id.
    (void)argc;
    (void)argv;
    get_file_id("filea", fileid);
#else
    if (argc > 1) {
        if (strcmp(argv[1], "-jit") == 0) {
            register_jit_gdb();
            puts("jit debug handler registered");
        } else if (asks_for_usage(argv[1])) {
            help();
            goto TAG_RET; // the usage text, and no file id
        }
    }
    get_file_id("filea", fileid);
TAG_RET:
#endif
    // Whoever waits with us -- a pipe, a file, a debugger about to kill this
    // process -- gets every line before the wait begins.
    fflush(stdout);
    return getchar();
}
