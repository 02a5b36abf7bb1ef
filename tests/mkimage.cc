// Writes images made by the test image builder, for the sample and the seeds.
//   zymran_mkimage sample <file>
#include <stdio.h>
#include <string.h>

#include "image_builder.h"

int main(int argc, char** argv) {
  if (argc != 3 || strcmp(argv[1], "sample") != 0) {
    fprintf(stderr, "usage: zymran_mkimage sample <file>\n");
    return 2;
  }
  const BuiltImage image = buildImage(sampleImageSpec());
  FILE* f = fopen(argv[2], "wb");
  if (f == nullptr || fwrite(image.bytes.data(), 1, image.bytes.size(), f) != image.bytes.size() ||
      fclose(f) != 0) {
    perror(argv[2]);
    return 1;
  }
  return 0;
}
