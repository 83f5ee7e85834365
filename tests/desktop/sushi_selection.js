// Which view Sushi 43 chooses for files, with the viewers the user has
// installed: Sushi's own modules (from its resource bundle) and its own
// choice (ui/mimeHandler.js getKlass), without a window.
//
//   gjs sushi_selection.js RESOURCE_DIR TYPELIB_DIR CASES.json
//
// CASES.json: [[name, contentType], ...]. Prints one JSON array: for each
// case, whether Vexel's viewer shows the file (Sushi chose its Klass, and
// the Klass keeps it rather than handing it to Sushi's fallback view).
// Needs a display: some of Sushi's viewers make GTK styles when loaded.
const {Gio, GLib, GIRepository} = imports.gi;

const [resourceDir, typelibDir, casesFile] = ARGV;
for (const part of ['src', 'data'])
    Gio.Resource.load(`${resourceDir}/org.gnome.NautilusPreviewer.${part}.gresource`)._register();
imports.searchPath.unshift('resource:///org/gnome/NautilusPreviewer/js');
// The versions Sushi's own start-up asks for.
Object.assign(imports.gi.versions, {
    Gdk: '3.0', GdkPixbuf: '2.0', Gtk: '3.0', GtkSource: '4', Soup: '3.0', WebKit2: '4.1',
    EvinceDocument: '3.0', EvinceView: '3.0', Gst: '1.0', GstTag: '1.0',
});
GIRepository.Repository.prepend_search_path(typelibDir);
GIRepository.Repository.prepend_library_path(GLib.path_get_dirname(typelibDir));

const MimeHandler = imports.ui.mimeHandler;
const viewer = imports.viewers.vexel;
const [, bytes] = GLib.file_get_contents(casesFile);
const cases = JSON.parse(new TextDecoder().decode(bytes));
print(JSON.stringify(cases.map(([name, type]) =>
    MimeHandler.getKlass(type) === viewer.Klass && viewer.shows(name, type))));
