# Lesson: a main loop that nothing ends.
#   ./lab gdb plainwin
# Close the window, then press Ctrl-C here and type `bt`: the process is still
# in gtk_main, waiting for events.

set pagination off
break gtk_main
run
bt
echo \n--- The window is up; `continue`, close it, then Ctrl-C and `bt`.\n
