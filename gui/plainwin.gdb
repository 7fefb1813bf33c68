# Lesson: a main loop that nothing ends.
#   ./lab gdb plainwin
# It stops as main enters gtk_main; then it leaves the program to you: go on,
# close the window, interrupt the program and see where it waits. Without a
# display of your own, in ./lab xshell: `shell window close` at the prompt
# closes it. `explain` gives the lesson's reading of a stop, `onward` goes on.

set pagination off
break gtk_main
run

#: stop W1 main enters gtk_main
#| main has made the window and called gtk_widget_show. Is the window on the
#| screen now? Look at your display (or, in ./lab xshell, `shell window list`).
#|   bt      where main is
#: explain
echo --- main has shown the window (gtk_widget_show), yet it is not on the screen:\n
echo --- the request to map it waits in the connection to X, which the main loop\n
echo --- sends, and the main loop then draws the window when X asks it to. A picture\n
echo --- taken now shows no window.\n

#: stop W2 after the window has gone
#| Now `continue`: the window appears. Close it (in ./lab xshell: Ctrl-C,
#| `shell window close`, `continue`). Then press Ctrl-C here and look:
#|   bt      where is the program, with no window left?
#|   info inferiors, and in a shell: ps
#: explain
echo --- Closing the window destroyed it, and nothing ended the main loop: the\n
echo --- process sleeps in poll, called from the main loop (g_main_loop_run),\n
echo --- called from gtk_main, waiting for events that will never come.\n
