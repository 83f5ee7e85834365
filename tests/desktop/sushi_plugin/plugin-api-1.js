// A stand-in for GNOME Sushi 51's plug-in API module
// (resource://org/gnome/NautilusPreviewer/plugin-api-1.js), made from its
// documentation (plugins/Plugins.md and plugins/example.js of Sushi): the
// Renderer interface a viewer implements (a Gtk.Widget; the signals "ready"
// and "error"; markReady() and the cancellable a viewer calls; stop(),
// cleanup() and resizePolicy it may override), ResizePolicy and
// setupActions. isReady() is this stand-in's own, for its host.
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import GObject from 'gi://GObject';
import Gtk from 'gi://Gtk?version=4.0';

export const ResizePolicy = Object.freeze({
    MAX_SIZE: 0,
    NAT_SIZE: 1,
    SCALED: 2,
    STATUS_PAGE: 3,
    CUSTOM: 4,
});

const cancellables = new WeakMap();
const readiness = new WeakMap();

export class Renderer extends GObject.Interface {
    static {
        GObject.registerClass({
            Requires: [Gtk.Widget],
            Signals: {
                'error': {param_types: [GLib.Error.$gtype]},
                'ready': {param_types: []},
            },
        }, this);
    }

    get cancellable() {
        if (!cancellables.has(this))
            cancellables.set(this, new Gio.Cancellable());
        return cancellables.get(this);
    }

    markReady() {
        if (readiness.get(this))
            return;
        readiness.set(this, true);
        this.emit('ready');
    }

    stop() {
    }

    cleanup() {
    }

    get resizePolicy() {
        return ResizePolicy.MAX_SIZE;
    }
}

export const isReady = renderer => !!readiness.get(renderer);

export const resolveRelativePath = (url, filename) =>
    GLib.Uri.resolve_relative(url, filename, GLib.UriFlags.NONE);

export const setupActions = (widget, prefix, actions) => {
    const group = new Gio.SimpleActionGroup();
    for (const [name, callback] of actions) {
        const action = new Gio.SimpleAction({name});
        action.connect('activate', callback);
        group.add_action(action);
    }
    widget.insert_action_group(prefix, group);
};
