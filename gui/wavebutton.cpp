// wavebutton -- a window with one button, and the three signals that matter.
//
// A click on "Hello World" runs the button's two "clicked" handlers, in the
// order they were connected.  The window manager's close request arrives as
// "delete_event": what delete_event answers decides whether GTK destroys the
// window.  Break on each handler in gdb and look at `bt` to see the main loop
// calling it.

#include <gtk/gtk.h>

extern "C" {

void hello(GtkWidget *widget, gpointer data)
{
    (void)widget;
    (void)data;
    g_print("Hello World\n");
}

gint delete_event(GtkWidget *widget, GdkEvent *event, gpointer data)
{
    (void)widget;
    (void)event;
    (void)data;
    g_print("delete event occurred\n");
    return TRUE; // handled: the window stays
}

void destroy(GtkWidget *widget, gpointer data)
{
    (void)widget;
    (void)data;
    gtk_main_quit();
}

} // extern "C"

int main(int argc, char *argv[])
{
    GtkWidget *window;
    GtkWidget *button;

    gtk_init(&argc, &argv);

    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_signal_connect_full(GTK_OBJECT(window), "delete_event", G_CALLBACK(delete_event),
                            nullptr, nullptr, nullptr, FALSE, FALSE);
    gtk_signal_connect_full(GTK_OBJECT(window), "destroy", G_CALLBACK(destroy),
                            nullptr, nullptr, nullptr, FALSE, FALSE);
    gtk_container_set_border_width(GTK_CONTAINER(window), 10);

    button = gtk_button_new_with_label("Hello World");
    gtk_signal_connect_full(GTK_OBJECT(button), "clicked", G_CALLBACK(hello),
                            nullptr, nullptr, nullptr, FALSE, FALSE);
    // The object flag: gtk_widget_destroy gets the window, not the button.
    gtk_signal_connect_full(GTK_OBJECT(button), "clicked", G_CALLBACK(gtk_widget_destroy),
                            nullptr, GTK_OBJECT(window), nullptr, TRUE, FALSE);
    gtk_container_add(GTK_CONTAINER(window), button);

    gtk_widget_show(button);
    gtk_widget_show(window);

    gtk_main();

    return 0;
}
