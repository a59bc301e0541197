// Layout bundles: builds the tree from arbitrary JSON-ish bytes, lays it out on a small window,
// draws it whole and looks every widget up by name.
#include <cstddef>
#include <cstdint>
#include <string>

#include "gfx/text.h"
#include "toolkit/events.h"
#include "toolkit/input.h"
#include "toolkit/theme.h"
#include "toolkit/widget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::unique_ptr<Font> font = [] {
        auto f = font_load_builtin();
        toolkit_globals_create();
        toolkit_set_root_surface(SurfacePtr(surface_new(320, 240)));
        return f;
    }();
    if (size > 1 << 16) return 0;
    toolkit_backend().default_font = font.get();
    std::string text(reinterpret_cast<const char *>(data), size);
    double scale = size > 0 ? 1 + data[0] % 4 : 1;
    WidgetPtr root = layout_build(text.c_str(), scale);
    if (!root) return 0;
    theme_apply_tree(root.get(), theme_defaults());
    widget_set_geometry(root.get(), 0, 0, 320, 240);
    widget_refresh(root.get());
    widget_walk(
        root.get(),
        [](Widget *w, void *top) {
            if (w->name) widget_find(static_cast<Widget *>(top), w->name->c_str());
        },
        root.get(), 0);
    // Pointer traffic over whatever was built.
    toolkit_pointer_motion(10, 10);
    toolkit_button(1, 0x40);
    toolkit_pointer_motion(200, 100);
    toolkit_button(1, 0);
    toolkit_frame_guards_clear();
    return 0;
}
