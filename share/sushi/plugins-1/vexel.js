// Vexel's archive viewer for GNOME Sushi 51 and later (GTK 4), the
// previewer that GNOME Files opens with the space bar.
//
// Sushi loads every module of its plug-in folders (PREFIX/lib/sushi/plugins-1
// of Sushi's own prefix, and ~/.local/share/sushi/plugins-1) and builds the
// `Klass` of the one that takes the file's content type, through the stable
// plug-in API. This one shows the page that `vexel-quicklook --html
// --fill-window` draws of the archive in a web view: the outline, or the
// preview's own message for a damaged, encrypted or empty archive or a file
// that is not one, in Sushi's light or dark style (which follows the
// desktop). The page loads nothing from outside (its content security policy
// and this view's navigation policy) and is ready within the preview's time
// limit. Sushi 43 to 50 load viewers of another kind: see
// share/sushi/viewers/vexel.js.
//
// Installed by cmake --install with the absolute path of the installed
// vexel-quicklook written in below.

import Adw from 'gi://Adw';
import Gdk from 'gi://Gdk?version=4.0';
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import GObject from 'gi://GObject';
import Gtk from 'gi://Gtk?version=4.0';

import {Renderer, ResizePolicy} from 'resource://org/gnome/NautilusPreviewer/plugin-api-1.js';

// The web view, where WebKit is installed (Sushi runs without it).
let WebKit = null;
try {
    WebKit = (await import('gi://WebKit?version=6.0')).default;
} catch (e) {
    console.warn(`Vexel: no web view, archives keep Sushi's own view: ${e}`);
}

// Written by cmake --install; otherwise the program is looked up on PATH.
const INSTALLED_HOST = '@VEXEL_QUICKLOOK@';

// The rows the page holds: a window shows a few dozen, and WebKit takes
// seconds to lay out tens of thousands (the page says how many it leaves
// out); with 2,000 it is ready within the preview's 3.5 s.
const PAGE_ROWS = 2000;

// The content types of the archives the catalogue knows. Only these exact
// types: Sushi would otherwise also offer types derived from them (an
// OpenDocument or EPUB file is a ZIP file), which keep Sushi's own views.
// Volumes of split archives have no type of their own here, and the plug-in
// API offers no way to leave a file to Sushi's own view by its name.
const ARCHIVE_TYPES = new Set([
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
]);

/** @param {string} contentType */
export const supportsContentType = contentType =>
    WebKit !== null && ARCHIVE_TYPES.has(contentType);

/** The installed vexel-quicklook, else the one on PATH (null if none). */
const hostPath = () => {
    if (!INSTALLED_HOST.startsWith('@') &&
        GLib.file_test(INSTALLED_HOST, GLib.FileTest.IS_EXECUTABLE))
        return INSTALLED_HOST;
    return GLib.find_program_in_path('vexel-quicklook');
};

const hostError = message =>
    new GLib.Error(Gio.IOErrorEnum, Gio.IOErrorEnum.FAILED, message);

Gio._promisify(Gio.Subprocess.prototype, 'communicate_utf8_async', 'communicate_utf8_finish');

export const Klass = WebKit === null ? undefined : class VexelArchiveRenderer extends Gtk.Box {
    static {
        GObject.registerClass({Implements: [Renderer]}, this);
    }

    constructor(file, _fileInfo, constructProperties = {}) {
        super(constructProperties);
        this._path = file.get_path();
        this._process = null;

        const settings = new WebKit.Settings({
            enable_javascript: true,
            javascript_can_open_windows_automatically: false,
            enable_html5_database: false,
            enable_html5_local_storage: false,
            enable_page_cache: false,
            allow_file_access_from_file_urls: false,
            allow_universal_access_from_file_urls: false,
        });
        this._webView = new WebKit.WebView({
            settings,
            network_session: WebKit.NetworkSession.new_ephemeral(),
            hexpand: true,
            vexpand: true,
        });
        // The page is the one document: it is loaded from a string (its
        // address is about:blank), and no link, form or script of it may
        // navigate elsewhere or open a window.
        this._webView.connect('decide-policy', (view, decision, type) => {
            if (type === WebKit.PolicyDecisionType.RESPONSE)
                decision.use();
            else if (type === WebKit.PolicyDecisionType.NAVIGATION_ACTION &&
                     decision.get_navigation_action().get_request().get_uri() === 'about:blank')
                decision.use();
            else
                decision.ignore();
            return true;
        });
        this._webView.connect('context-menu', () => true);
        this.append(this._webView);

        // Sushi's style follows the desktop's light or dark setting.
        this._styleManager = Adw.StyleManager.get_default();
        this._styleChanged = this._styleManager.connect('notify::dark', () => this._show());

        this.markReady();
        this._show();
    }

    get resizePolicy() {
        return ResizePolicy.MAX_SIZE;
    }

    stop() {
        this._stopHost();
    }

    cleanup() {
        this._stopHost();
        if (this._styleChanged) {
            this._styleManager.disconnect(this._styleChanged);
            this._styleChanged = 0;
        }
    }

    _stopHost() {
        if (this._process !== null) {
            this._process.force_exit();
            this._process = null;
        }
    }

    // Runs the host for the current style and loads its page.
    async _show() {
        const host = hostPath();
        if (!host || !this._path) {
            this.emit('error', hostError(host
                ? 'This file has no local path.'
                : 'vexel-quicklook was not found; is Vexel installed, with its bin folder on PATH?'));
            return;
        }
        const scheme = this._styleManager.dark ? 'dark' : 'light';
        const background = new Gdk.RGBA();
        background.parse(scheme === 'dark' ? '#1e1e1e' : '#ffffff');
        this._webView.set_background_color(background);

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
        let page, errors;
        try {
            [page, errors] = await process.communicate_utf8_async(null, this.cancellable);
        } catch (e) {
            if (!e.matches(Gio.IOErrorEnum, Gio.IOErrorEnum.CANCELLED))
                this.emit('error', e);
            return;
        }
        if (this._process !== process)
            return;  // replaced by a later run
        this._process = null;
        if (!process.get_if_exited() || process.get_exit_status() !== 0) {
            const detail = (errors || '').trim().split('\n').slice(0, 3).join('\n');
            this.emit('error', hostError(detail || 'vexel-quicklook failed'));
            return;
        }
        this._webView.load_html(page, null);
    }
};
