// basenamer -- a program's own name, found in argv[0].
//
// argv[0] is whatever the starting process put there: the path typed at the
// shell, the bare name when the program was found on the search path, or
// anything at all.  get_name returns a pointer into that text; in gdb, compare
// `name` with `argv[0]` to see that it is the same memory, a few bytes on.
// Try ./basenamer, its full path, the bare name from the search path, and
// `exec -a name/ ./basenamer` in bash.

#include <cstdio>

#include "parser.h"

int main(int, char *argv[])
{
    // A process started with an empty argument vector has no argv[0]:
    // treat it as a path without a slash.
    const char *name = get_name(argv[0] != nullptr ? argv[0] : "");

    puts("Demo of pointer trap by Tamsel.");
    printf("Name: %s\n", name);
    return 0;
}
