// Finding a program's name in its path.
#ifndef POINTER_PARSER_H
#define POINTER_PARSER_H

extern "C" const char *get_name(const char *path);

#endif
