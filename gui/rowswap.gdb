# Lesson: the list's two handlers.
#   ./lab gdb rowswap
# Click an item, then release the right button over the list.
# sigh_print_selection runs at every change of the selection: each time, the
# lesson prints how many items are selected and goes on.  sigh_button_event
# runs at every button's release over the list, the left click that selects an
# item included: each time, the lesson prints the button, and stops only for
# the right button (3), the one that moves the selected item into the frame.

set pagination off
break sigh_print_selection
commands
  silent
  printf "selection_changed: %u item(s) selected\n", (unsigned) g_list_length(((GtkList *) gtklist)->selection)
  continue
end
break sigh_button_event
commands
  silent
  printf "button %d released (event type %d, GDK_BUTTON_RELEASE)\n", event->button, event->type
  if event->button != 3
    continue
  end
  echo --- The right button: `next` through the move; `print *event` shows the whole event.\n
  print *event
end
run
