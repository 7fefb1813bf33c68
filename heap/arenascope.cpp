// arenascope -- the allocator's bookkeeping beside the program's own blocks.
//
// The program takes three blocks and prints the two header words that the C
// library's allocator keeps just before each of them (i386 layout):
//
//     block - 8   previous size: the size of the chunk before, while that one
//                 is free; otherwise the last word of its block
//     block - 4   this chunk's size, with three flag bits in the low bits
//                 (1: the chunk before is in use, 2: mmapped, 4: not main arena)
//
// Then it follows the size words: from buf3's chunk to the chunk after it
// (`top`) and past that to `aftertop`.  buf3 was carved from the allocator's
// top chunk; whether `top` is still that chunk depends on what was taken after
// buf3, and when.  `aftertop` may be the end of the heap, where there may be
// nothing to read: the program looks before it reads.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t flag_bits = 7;

// The 32-bit word at p.  (Taken as a plain char *, like main's locals: the
// allocator wrote these words, and a pointer to const would make the compiler
// warn that the program never did.)
std::uint32_t word_at(char *p)
{
    // Written by malloc, and before the block on purpose: the allocator's own words.
    // NOLINTNEXTLINE(clang-analyzer-core.uninitialized.UndefReturn,clang-analyzer-security.ArrayBound)
    return *reinterpret_cast<std::uint32_t *>(p);
}

// Whether the n bytes at p can be read: the kernel copies them into a pipe,
// and says EFAULT instead of faulting where they are not mapped.
bool readable(const char *p, std::size_t n)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0)
        return false;
    bool ok = write(fds[1], p, n) == static_cast<ssize_t>(n);
    close(fds[0]);
    close(fds[1]);
    return ok;
}

} // namespace

int main(int, char *[])
{
    char *buf1 = static_cast<char *>(malloc(256));
    char *buf2 = static_cast<char *>(malloc(512));
    char *buf3 = static_cast<char *>(malloc(1024));
    if (buf1 == nullptr || buf2 == nullptr || buf3 == nullptr)
        return 1; // NOLINT(clang-analyzer-unix.Malloc): the blocks live as long as the process

    printf("buf1: %08X %08X\n", word_at(buf1 - 8), word_at(buf1 - 4));
    printf("buf2: %08X %08X\n", word_at(buf2 - 8), word_at(buf2 - 4));
    printf("buf3: %08X %08X\n", word_at(buf3 - 8), word_at(buf3 - 4));

    char *top = buf3 - 8 + (word_at(buf3 - 4) & ~flag_bits);
    printf("top:  %08X %08X\n", word_at(top), word_at(top + 4));

    std::uint32_t top_size = word_at(top + 4) & ~flag_bits;
    char *aftertop = top + top_size;
    printf("aftertop at %p = %p + 0x%X\n", static_cast<void *>(aftertop),
           static_cast<void *>(top), top_size);

    if (readable(aftertop, 8))
        printf("aftertop:  %08X %08X\n", word_at(aftertop), word_at(aftertop + 4));
    else
        printf("aftertop:  unreadable\n");
    return 0;
}
