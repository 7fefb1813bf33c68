# Lesson: the crash trap, from the file id to the just-in-time handler.
#   ./lab gdb snagbox -jit        (also snagbox-r1, snagbox-r2)
# It stops in the placeholder digest routine and looks at what main handed it;
# then, at the wait for a key, it delivers the signal that the terminal's quit
# key (Ctrl-\) would send, and follows the handler up to the point where it
# would start a debugger of its own.

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
echo \n--- main's frame. main never initialises fileid: its four words hold whatever\n
echo --- the stack held there, left by the code that ran before main. Nothing to rely on:\n
info locals
printf "result points at main's fileid: %s\n", $result == fileid ? "yes" : "no"
frame 0
finish
up
echo --- calc_md5 has returned; it stored the first word, and only that one:\n
printf "fileid[0]=%u\n", fileid[0]
echo --- fileid[1] to fileid[3] are still the stack's leftovers:\n
output fileid
echo \n

echo \n--- On to the wait for a key:\n
tbreak getchar
continue
echo \n--- Now the quit signal, as if Ctrl-\\ were pressed during the wait.\n
echo --- With -jit, crash_handler catches it; without, the process dies of it.\n
signal SIGQUIT
if $_isvoid($_exitsignal)
  echo \n--- In the handler. Below it, the getchar that the signal interrupted:\n
  bt
  echo \n--- On to the pipe that holds the child back: the handler has formatted the\n
  echo --- argument it will give gdb by then, and from revision 3 on written it out.\n
  tbreak pipe2
  continue
  up
  printf "pid_str holds \"%s\": len=%u characters, then pid_str[len]=%d, a NUL\n", pid_str, len, pid_str[len]
  if SNAGBOX_REVISION >= 3
    echo --- show_pid_arg wrote len + 1 bytes to standard output (the line above that\n
    echo --- starts with --pid=): the text and that NUL, and no newline. The line break\n
    echo --- after it is gdb's own, before its stop report; after the real hand-off, the\n
    echo --- debugger's banner runs on from the same line: --pid=N, the NUL, GNU gdb ...\n
  else
    echo --- Revision 2 writes nothing: show_pid_arg keeps the pid to itself.\n
  end
  echo \n--- `next` from here makes the pipe, forks, and names the child as the process's\n
  echo --- tracer; `kill` ends the process before it starts a gdb of its own.\n
else
  echo \n--- No handler was installed: the signal had its default effect.\n
end
