# Lesson: the handlers of one button and one window, called from the main loop.
#   ./lab gdb wavebutton
# It stops in each handler as the main loop calls it: close the window first,
# then click the button. Without a display of your own, in ./lab xshell:
# Ctrl-C, `shell window close` (or `shell window click "Hello World"`), then
# `continue`: X keeps the click until the program reads it. `explain` gives
# the lesson's reading of a stop, `onward` goes on.

set pagination off
break delete_event
break hello
break destroy

#: stop W3 a close request
#| Close the window from the window manager (in ./lab xshell: Ctrl-C, then
#| `shell window close`, then `continue`). The program runs until then.
run
#| You are in delete_event. What will it answer?   finish   shows its value.
#| `onward` lets the program go on: does the window stay?
#: explain
echo --- The close request arrives as the "delete_event" signal. delete_event prints\n
echo --- its line and returns TRUE: "handled", so GTK does not destroy the window.\n

#: stop W3 a click on the button
#| Click "Hello World" (in ./lab xshell: `shell window click "Hello World"`).
continue
#| gdb stopped in the handler that the main loop called (hello, for a click):
#|   bt      which frames lie between gtk_main and it?
#| Then `continue`: which handler comes next, and how does the program end?
#: explain
bt
echo --- The click is the button's release event, handled in gtk_main_do_event:\n
echo --- GTK emits "released", then "clicked" (g_signal_emit, g_closure_invoke),\n
echo --- whose first handler is hello. The second destroys the window, whose\n
echo --- "destroy" runs destroy: gtk_main_quit ends the main loop, main returns 0.\n
