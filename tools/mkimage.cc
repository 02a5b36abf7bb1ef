// Writes images made by the test image builder:
//   zymran_mkimage sample <file>   the README's sample
//   zymran_mkimage seeds <folder>  a seed corpus for the image fuzzer
//   zymran_mkimage corpus <folder> <count>  varied images for the benchmark
//   zymran_mkimage profile-bench <folder>   the two DLLs that the benchmark
//                                           gives zymran-profile
#include <stdio.h>
#include <stdlib.h>
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
  std::vector<ImagePlan> plans;
  plans.push_back(sampleImagePlan());
  plans.push_back(ImagePlan{});
  {
    ImagePlan s = sampleImagePlan();
    for (ImportedModule& m : s.modules) m.lookupThroughFirstThunk = true;
    s.importSectionName = ".IDATA";
    s.sectionsBefore = {".text", ".rdata"};
    plans.push_back(s);
  }
  {
    ImagePlan s;
    s.modules = {{"ntdll.dll", {{"NtClose"}, {std::string(60, 'L')}}},
                 {"user32", {{"MessageBoxA"}}},
                 {"KERNEL32.dll", {{"GetVersion"}, byOrdinal(4)}}};
    plans.push_back(s);
  }
  {
    ImagePlan s = sampleImagePlan();
    s.importSectionName = ".idata$2";
    plans.push_back(s);
  }
  {
    // A DLL with exports by name, by ordinal alone and forwarded, its
    // descriptors behind the address lists, and the same as PE32+ with a
    // short optional header.
    ImagePlan s = exportingImagePlan();
    s.addressListsFirst = true;
    plans.push_back(s);
    s.pe32plus = true;
    s.dataDirectories = 2;
    plans.push_back(s);
  }
  std::vector<std::vector<uint8_t>> images;
  for (const ImagePlan& s : plans) images.push_back(buildImage(s).bytes);
  // Export data that only a reader mapping sections as the loader does reads
  // right, or refuses.
  for (ExportCraft craft : {ExportCraft::RawPastVirtualSize, ExportCraft::UnalignedRawData, ExportCraft::NameInTail,
                            ExportCraft::OneNameThreeTimes, ExportCraft::NamesShareBytes,
                            ExportCraft::OverlappingSections})
    images.push_back(craftExports(craft));
  return images;
}

// A reproducible pseudo-random sequence.
struct Random {
  uint64_t state;
  uint32_t next(uint32_t bound) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>((state >> 33) % bound);
  }
};

// Images from a few kilobytes to several megabytes, with import tables from a
// handful of functions to tens of thousands.
ImagePlan corpusPlan(uint32_t index) {
  static const char* const kModules[] = {"KERNEL32.dll", "USER32.dll", "NTDLL.dll",
                                         "GDI32.dll",    "MSVCRT.dll", "COMCTL32.dll"};
  static const char* const kKnown[] = {"GetVersion", "ExitProcess", "GetStartupInfoA",
                                       "MessageBoxA", "NtClose", "HeapAlloc", "WriteFile"};
  Random random{index * 2654435761u + 1};
  ImagePlan plan;
  plan.dll = index % 2 == 1;
  // Every tenth image is large in code; the import tables grow by powers.
  if (index % 10 == 0) plan.sectionBeforeSize = 0x200 * (1 + random.next(12000));
  else plan.sectionBeforeSize = 0x200 * (1 + random.next(16));
  const uint32_t tier = index % 5;
  const uint32_t total = tier == 0 ? 3 + random.next(10)
                         : tier == 1 ? 20 + random.next(80)
                         : tier == 2 ? 100 + random.next(900)
                         : tier == 3 ? 1000 + random.next(4000)
                                     : 5000 + random.next(35000);
  const uint32_t nModules = 1 + random.next(total < 6 ? total : 6);
  for (uint32_t m = 0; m < nModules; ++m) {
    ImportedModule module;
    module.name = kModules[(m + index) % 6];
    module.lookupThroughFirstThunk = random.next(4) == 0;
    const bool emulated = (m + index) % 6 < 3;
    const uint32_t count = total / nModules;
    for (uint32_t f = 0; f < count; ++f) {
      if (!emulated && random.next(3) == 0) {
        module.functions.push_back(byOrdinal(1 + f));
      } else if (random.next(4) == 0) {
        module.functions.push_back({kKnown[random.next(7)]});
      } else {
        module.functions.push_back({"Function" + std::to_string(f) + "Of" + module.name});
      }
    }
    plan.modules.push_back(module);
  }
  return plan;
}

// A DLL of 1,500 forwarded exports.
std::vector<uint8_t> manyExportsImage() {
  ImagePlan plan;
  plan.dll = true;
  plan.exportModuleName = "exports1500.dll";
  for (uint32_t i = 0; i < 1500; ++i) {
    char name[16];
    snprintf(name, sizeof name, "Function%04u", i);
    plan.exports.push_back({name, "KERNEL32.ExitProcess"});
  }
  return buildImage(plan).bytes;
}

// A DLL with as many sections as a PE header can count, 65,535, and 20,000
// export names (about 3 MB). The 65,533 sections in front of the import and
// export sections each claim the same 512 bytes of the file at an address of
// their own beyond the export section: to map a name's address, a reader that
// walks the table walks all of it.
std::vector<uint8_t> manySectionsImage() {
  const uint32_t before = 65533;
  ImagePlan plan;
  plan.dll = true;
  plan.exportModuleName = "sections65535.dll";
  plan.sectionsBefore.assign(before, ".text");
  plan.sectionBeforeSize = 0;
  for (uint32_t i = 0; i < 20000; ++i) {
    char name[16];
    snprintf(name, sizeof name, "F%05u", i);
    plan.exports.push_back({name, ""});
  }
  BuiltImage image = buildImage(plan);
  const uint32_t table = image.importEntryOffset - 40 * before;
  for (uint32_t i = 0; i < before; ++i) {
    const uint32_t entry = table + 40 * i;
    put32(image.bytes, entry + kSectionVirtualAddress, image.imageSize + 0x1000 * i);
    put32(image.bytes, entry + kSectionSizeOfRawData, 0x200);
    put32(image.bytes, entry + kSectionPointerToRawData, image.importRawOffset);
  }
  return image.bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "sample") == 0)
    return writeFile(argv[2], buildImage(sampleImagePlan()).bytes) ? 0 : 1;
  if (argc == 3 && strcmp(argv[1], "seeds") == 0) {
    const std::vector<std::vector<uint8_t>> images = seeds();
    for (size_t i = 0; i < images.size(); ++i)
      if (!writeFile(std::string(argv[2]) + "/seed" + std::to_string(i) + ".dll", images[i])) return 1;
    return 0;
  }
  if (argc == 4 && strcmp(argv[1], "corpus") == 0) {
    const uint32_t count = static_cast<uint32_t>(atoi(argv[3]));
    for (uint32_t i = 0; i < count; ++i) {
      char name[32];
      snprintf(name, sizeof name, "/image%04u.dll", i);
      if (!writeFile(std::string(argv[2]) + name, buildImage(corpusPlan(i)).bytes)) return 1;
    }
    return 0;
  }
  if (argc == 3 && strcmp(argv[1], "profile-bench") == 0) {
    const std::string folder = argv[2];
    return writeFile(folder + "/exports1500.dll", manyExportsImage()) &&
                   writeFile(folder + "/sections65535.dll", manySectionsImage())
               ? 0
               : 1;
  }
  fprintf(stderr,
          "usage: zymran_mkimage sample <file> | seeds <folder> | corpus <folder> <count> | "
          "profile-bench <folder>\n");
  return 2;
}
