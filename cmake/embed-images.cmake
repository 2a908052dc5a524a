# Writes OUT: a C++ source holding every file under ROOT/<image>/ as the built-in images.
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${ROOT} ${ROOT}/*)
list(SORT files)
set(body "")
set(table "")
set(n 0)
foreach(f IN LISTS files)
  string(FIND "${f}" "/" slash)
  string(SUBSTRING "${f}" 0 ${slash} image)
  math(EXPR start "${slash} + 1")
  string(SUBSTRING "${f}" ${start} -1 rel)
  file(READ ${ROOT}/${f} hex HEX)
  string(LENGTH "${hex}" hexlen)
  math(EXPR size "${hexlen} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "static const unsigned char f${n}[] = {${bytes}0};\n")
  string(APPEND table "    {\"${image}\", \"${rel}\", f${n}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE ${OUT}.tmp
"// Generated from examples/machines/images by cmake/embed-images.cmake.\n"
"#include \"core/machine.h\"\n\nnamespace winsim {\nnamespace {\n${body}\n"
"struct Entry { const char* image; const char* path; const unsigned char* data; size_t size; };\n"
"const Entry kEntries[] = {\n${table}};\n}  // namespace\n\n"
"const std::map<std::string, ImageFiles>& BuiltinImages() {\n"
"  // Never destroyed: a machine may first be loaded from an exit handler.\n"
"  static const std::map<std::string, ImageFiles>* images = [] {\n"
"    auto* m = new std::map<std::string, ImageFiles>;\n"
"    for (const Entry& e : kEntries) (*m)[e.image][e.path] = std::string(reinterpret_cast<const char*>(e.data), e.size);\n"
"    return m;\n"
"  }();\n"
"  return *images;\n}\n\n}  // namespace winsim\n")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
