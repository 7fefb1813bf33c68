# Lesson: the crash trap, from the file id to the just-in-time handler.
#   ./lab gdb snagbox -jit        (also snagbox-r2 -jit, snagbox-r1, snagbox)
# It stops in the placeholder digest routine; then, at the wait for a key, it
# delivers the signal that the terminal's quit key (Ctrl-\) would send and
# stops in the handler, where there is one; last, it follows the handler up to
# the point where it would start a debugger of its own. Each stop names its
# question and what helps; `explain` gives the lesson's reading, `onward` goes
# on. (gdb shows a stop's arguments as "..." here: finding them is yours.)

set pagination off
set breakpoint pending on
break calc_md5
# Revision 1 has no handler; the breakpoint then stays pending and never hits.
break crash_handler
set print frame-arguments presence
run
set print frame-arguments scalars

#: stop C3 what main hands calc_md5
#| calc_md5 has been called:   bt   shows by whom.
#|   info args               its three arguments; the length is a 32-bit count
#|   up 2                    main's frame:  print fileid, print &fileid
#|   frame 0, finish         let calc_md5 run; then up and print fileid again
#| Which of fileid's words does calc_md5 store? (set them first, with
#| set var fileid[1] = 1 and so on, to see a store of a value they held)
#: explain
python
if gdb.newest_frame().name() != "calc_md5":
    raise gdb.GdbError("The reading needs the stop as it was: in calc_md5 (`lesson` starts again).")
end
frame 0
echo --- calc_md5 was called from get_file_id, from main:\n
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

#: stop C4 the quit signal, at the wait for a key
tbreak getchar
continue
set print frame-arguments presence
signal SIGQUIT
set print frame-arguments scalars
if $_isvoid($_exitsignal)
  echo \n--- The lesson has sent SIGQUIT, as if Ctrl-\\ were pressed during the wait.\n
  echo --- With -jit, crash_handler has caught it: you are in the handler.\n
  echo ---   print sig     the signal's number\n
  echo ---   bt            the frames below the handler: what was interrupted?\n
else
  echo \n--- The lesson has sent SIGQUIT, as if Ctrl-\\ were pressed during the wait.\n
  echo --- No handler was installed (without -jit, or in revision 1): what became of\n
  echo --- the process? That is question C6.\n
end
#: explain
if $_isvoid($_exitsignal)
  echo \n--- In the handler. Below it, the getchar that the signal interrupted:\n
  bt
else
  echo \n--- No handler was installed: the signal had its default effect.\n
end

#: stop C5 what the handler writes
if $_isvoid($_exitsignal)
  tbreak pipe2
  continue
  up
  echo \n--- On at the pipe that holds the child back: the handler has formatted the\n
  echo --- argument it gives gdb, and from revision 3 on written it out.\n
  echo ---   print pid_str     print len     print pid_str[len]\n
  echo ---   x/16xb pid_str    every byte of it\n
else
  echo --- (no handler: nothing to follow)\n
end
#: explain
if $_isvoid($_exitsignal)
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
end
