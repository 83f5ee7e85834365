// Plays GNOME Sushi 51 for Vexel's plug-in: loads the plug-in module the way
// Sushi does (an ES module importing the plug-in API from Sushi's resources,
// here the stand-in beside this file), asks it which content types it takes,
// and shows each archive in a GTK 4 window, in light and then dark style.
// Prints one JSON object: for each file, what the page's DOM shows.
//
//   gjs -m host.js RESOURCE_BUNDLE PLUGIN OUT.json FILE...
//
// Needs a display (Xvfb) and WebKit 6.0.
import Adw from 'gi://Adw';
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Gtk from 'gi://Gtk?version=4.0';
import System from 'system';

const [bundle, pluginPath, outPath, ...files] = ARGV;
Gio.Resource.load(bundle)._register();
const api = await import('resource://org/gnome/NautilusPreviewer/plugin-api-1.js');
// gjs 1.82 takes the bytes of a file: URI's escapes for Latin-1 characters,
// so it cannot import a module whose path is not ASCII (the test's prefix
// has Chinese characters): such a plug-in is imported through a link at an
// ASCII path, removed once the module is loaded.
let link = null;
if (/[^\x20-\x7e]/.test(pluginPath)) {
    const folder = GLib.dir_make_tmp('vexel-plugin-XXXXXX');
    link = Gio.File.new_for_path(GLib.build_filenamev([folder, 'vexel.js']));
    link.make_symbolic_link(pluginPath, null);
}
const plugin = await import((link ?? Gio.File.new_for_path(pluginPath)).get_uri());
if (link) {
    link.delete(null);
    link.get_parent().delete(null);
}
const WebKit = (await import('gi://WebKit?version=6.0')).default;

Adw.init();
const styles = Adw.StyleManager.get_default();

const wait = (test, seconds) => new Promise((resolve, reject) => {
    const deadline = GLib.get_monotonic_time() + seconds * 1000000;
    GLib.timeout_add(GLib.PRIORITY_DEFAULT, 50, () => {
        let value = null;
        try {
            value = test();
        } catch (e) {
            reject(e);
            return GLib.SOURCE_REMOVE;
        }
        if (value) {
            resolve(value);
            return GLib.SOURCE_REMOVE;
        }
        if (GLib.get_monotonic_time() > deadline) {
            resolve(null);
            return GLib.SOURCE_REMOVE;
        }
        return GLib.SOURCE_CONTINUE;
    });
});

const findWebView = widget => {
    if (widget instanceof WebKit.WebView)
        return widget;
    for (let child = widget.get_first_child(); child; child = child.get_next_sibling()) {
        const found = findWebView(child);
        if (found)
            return found;
    }
    return null;
};

// What the page shows, read from its DOM.
const PAGE_FACTS = `JSON.stringify({
    scheme: document.querySelector('meta[name="color-scheme"]').content,
    title: document.getElementById('title').textContent,
    subtitle: document.getElementById('subtitle').textContent,
    footer: document.getElementById('footer-label').textContent,
    message: document.getElementById('message').hidden ? null
        : document.getElementById('message').textContent,
    rows: Array.from(document.querySelectorAll('.row')).map(
        row => row.querySelector('[data-column="name"] .text').getAttribute('title')),
    width: document.getElementById('preview').getBoundingClientRect().width,
    windowWidth: window.innerWidth,
})`;

const evaluate = (view, script) => new Promise((resolve, reject) => {
    view.evaluate_javascript(script, -1, null, null, null, (source, result) => {
        try {
            resolve(source.evaluate_javascript_finish(result).to_string());
        } catch (e) {
            reject(e);
        }
    });
});

const pageFacts = async (view, scheme) => {
    const loaded = await wait(() => !view.is_loading && view.get_uri() === 'about:blank' &&
        view.title !== null, 20);
    if (!loaded)
        return null;
    // After a change of style the page is loaded again: wait for its scheme.
    let facts = null;
    await wait(() => {
        evaluate(view, PAGE_FACTS).then(text => {
            facts = JSON.parse(text);
        }).catch(() => {});
        return facts && facts.scheme === scheme;
    }, 20);
    return facts;
};

const main = async () => {
    const result = {types: {}, files: {}};
    for (const type of ['application/zip', 'application/x-7z-compressed',
        'application/x-compressed-tar', 'application/vnd.debian.binary-package',
        'application/epub+zip', 'application/vnd.oasis.opendocument.text', 'text/plain',
        'application/octet-stream'])
        result.types[type] = plugin.supportsContentType(type);

    for (const path of files) {
        const file = Gio.File.new_for_path(path);
        const info = file.query_info('standard::*', Gio.FileQueryInfoFlags.NONE, null);
        const renderer = new plugin.Klass(file, info);
        const errors = [];
        renderer.connect('error', (_renderer, error) => errors.push(error.message));
        const window = new Gtk.Window({default_width: 900, default_height: 600});
        window.set_child(renderer);
        window.present();
        const view = findWebView(renderer);
        styles.color_scheme = Adw.ColorScheme.FORCE_LIGHT;
        const light = await pageFacts(view, 'light');
        styles.color_scheme = Adw.ColorScheme.FORCE_DARK;
        const dark = await pageFacts(view, 'dark');
        result.files[path] = {ready: api.isReady(renderer), errors, light, dark};
        renderer.stop();
        renderer.cleanup();
        window.destroy();
    }
    GLib.file_set_contents(outPath, JSON.stringify(result));
};

// gjs runs the main loop while the module awaits (promises run from it; a
// GLib.MainLoop of our own would hold them back).
try {
    await main();
} catch (e) {
    printerr(`${e}\n${e.stack}`);
    System.exit(1);
}
