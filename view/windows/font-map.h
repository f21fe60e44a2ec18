// The view module's text: one Pango font map over a fontconfig
// configuration of our own, the system's configuration first and then the
// program's file (vum-fonts.conf, found beside the module), which binds the
// Windows family names to metric-compatible Debian fonts.
#pragma once
#include <string>

typedef struct _PangoFontMap PangoFontMap;
typedef struct _PangoContext PangoContext;
typedef struct _cairo_font_options cairo_font_options_t;

namespace vum::view {

// Made on first use and kept for the process. Null when fontconfig cannot
// load a configuration at all.
PangoFontMap* font_map();

// The family the font map resolves a requested family to (what text asked
// for in that family is drawn with); empty when nothing resolves.
std::string resolved_family(const std::string& requested);

// The path of the program's fontconfig file, whether or not it is there.
std::string fonts_file();

// Grey antialiasing, no hinting, no hinted metrics: the same pixels and
// advances on every machine. The caller frees the options.
cairo_font_options_t* stable_font_options();

// A context of the font map with the stable options set; the caller
// releases it (g_object_unref).
PangoContext* stable_context();

}  // namespace vum::view
