// plainwin -- the smallest GTK+ 2 program: one empty window and the main loop.
//
// Nothing here ends the main loop.  Close the window from the window manager:
// GTK destroys it, but the process runs on without a window (look for it with
// `ps`, stop it with Ctrl-C).  In gdb, interrupt it and `bt`: it sits in
// gtk_main, waiting for events that will never come.

#include <gtk/gtk.h>

int main(int argc, char *argv[])
{
    GtkWidget *window;

    gtk_init(&argc, &argv);

    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_show(window);

    gtk_main();

    return 0;
}
