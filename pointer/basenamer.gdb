# Lesson: a name found inside argv[0], not copied out of it.
#   ./lab gdb basenamer           (try: set args, or exec -a before ./lab)

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
