// A GTK module for window (./lab xshell), the tour and the GUI tests: loaded
// through GTK_MODULES, it changes nothing in the sample.  When a client
// changes the property _LAB_TREEDUMP on one of its windows, it writes to
// stderr (or, where LAB_TREEDUMP_DIR names a folder, to the file named by the
// process's id there), between "treedump: begin" and "treedump: end":
//
//   tree <indent><type> <properties>     every widget of every shown toplevel
//   item <n> <y> <selected> <label>|<description>   the list's items, in order
//   prisoner <label>|<description>       the frame's list item, if any
//   view <top> <bottom>                  the list's visible band
//   button <x> <y>                       the centre of the window's button
//
// Coordinates are those of the toplevel window, for pointer input.  The
// request is an X event like the pointer's own, so the dump comes after every
// click that the test made before it.

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

namespace {

void out(const char *format, ...) G_GNUC_PRINTF(1, 2);

// Where the dumps go: stderr, or the process's own file in LAB_TREEDUMP_DIR.
FILE *sink()
{
    static FILE *file = nullptr;
    const char *dir = getenv("LAB_TREEDUMP_DIR");
    if (file == nullptr && dir != nullptr && *dir != '\0') {
        gchar *name = g_strdup_printf("%s/%d", dir, static_cast<int>(getpid()));
        file = fopen(name, "a");
        g_free(name);
    }
    return file != nullptr ? file : stderr;
}

void out(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("treedump: ", sink());
    vfprintf(sink(), format, args);
    fputc('\n', sink());
    va_end(args);
}

const char *item_label(GtkWidget *item)
{
    GtkWidget *child = gtk_bin_get_child(GTK_BIN(item));
    return GTK_IS_LABEL(child) ? gtk_label_get_text(GTK_LABEL(child)) : "?";
}

const char *item_description(GtkWidget *item)
{
    auto *text = static_cast<const char *>(g_object_get_data(G_OBJECT(item), "list_item_data"));
    return text != nullptr ? text : "(none)";
}

void describe(GtkWidget *w, int depth)
{
    GString *line = g_string_new(nullptr);
    g_string_append_printf(line, "tree %*s%s", depth * 2, "", G_OBJECT_TYPE_NAME(w));
    gint width, height;
    gtk_widget_get_size_request(w, &width, &height);
    if (width != -1 || height != -1)
        g_string_append_printf(line, " size=%dx%d", width, height);
    if (GTK_IS_CONTAINER(w) && gtk_container_get_border_width(GTK_CONTAINER(w)) != 0)
        g_string_append_printf(line, " border=%u", gtk_container_get_border_width(GTK_CONTAINER(w)));
    if (GTK_IS_WINDOW(w))
        g_string_append_printf(line, " title=%s", gtk_window_get_title(GTK_WINDOW(w))
                                                      ? gtk_window_get_title(GTK_WINDOW(w))
                                                      : "(none)");
    if (GTK_IS_BOX(w))
        g_string_append_printf(line, " homogeneous=%d spacing=%d",
                               gtk_box_get_homogeneous(GTK_BOX(w)), gtk_box_get_spacing(GTK_BOX(w)));
    if (GTK_IS_FRAME(w))
        g_string_append_printf(line, " label=%s shadow=%d", gtk_frame_get_label(GTK_FRAME(w)),
                               gtk_frame_get_shadow_type(GTK_FRAME(w)));
    if (GTK_IS_LABEL(w))
        g_string_append_printf(line, " text=%s", gtk_label_get_text(GTK_LABEL(w)));
    if (GTK_IS_LIST(w))
        g_string_append_printf(line, " selection_mode=%d", GTK_LIST(w)->selection_mode);
    if (GTK_IS_LIST_ITEM(w))
        g_string_append_printf(line, " description=%s", item_description(w));
    out("%s", line->str);
    g_string_free(line, TRUE);

    if (GTK_IS_CONTAINER(w)) {
        // forall, not foreach: a frame's label is one of its children too
        struct Walk { int depth; };
        Walk walk{depth + 1};
        gtk_container_forall(GTK_CONTAINER(w), [](GtkWidget *child, gpointer data) {
            describe(child, static_cast<Walk *>(data)->depth);
        }, &walk);
    }
}

GtkWidget *find(GtkWidget *w, GType type)
{
    if (G_TYPE_CHECK_INSTANCE_TYPE(w, type))
        return w;
    GtkWidget *found = nullptr;
    if (GTK_IS_CONTAINER(w)) {
        GList *children = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList *c = children; c != nullptr && found == nullptr; c = c->next)
            found = find(GTK_WIDGET(c->data), type);
        g_list_free(children);
    }
    return found;
}

void list_state(GtkWidget *toplevel)
{
    GtkWidget *list = find(toplevel, GTK_TYPE_LIST);
    if (list == nullptr)
        return;
    GtkWidget *view = gtk_widget_get_ancestor(list, GTK_TYPE_VIEWPORT);
    gint x, y;
    gtk_widget_translate_coordinates(view, toplevel, 0, 0, &x, &y);
    out("view %d %d", y, y + view->allocation.height);

    GList *items = gtk_container_get_children(GTK_CONTAINER(list));
    int n = 0;
    for (GList *c = items; c != nullptr; c = c->next, n++) {
        GtkWidget *item = GTK_WIDGET(c->data);
        gtk_widget_translate_coordinates(item, toplevel, item->allocation.width / 2,
                                         item->allocation.height / 2, &x, &y);
        out("item %d %d %d %s|%s", n, y, g_list_find(GTK_LIST(list)->selection, item) != nullptr,
            item_label(item), item_description(item));
    }
    g_list_free(items);

    GtkWidget *frame = find(toplevel, GTK_TYPE_FRAME);
    GtkWidget *prisoner = frame != nullptr ? gtk_bin_get_child(GTK_BIN(frame)) : nullptr;
    if (prisoner != nullptr)
        out("prisoner %s|%s", item_label(prisoner), item_description(prisoner));
}

void dump()
{
    out("begin");
    GList *toplevels = gtk_window_list_toplevels();
    for (GList *t = toplevels; t != nullptr; t = t->next) {
        GtkWidget *w = GTK_WIDGET(t->data);
        if (GTK_WIDGET_VISIBLE(w)) {
            describe(w, 0);
            list_state(w);
            if (GtkWidget *button = find(w, GTK_TYPE_BUTTON)) {
                gint x, y;
                gtk_widget_translate_coordinates(button, w, button->allocation.width / 2,
                                                 button->allocation.height / 2, &x, &y);
                out("button %d %d", x, y);
            }
        }
    }
    g_list_free(toplevels);
    out("end");
    fflush(sink());
}

GdkFilterReturn on_x_event(GdkXEvent *xevent, GdkEvent *, gpointer)
{
    auto *ev = static_cast<XEvent *>(xevent);
    if (ev->type == PropertyNotify &&
        ev->xproperty.atom == gdk_x11_get_xatom_by_name("_LAB_TREEDUMP"))
        dump();
    return GDK_FILTER_CONTINUE;
}

} // namespace

extern "C" G_MODULE_EXPORT void gtk_module_init(gint *, gchar ***)
{
    gdk_window_add_filter(nullptr, on_x_event, nullptr);
}
