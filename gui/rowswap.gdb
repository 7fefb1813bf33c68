# Lesson: the list's two handlers.
#   ./lab gdb rowswap
# Click an item, then release the right button over the list.

set pagination off
break sigh_print_selection
commands
  silent
  printf "selection_changed: %u item(s) selected\n", (unsigned) g_list_length(((GtkList *) gtklist)->selection)
  continue
end
break sigh_button_event
commands
  printf "button %d released (event type %d)\n", event->button, event->type
  print *event
end
run
