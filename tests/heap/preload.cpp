// A preload library for the heap tests, built for both processors.
//
//   LAB_UNBUFFERED_STDOUT=1  make stdout unbuffered before main, so that stdio
//                            allocates nothing after the program's own blocks
//   LAB_FAIL_MALLOC=N        make every malloc(N) fail, for that size only

#include <cstdio>
#include <cstdlib>

extern "C" void *__libc_malloc(std::size_t size);

namespace {

std::size_t failing_size = 0;

__attribute__((constructor)) void lab_preload_init()
{
    if (const char *n = getenv("LAB_FAIL_MALLOC"))
        failing_size = strtoul(n, nullptr, 10);
    if (getenv("LAB_UNBUFFERED_STDOUT") != nullptr)
        setvbuf(stdout, nullptr, _IONBF, 0);
}

} // namespace

extern "C" void *malloc(std::size_t size)
{
    if (failing_size != 0 && size == failing_size)
        return nullptr;
    return __libc_malloc(size);
}
