// Vexel's archive viewer for GNOME Sushi 43 to 50, the previewer that GNOME
// Files opens with the space bar.
//
// Sushi loads every module of ~/.local/share/sushi/viewers/ that exports
// `mimeTypes`, and for a file of one of those types shows what `new
// Klass(file, fileInfo)` builds. This module's Klass is a web view showing
// the page that `vexel-quicklook --html` draws of the archive: the outline
// with its folders, sizes and dates, or the preview's own message for a
// damaged, encrypted or empty archive or a file that is not one. The page
// fills the window, takes the desktop's light or dark style, loads nothing
// from outside (its content security policy and this view's navigation
// policy), and is ready within the preview's time limit (3 s, the page
// 3.5 s after the request).
//
// Sushi 51 and later load plug-ins of another kind (GTK 4) from
// plugins-1/ folders: see ../../../lib/sushi/plugins-1/vexel.js.
//
// Installed by cmake --install as PREFIX/share/sushi/viewers/vexel.js, with
// the absolute path of the installed vexel-quicklook written in below.
// Sushi reads only the user's folder: for another prefix, link it there:
//   mkdir -p ~/.local/share/sushi/viewers
//   ln -sf PREFIX/share/sushi/viewers/vexel.js ~/.local/share/sushi/viewers/

const {Gdk, Gio, GLib, GObject} = imports.gi;

// Written by cmake --install; otherwise the program is looked up on PATH.
const INSTALLED_HOST = '@VEXEL_QUICKLOOK@';

// The rows the page holds: a window shows a few dozen, and WebKit takes
// seconds to lay out tens of thousands (the page says how many it leaves
// out); with 2,000 it is ready within the preview's 3.5 s.
const PAGE_ROWS = 2000;

// The content types of the archives the catalogue knows. Sushi chooses by
// type; application/octet-stream catches the volumes of split archives
// (name.002, name.r00, name.z01), which have no type of their own.
var mimeTypes = [
    'application/zip', 'application/x-zip-compressed', 'application/vnd.rar',
    'application/x-rar', 'application/x-rar-compressed', 'application/x-7z-compressed',
    'application/x-tar', 'application/gzip', 'application/x-gzip',
    'application/x-compressed-tar', 'application/x-bzip', 'application/x-bzip2',
    'application/x-bzip-compressed-tar', 'application/x-bzip1-compressed-tar',
    'application/x-bzip2-compressed-tar',
    'application/x-xz', 'application/x-xz-compressed-tar', 'application/zstd',
    'application/x-zstd-compressed-tar', 'application/x-lzma',
    'application/x-lzma-compressed-tar', 'application/vnd.ms-cab-compressed',
    'application/x-cd-image', 'application/x-iso9660-image', 'application/vnd.efi.iso',
    'application/x-arj',
    'application/x-lha', 'application/x-lzh-compressed', 'application/x-compress',
    'application/x-tarz', 'application/x-cpio', 'application/x-rpm',
    'application/vnd.debian.binary-package', 'application/x-deb', 'application/x-ms-wim',
    'application/x-xar', 'application/x-java-archive', 'application/java-archive',
    'application/octet-stream',
];

// The catalogue's test by name: one of its 26 extensions, or a volume
// suffix (.rNN, .zNN, .NNN; .partN.rar ends in .rar), letter case ignored.
const ARCHIVE_NAME = new RegExp(
    '\\.(zip|rar|7z|tar|gz|tgz|bz2|tbz|tbz2|xz|txz|zst|lzma|cab|iso|arj|lzh|lha|z|' +
    'cpio|rpm|deb|wim|xar|001|jar|[rz0-9][0-9][0-9])$', 'i');

// isArchiveName: whether the catalogue calls a file of this name an archive.
function isArchiveName(name) {
    return ARCHIVE_NAME.test(name);
}

// shows: whether this viewer shows a file, by its name and content type.
// Sushi also offers it files of types derived from an archive type (an
// OpenDocument or EPUB file is a ZIP file) and every file without a
// viewer of its own (application/octet-stream): those keep Sushi's own
// fallback view unless the catalogue calls them archives by name.
function shows(name, contentType) {
    if (isArchiveName(name))
        return true;
    return contentType !== 'application/octet-stream' && mimeTypes.includes(contentType);
}

// hostPath: the installed vexel-quicklook, else the one on PATH (null if none).
function hostPath() {
    if (!INSTALLED_HOST.startsWith('@') &&
        GLib.file_test(INSTALLED_HOST, GLib.FileTest.IS_EXECUTABLE))
        return INSTALLED_HOST;
    return GLib.find_program_in_path('vexel-quicklook');
}

// desktopColorScheme: 'dark' or 'light' as the desktop is set. Sushi draws
// its own window dark whatever the setting, and a web view follows the
// window, so the page is told.
function desktopColorScheme() {
    const source = Gio.SettingsSchemaSource.get_default();
    const schema = source ? source.lookup('org.gnome.desktop.interface', true) : null;
    if (!schema)
        return 'light';
    const settings = new Gio.Settings({settings_schema: schema});
    if (schema.has_key('color-scheme') && settings.get_string('color-scheme') === 'prefer-dark')
        return 'dark';
    return settings.get_string('gtk-theme').toLowerCase().endsWith('-dark') ? 'dark' : 'light';
}

function hostError(message) {
    return new GLib.Error(Gio.IOErrorEnum, Gio.IOErrorEnum.FAILED, message);
}

// Sushi's web view, or nothing where WebKit is missing (Sushi 50 runs
// without it): a module that failed to load would take every viewer with it.
let WebKit2 = null;
let Renderer = null;
let FallbackRenderer = null;
try {
    WebKit2 = imports.gi.WebKit2;
    Renderer = imports.ui.renderer;
    FallbackRenderer = imports.ui.fallbackRenderer;
} catch (e) {
    logError(e, 'Vexel: no web view, archives keep the fallback view');
    mimeTypes = [];
}

const ArchiveRenderer = WebKit2 === null ? null : GObject.registerClass({
    Implements: [Renderer.Renderer],
    Properties: {
        fullscreen: GObject.ParamSpec.boolean('fullscreen', '', '',
            GObject.ParamFlags.READABLE, false),
        ready: GObject.ParamSpec.boolean('ready', '', '',
            GObject.ParamFlags.READABLE, false),
    },
}, class VexelArchiveRenderer extends WebKit2.WebView {
    get ready() {
        return !!this._ready;
    }

    get fullscreen() {
        return !!this._fullscreen;
    }

    // Clicks open and close the page's folders instead of moving the window.
    get moveOnClick() {
        return false;
    }

    _init(file) {
        super._init({
            is_ephemeral: true,
            settings: new WebKit2.Settings({
                enable_javascript: true,
                javascript_can_open_windows_automatically: false,
                enable_plugins: false,
                enable_java: false,
                enable_html5_database: false,
                enable_html5_local_storage: false,
                enable_page_cache: false,
                allow_file_access_from_file_urls: false,
                allow_universal_access_from_file_urls: false,
            }),
        });
        this._path = file.get_path();
        this._cancellable = new Gio.Cancellable();
        this._process = null;
        // The page is the one document: it is loaded from a string (its
        // address is about:blank), and no link, form or script of it may
        // navigate elsewhere or open a window.
        this.connect('decide-policy', (view, decision, type) => {
            if (type === WebKit2.PolicyDecisionType.RESPONSE)
                decision.use();
            else if (type === WebKit2.PolicyDecisionType.NAVIGATION_ACTION &&
                     decision.get_navigation_action().get_request().get_uri() === 'about:blank')
                decision.use();
            else
                decision.ignore();
            return true;
        });
        this.connect('context-menu', () => true);
        this.connect('destroy', () => this._stop());

        this._settings = null;
        const source = Gio.SettingsSchemaSource.get_default();
        if (source && source.lookup('org.gnome.desktop.interface', true)) {
            this._settings = new Gio.Settings({schema_id: 'org.gnome.desktop.interface'});
            this._settingsChanged = this._settings.connect('changed', (settings, key) => {
                if (key === 'color-scheme' || key === 'gtk-theme')
                    this._show();
            });
        }

        // Ready at once, so that Sushi sizes its window now; the page
        // follows when the host has listed the archive.
        this._show();
        this._ready = true;
        this.notify('ready');
    }

    // Runs the host for the current colour scheme and loads its page.
    _show() {
        const host = hostPath();
        if (!host) {
            this.emit('error', hostError(
                'vexel-quicklook was not found; is Vexel installed, with its bin folder on PATH?'));
            return;
        }
        const scheme = desktopColorScheme();
        const background = new Gdk.RGBA();
        background.parse(scheme === 'dark' ? '#1e1e1e' : '#ffffff');
        this.set_background_color(background);

        this._stopHost();
        let process;
        try {
            process = Gio.Subprocess.new(
                [host, '--html', '--max-rows', `${PAGE_ROWS}`, '--fill-window',
                 `--color-scheme=${scheme}`, '--', this._path],
                Gio.SubprocessFlags.STDOUT_PIPE | Gio.SubprocessFlags.STDERR_PIPE);
        } catch (e) {
            this.emit('error', e);
            return;
        }
        this._process = process;
        process.communicate_utf8_async(null, this._cancellable, (source, result) => {
            let page, errors;
            try {
                [, page, errors] = source.communicate_utf8_finish(result);
            } catch (e) {
                if (!e.matches(Gio.IOErrorEnum, Gio.IOErrorEnum.CANCELLED))
                    this.emit('error', e);
                return;
            }
            if (this._process !== source)
                return;  // replaced by a later run
            this._process = null;
            if (!source.get_if_exited() || source.get_exit_status() !== 0) {
                const detail = (errors || '').trim().split('\n').slice(0, 3).join('\n');
                this.emit('error', hostError(detail || 'vexel-quicklook failed'));
                return;
            }
            this.load_html(page, null);
        });
    }

    _stopHost() {
        if (this._process !== null) {
            this._process.force_exit();
            this._process = null;
        }
    }

    _stop() {
        this._cancellable.cancel();
        this._stopHost();
        if (this._settings !== null) {
            this._settings.disconnect(this._settingsChanged);
            this._settings = null;
        }
    }
});

// Klass: what Sushi builds for a file of one of the types above: the
// archive view, or Sushi's fallback view for a file this viewer leaves to
// it (see `shows`) and for files that have no local path.
var Klass = function (file, fileInfo) {
    const name = (fileInfo && fileInfo.get_display_name()) || file.get_basename() || '';
    const type = (fileInfo && fileInfo.get_content_type()) || '';
    if (ArchiveRenderer === null || !file.get_path() || !shows(name, type))
        return new FallbackRenderer.FallbackRenderer(file, fileInfo);
    return new ArchiveRenderer(file, fileInfo);
};
