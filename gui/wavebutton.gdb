# Lesson: the handlers of one button and one window, called from the main loop.
#   ./lab gdb wavebutton
# Close the window from the window manager, then click the button, and look at
# `bt` at each stop: gtk_main, the signal emission, the handler.

set pagination off
break delete_event
break hello
break destroy
run
