// Theme objects: parses arbitrary bytes as a theme (and as a themes document member), then
// premultiplies and applies the records to a widget.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/json.h"
#include "toolkit/theme.h"
#include "toolkit/widget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    ThemeRecords records;
    theme_load(text.c_str(), records);
    theme_premultiply(records);
    if (const char *member = json_find(text.c_str(), "dark")) theme_load(member, records);
    static WidgetPtr scroll = widget_create(WIDGET_SCROLL);
    theme_apply(scroll.get(), &records);
    return 0;
}
