# Turns the page template into a C++ source: cmake -DINPUT=... -DOUTPUT=... -P EmbedPage.cmake
file(READ "${INPUT}" page)
string(FIND "${page}" ")KELMORA_PAGE\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the raw-string delimiter")
endif()
file(WRITE "${OUTPUT}.tmp"
  "// Made from ReportPage.html at build time; edit that file.\n"
  "#include \"report/HtmlReport.h\"\n\n"
  "const char* const reportPageTemplate = R\"KELMORA_PAGE(${page})KELMORA_PAGE\";\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
