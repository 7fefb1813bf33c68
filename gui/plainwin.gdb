# Lesson: a main loop that nothing ends.
#   ./lab gdb plainwin
# It stops as main enters gtk_main, before the window is on the screen.
# `continue`, and the window appears; close it from the window manager, press
# Ctrl-C here and type `bt`: the process is still in gtk_main, waiting for
# events.

set pagination off
break gtk_main
run
bt
echo \n--- main has shown the window (gtk_widget_show), yet it is not on the screen:\n
echo --- the request to map it waits in the connection to X, which the main loop\n
echo --- sends, and the main loop then draws the window when X asks it to. A picture\n
echo --- taken now shows no window. `continue`: it appears. Close it, then Ctrl-C\n
echo --- here and `bt`.\n
