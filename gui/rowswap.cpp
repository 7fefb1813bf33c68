// rowswap -- a list, its selection, and a frame that takes the selected item.
//
// Every change of the list's selection prints the descriptions of the selected
// items.  Releasing the right mouse button over the list moves the selected
// item into the "Prison" frame, and sends the item that was there back into
// the list.  Each item carries its description as object data under
// list_item_data_key: see what each of the two loops that make the items
// stores there.
//
// In gdb: break sigh_button_event, right-click an item, and step through the
// move; `print *event` shows the release, `print ((GtkList *)gtklist)->selection`
// the selection it reads.

#include <cstdio>

#include <gtk/gtk.h>

extern "C" {

const gchar *list_item_data_key = "list_item_data";

static void sigh_print_selection(GtkWidget *gtklist, gpointer func_data)
{
    (void)func_data;
    GList *dlist = GTK_LIST(gtklist)->selection;

    if (dlist == nullptr) {
        g_print("Selection cleared\n");
        return;
    }
    g_print("The selection is a ");
    while (dlist != nullptr) {
        const gchar *item_data_string = static_cast<const gchar *>(
            gtk_object_get_data(GTK_OBJECT(dlist->data), list_item_data_key));
        g_print("%s ", item_data_string);
        dlist = dlist->next;
    }
    g_print("\n");
}

// Always FALSE: the list goes on to handle the release itself, which is how a
// left click selects.
static gboolean sigh_button_event(GtkWidget *gtklist, GdkEventButton *event, GtkWidget *frame)
{
    if (event->type != GDK_BUTTON_RELEASE || event->button != 3)
        return FALSE;

    GList *dlist = GTK_LIST(gtklist)->selection;
    GtkWidget *new_prisoner = dlist != nullptr ? GTK_WIDGET(dlist->data) : nullptr;

    // Release the old prisoner.  The frame's children include its own
    // "Prison" label: only a list item goes back into the list.
    GList *free_list = gtk_container_get_children(GTK_CONTAINER(frame));
    for (GList *child = free_list; child != nullptr; child = child->next) {
        if (GTK_IS_LIST_ITEM(child->data))
            gtk_widget_reparent(GTK_WIDGET(child->data), gtklist);
    }
    g_list_free(free_list);

    if (new_prisoner != nullptr) {
        gtk_list_unselect_child(GTK_LIST(gtklist), new_prisoner);
        gtk_widget_reparent(new_prisoner, frame);
    }
    return FALSE;
}

} // extern "C"

int main(int argc, char *argv[])
{
    GtkWidget *separator;
    GtkWidget *window;
    GtkWidget *vbox;
    GtkWidget *scrolled_window;
    GtkWidget *frame;
    GtkWidget *gtklist;
    GtkWidget *button;
    GtkWidget *list_item;
    GtkWidget *label;
    GList *dlist;
    guint i;
    gchar buffer[64];
    gchar *string;

    gtk_init(&argc, &argv);

    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "GtkList Example");
    gtk_signal_connect_full(GTK_OBJECT(window), "destroy", G_CALLBACK(gtk_main_quit),
                            nullptr, nullptr, nullptr, FALSE, FALSE);

    vbox = gtk_vbox_new(FALSE, 5);
    gtk_container_set_border_width(GTK_CONTAINER(vbox), 5);
    gtk_container_add(GTK_CONTAINER(window), vbox);
    gtk_widget_show(vbox);

    scrolled_window = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_widget_set_usize(scrolled_window, 250, 150);
    gtk_container_add(GTK_CONTAINER(vbox), scrolled_window);
    gtk_widget_show(scrolled_window);

    gtklist = gtk_list_new();
    gtk_scrolled_window_add_with_viewport(GTK_SCROLLED_WINDOW(scrolled_window), gtklist);
    gtk_widget_show(gtklist);
    gtk_signal_connect_full(GTK_OBJECT(gtklist), "selection_changed",
                            G_CALLBACK(sigh_print_selection), nullptr, nullptr, nullptr,
                            FALSE, FALSE);

    frame = gtk_frame_new("Prison");
    gtk_widget_set_usize(frame, 200, 50);
    gtk_container_set_border_width(GTK_CONTAINER(frame), 5);
    gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_OUT);
    gtk_container_add(GTK_CONTAINER(vbox), frame);
    gtk_widget_show(frame);
    gtk_signal_connect_full(GTK_OBJECT(gtklist), "button_release_event",
                            G_CALLBACK(sigh_button_event), nullptr, frame, nullptr,
                            FALSE, FALSE);

    separator = gtk_hseparator_new();
    gtk_container_add(GTK_CONTAINER(vbox), separator);
    gtk_widget_show(separator);

    button = gtk_button_new_with_label("Close");
    gtk_container_add(GTK_CONTAINER(vbox), button);
    gtk_widget_show(button);
    gtk_signal_connect_full(GTK_OBJECT(button), "clicked", G_CALLBACK(gtk_widget_destroy),
                            nullptr, GTK_OBJECT(window), nullptr, TRUE, FALSE);

    // Items 0 to 4: an empty list item with a label put into it; the
    // description is the label's own text.
    for (i = 0; i < 5; i++) {
        sprintf(buffer, "ListItemContainer with Label #%d", i);
        label = gtk_label_new(buffer);
        list_item = gtk_list_item_new();
        gtk_container_add(GTK_CONTAINER(list_item), label);
        gtk_widget_show(label);
        gtk_container_add(GTK_CONTAINER(gtklist), list_item);
        gtk_widget_show(list_item);
        gtk_label_get(GTK_LABEL(label), &string);
        // The label replaces its text buffer when it is moved to another
        // parent, so the item keeps a copy of its own, freed with the item.
        gtk_object_set_data_full(GTK_OBJECT(list_item), list_item_data_key, g_strdup(string),
                                 g_free);
    }

    // Items 5 to 9: made with their label, collected at the front of a chain
    // and appended in one go, so they stand in the list as 9, 8, 7, 6, 5.
    dlist = nullptr;
    for (; i < 10; i++) {
        sprintf(buffer, "List Item with Label %d", i);
        list_item = gtk_list_item_new_with_label(buffer);
        dlist = g_list_prepend(dlist, list_item);
        gtk_widget_show(list_item);
        gtk_object_set_data(GTK_OBJECT(list_item), list_item_data_key,
                            const_cast<gchar *>("ListItem with integrated Label"));
    }
    gtk_list_append_items(GTK_LIST(gtklist), dlist); // the list owns the chain now

    gtk_widget_show(window);

    gtk_main();

    return 0;
}
