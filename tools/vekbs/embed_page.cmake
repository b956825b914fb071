# SPDX-License-Identifier: GPL-2.0-or-later
# cmake -DINPUT=page.html -DOUTPUT=page.cpp -P embed_page.cmake: the station's
# page as a C++ array, so that vekbs serves it without a file of its own.
file(READ ${INPUT} content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
string(REGEX REPLACE "(('[^']*',){16})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp
  "/* Generated from data/page.html by embed_page.cmake: do not edit. */\n"
  "#include <glib.h>\n"
  "namespace vekbs\n{\n"
  "extern const char kPage[];\nextern const gsize kPageLength;\n"
  "const char kPage[] = {\n${bytes}'\\0'};\n"
  "const gsize kPageLength = sizeof(kPage) - 1;\n"
  "} // namespace vekbs\n")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
