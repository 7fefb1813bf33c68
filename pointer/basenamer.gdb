# Lesson: a name found inside argv[0], not copied out of it.
#   ./lab gdb basenamer
# To start it under another name: `set args` changes only the arguments after
# argv[0]; at the (gdb) prompt, have a shell start it instead, then run:
#   set exec-wrapper bash -c 'exec -a dir/ "$0" "$@"'
# or run it by hand in ./lab shell: (exec -a dir/ ./basenamer)

set pagination off
break get_name
run
echo \n--- get_name gets main's argv[0]:\n
info args
finish
next
echo \n--- Back in main, name points into argv[0] itself:\n
print argv[0]
print name
printf "name = argv[0] + %d\n", name - argv[0]
