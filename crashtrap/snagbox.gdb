# Lesson: the crash trap, from the file id to the just-in-time handler.
#   ./lab gdb snagbox -jit        (also snagbox-r1, snagbox-r2)
# It stops in the placeholder digest routine, then, at the wait for a key,
# delivers the signal that the terminal's quit key (Ctrl-\) would send.

set pagination off
set breakpoint pending on
break calc_md5
# Revision 1 has no handler; the breakpoint then stays pending and never hits.
break crash_handler
run

echo \n--- calc_md5 was called from get_file_id, from main:\n
bt
echo \n--- Its arguments: the test text, its length as a 32-bit count, main's fileid:\n
info args
printf "length=%u\n", length
set $result = result
up 2
echo \n--- main's frame; fileid is uninitialised until calc_md5 stores its first word:\n
info locals
printf "result points at main's fileid: %s\n", $result == fileid ? "yes" : "no"
frame 0
finish
up
printf "fileid[0]=%u\n", fileid[0]

echo \n--- On to the wait for a key:\n
tbreak getchar
continue
echo \n--- Now the quit signal, as if Ctrl-\\ were pressed during the wait.\n
echo --- With -jit, crash_handler catches it; without, the process dies of it.\n
signal SIGQUIT
if $_isvoid($_exitsignal)
  echo \n--- In the handler. Below it, the getchar that the signal interrupted:\n
  bt
  echo \n--- Step with `next` to watch it format --pid=, fork, and name its child as\n
  echo --- its tracer; `kill` ends it here, before it starts a gdb of its own.\n
else
  echo \n--- No handler was installed: the signal had its default effect.\n
end
