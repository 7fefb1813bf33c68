# Lesson: the list's two handlers.
#   ./lab gdb rowswap
# sigh_print_selection runs at every change of the selection: each time, the
# lesson prints how many items are selected and goes on. It stops in
# sigh_button_event, at every button's release over the list: find out which
# releases come there. Without a display of your own, in ./lab xshell: Ctrl-C,
# `shell window click "List Item with Label 7"` (or right-click), `continue`.
# `explain` gives the lesson's reading of a stop, `onward` goes on.

set pagination off
break sigh_print_selection
commands
  silent
  printf "selection_changed: %u item(s) selected\n", (unsigned) g_list_length(((GtkList *) gtklist)->selection)
  continue
end
break sigh_button_event

#: stop W5 a button released over the list
#| Click an item of the list (in ./lab xshell: Ctrl-C, then
#| `shell window click "List Item with Label 7"`, then `continue`).
run
#| You are in sigh_button_event. Which button was released, and what kind of
#| event is it?   print event->button     print event->type    print *event
#| `continue`, then try the other buttons (the right one: in ./lab xshell
#| `shell window right-click ...`). Which releases come here, and which one
#| moves the selected item into the frame?
#: explain
printf "button %d released (event type %d)\n", event->button, event->type
echo --- Every button's release over the list reaches sigh_button_event, the left\n
echo --- click that selects included; the handler acts only on button 3, the right\n
echo --- one, and only on a release: GDK_BUTTON_RELEASE.\n
