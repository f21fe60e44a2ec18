#include "view/windows/font-map.h"

#include <cairo.h>
#include <dlfcn.h>
#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>

#include <mutex>

namespace vum::view {

std::string fonts_file() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&fonts_file), &info) || !info.dli_fname) return "vum-fonts.conf";
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "vum-fonts.conf";
}

PangoFontMap* font_map() {
    static PangoFontMap* map = nullptr;
    static std::once_flag made;
    std::call_once(made, [] {
        // The system's configuration and fonts, then our rules on top: a
        // rule loaded later edits the pattern after the system's have.
        FcConfig* config = FcInitLoadConfigAndFonts();
        if (!config) return;
        std::string ours = fonts_file();
        FcConfigParseAndLoad(config, reinterpret_cast<const FcChar8*>(ours.c_str()), FcFalse);
        // The process's configuration from now on, so that Cairo's own
        // font lookups meet the same families; a font map made after this
        // takes it (handing a made map a new configuration clears its
        // caches, and Pango loses the font list it had then).
        FcConfigSetCurrent(config);
        FcConfigDestroy(config);  // fontconfig holds the current one
        map = pango_cairo_font_map_new_for_font_type(CAIRO_FONT_TYPE_FT);
    });
    return map;
}

cairo_font_options_t* stable_font_options() {
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    return options;
}

PangoContext* stable_context() {
    PangoFontMap* map = font_map();
    if (!map) return nullptr;
    PangoContext* context = pango_font_map_create_context(map);
    cairo_font_options_t* options = stable_font_options();
    pango_cairo_context_set_font_options(context, options);
    cairo_font_options_destroy(options);
    return context;
}

std::string resolved_family(const std::string& requested) {
    PangoContext* context = stable_context();
    if (!context) return {};
    PangoFontDescription* description = pango_font_description_new();
    pango_font_description_set_family(description, requested.c_str());
    pango_font_description_set_size(description, 12 * PANGO_SCALE);
    std::string family;
    if (PangoFont* font = pango_font_map_load_font(font_map(), context, description)) {
        PangoFontDescription* found = pango_font_describe(font);
        if (const char* name = pango_font_description_get_family(found)) family = name;
        pango_font_description_free(found);
        g_object_unref(font);
    }
    pango_font_description_free(description);
    g_object_unref(context);
    return family;
}

}  // namespace vum::view
