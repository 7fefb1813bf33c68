# Lesson: a name found inside argv[0], not copied out of it.
#   ./lab gdb basenamer
# It stops as get_name is called, then back in main once it has returned, and
# last it starts the program again under a name that ends in a slash, as
# `exec -a dir/ ./basenamer` would in bash (gdb's exec-wrapper: a shell that
# starts the program for gdb). Each stop names its question and what helps;
# `explain` gives the lesson's reading, `onward` goes on.

set pagination off
break get_name
run

#: stop P1 what ./lab put into argv[0]
#| get_name is called with main's argv[0]: the text that the starting process
#| put there. Look at it:  info args   (or: up, then print argv[0]).
#| The name that the program prints is what follows the last slash.
#: explain
echo --- get_name gets main's argv[0]:\n
info args

#: stop P4 where name points
set print finish off
finish
next
set print finish on
#| Back in main: name holds what get_name returned. Compare it with argv[0]:
#|   print argv[0]
#|   print name
#|   print name - argv[0]        (a pointer minus a pointer: how far apart)
#| Are the name's characters a copy, or part of argv[0]?
#: explain
print argv[0]
print name
printf "name = argv[0] + %d\n", name - argv[0]
echo --- The same memory, a few bytes on: nothing was copied.\n

#: stop P3 a name that ends in a slash
set exec-wrapper bash -c 'exec -a dir/ "$0" "$@"'
run
set print finish off
finish
next
set print finish on
#| The program again, started as `exec -a dir/` starts it: argv[0] is "dir/".
#| What did get_name return this time?
#|   print name     print *name     print name - argv[0]
#: explain
print name
print *name
echo --- slash + 1: the NUL that ends argv[0], one past its last slash. Not a null\n
echo --- pointer: a pointer to an empty string.\n
