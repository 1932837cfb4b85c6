# Turns a text resource into a C++ source holding it as one string constant.
file(READ "${INPUT}" CONTENT HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," BYTES "${CONTENT}")
file(WRITE "${OUTPUT}"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <string_view>\n"
  "namespace quillon::resources {\n"
  "static const unsigned char kBytes[] = {${BYTES} 0x00};\n"
  "std::string_view localizableTable() {\n"
  "    return std::string_view(reinterpret_cast<const char*>(kBytes), sizeof(kBytes) - 1);\n"
  "}\n"
  "}  // namespace quillon::resources\n")
