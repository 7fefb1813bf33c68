// plainwin -- the smallest GTK+ 2 program: one empty window and the main loop.
//
// Close the window from the window manager, then look for the process with
// `ps`.  In gdb, interrupt it and `bt` to see where it is.

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
