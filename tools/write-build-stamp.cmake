# Writes the C++ file that holds the build stamp: when this build of the
# runtime was made, in the notation of date! values (day without a leading
# zero, month by its name, local time). SOURCE_DATE_EPOCH, when set, fixes
# the moment, so that a rebuild of the same sources can give the same
# program.
#
#   cmake -DOUTPUT=FILE -P write-build-stamp.cmake
if(NOT OUTPUT)
  message(FATAL_ERROR "write-build-stamp.cmake: OUTPUT is not set")
endif()
# The month by its English name whatever the locale.
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
string(TIMESTAMP day "%d")
string(REGEX REPLACE "^0" "" day "${day}")
string(TIMESTAMP month "%m")
string(REGEX REPLACE "^0" "" month "${month}")
math(EXPR month "${month} - 1")
list(GET months ${month} month)
string(TIMESTAMP rest "-%Y/%H:%M:%S")
set(rest "-${month}${rest}")
file(WRITE "${OUTPUT}.new"
"// Written at build time by tools/write-build-stamp.cmake: do not edit.
#include \"base/build-stamp.h\"

namespace vum::build {

const char* const stamp = \"${day}${rest}\";

}  // namespace vum::build
")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
