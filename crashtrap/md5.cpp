// md5 -- the digest routine's placeholder.
//
// The crash-trap sample only needs something to call while it computes its
// file id, so this computes no digest: it fills in the first result word and
// says it succeeded.  Break here in gdb and look at the three arguments: the
// length is a 32-bit count, and `result` points at main's `fileid`.

#include "md5.h"

extern "C" int calc_md5(const char *data, std::uint32_t length, std::uint32_t *result)
{
    (void)data;
    (void)length;
    result[0] = 0;
    return 0;
}
