// parser -- the base name of a path, as a pointer into that path.

#include "parser.h"

#include <cstring>

// The text after the last slash, inside `path` itself (nothing is copied), or
// "errname" when there is no slash.
extern "C" const char *get_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (slash == nullptr)
        return "errname";
    return slash + 1;
}
