// transcode (native 106): the language's door to the lexer.
//   transcode src [binary! string!] /next /one /prescan /scan
//             /part length /into dst [block!] /trace callback
#pragma once
#include <cstdint>

namespace vum::natives {

void transcode_native(const int32_t* refinements);

}  // namespace vum::natives
