// blockrot -- one small heap block, watched by the allocator's own statistics.
//
// The program prints what mallinfo() reports, takes a 10-byte block, prints
// the report again, fills the block with 0..9 and releases it.  Under valgrind,
// every byte written stays inside the block.
//
// Compare the two reports.  The first comes before anything was allocated: the
// heap is not there yet.  The second counts, in uordblks (bytes in use), every
// chunk taken since: the block's own, and whatever else the C library took on
// the way (stdout's buffer is one; where the output goes matters).  In gdb,
// look at the words just before the block, and at the block after its release.
//
// BLOCKROT_REVISION 1 (blockrot-r1) is the smaller revision: it only takes and
// fills the block, prints nothing, and keeps the block until the process ends,
// for a leak checker to find.

#include <cstdio>
#include <cstdlib>
#include <malloc.h>

namespace {
constexpr int block_size = 10;
}

#if BLOCKROT_REVISION != 1
extern "C" {

static void display_mallinfo(void)
{
    // mallinfo is the classic interface, kept for its ten int fields;
    // its successor mallinfo2 reports the same in size_t.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    struct mallinfo mi = mallinfo();
#pragma GCC diagnostic pop

    printf("Total non-mmapped bytes (arena):       %d\n", mi.arena);
    printf("# of free chunks (ordblks):            %d\n", mi.ordblks);
    printf("# of free fastbin blocks (smblks):     %d\n", mi.smblks);
    printf("# of mapped regions (hblks):           %d\n", mi.hblks);
    printf("Bytes in mapped regions (hblkhd):      %d\n", mi.hblkhd);
    printf("Max. total allocated space (usmblks):  %d\n", mi.usmblks);
    printf("Free bytes held in fastbins (fsmblks): %d\n", mi.fsmblks);
    printf("Total allocated space (uordblks):      %d\n", mi.uordblks);
    printf("Total free space (fordblks):           %d\n", mi.fordblks);
    printf("Topmost releasable block (keepcost):   %d\n", mi.keepcost);
}

} // extern "C"
#endif

int main(int, char *[])
{
    char *p;
    int i = 0;

#if BLOCKROT_REVISION != 1
    display_mallinfo();
#endif
    p = static_cast<char *>(malloc(block_size));
#if BLOCKROT_REVISION != 1
    display_mallinfo();
#endif
    if (p == nullptr)
        return 1;

    for (i = 0; i < block_size; i++)
        p[i] = static_cast<char>(i);

#if BLOCKROT_REVISION != 1
    free(p); // lesson stop: release (blockrot.gdb stops here)
#endif
    return 0;
}
