# Turns page.html into a C++ source that holds it as one string, so that the
# page is part of the executable: nothing to install, nothing to fetch.
# Usage: cmake -DINPUT=page.html -DOUTPUT=page.cpp -P embed_page.cmake
file(READ ${INPUT} page)
string(FIND "${page}" ")zqlpage\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the raw string's closing delimiter")
endif()
file(WRITE ${OUTPUT}.tmp "// Generated from page.html by embed_page.cmake; edit the page, not this file.
#include <cstddef>

#include \"live.h\"

namespace zqlscope::live {
const char kPage[] = R\"zqlpage(${page})zqlpage\";
const std::size_t kPageSize = sizeof kPage - 1;
} // namespace zqlscope::live
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
