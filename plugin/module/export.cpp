// The shared object's only exported symbol: the entry mpv calls on the plug-in's own thread.
#include "plugin/entry.h"

extern "C" __attribute__((visibility("default"))) int mpv_open_cplugin(mpv_handle *handle) {
    return solvane_main(handle);
}
