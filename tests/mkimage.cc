// Writes images made by the test image builder:
//   zymran_mkimage sample <file>   the README's sample
//   zymran_mkimage seeds <folder>  a seed corpus for the image fuzzer
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "image_builder.h"

namespace {

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
    perror(path.c_str());
    return false;
  }
  return true;
}

// Images that reach every kind of line of the report, and each internal check.
std::vector<std::vector<uint8_t>> seeds() {
  std::vector<ImageSpec> specs;
  specs.push_back(sampleImageSpec());
  specs.push_back(ImageSpec{});
  {
    ImageSpec s = sampleImageSpec();
    for (ImportedModule& m : s.modules) m.lookupThroughFirstThunk = true;
    s.importSectionName = ".IDATA";
    s.sectionsBefore = {".text", ".rdata"};
    specs.push_back(s);
  }
  {
    ImageSpec s;
    s.modules = {{"ntdll.dll", {{"NtClose"}, {std::string(60, 'L')}}},
                 {"user32", {{"MessageBoxA"}}},
                 {"KERNEL32.dll", {{"GetVersion"}, byOrdinal(4)}}};
    specs.push_back(s);
  }
  {
    ImageSpec s = sampleImageSpec();
    s.importSectionName = ".idata$2";
    specs.push_back(s);
  }
  std::vector<std::vector<uint8_t>> images;
  for (const ImageSpec& s : specs) images.push_back(buildImage(s).bytes);
  return images;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "sample") == 0)
    return writeFile(argv[2], buildImage(sampleImageSpec()).bytes) ? 0 : 1;
  if (argc == 3 && strcmp(argv[1], "seeds") == 0) {
    const std::vector<std::vector<uint8_t>> images = seeds();
    for (size_t i = 0; i < images.size(); ++i)
      if (!writeFile(std::string(argv[2]) + "/seed" + std::to_string(i) + ".dll", images[i])) return 1;
    return 0;
  }
  fprintf(stderr, "usage: zymran_mkimage sample <file> | seeds <folder>\n");
  return 2;
}
