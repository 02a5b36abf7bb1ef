// Shared helpers of the tests: temporary files and captured tool output.
#ifndef ZYMRAN_TESTS_TEST_SUPPORT_H
#define ZYMRAN_TESTS_TEST_SUPPORT_H

#include <stdint.h>

#include <string>
#include <vector>

#include "image_builder.h"

// A fresh temporary folder, removed with its files at the end of the test run.
std::string tempDir();

// Writes `bytes` to a file in tempDir() and returns its path.
std::string writeTempFile(const std::string& name, const std::vector<uint8_t>& bytes);

// Connects the tool's standard output to a string (buffered, as for a pipe)
// and returns what was written when `run` finishes.
struct Captured {
  std::string out;
  int status;
};
Captured captureCheckImage(const std::vector<uint8_t>& bytes);

// The two banner lines as the tool writes them.
extern const char kBanner[];

// The report on sampleImagePlan() under the default profile, with "\n".
extern const char kSampleReport[];

// "\n" to "\r\n", to write expected output readably.
std::string crlf(const std::string& text);

// What a failed internal check writes on standard error, exactly.
std::string failedCheck(const std::string& expression, int line);

// The image of sampleImagePlan(), built once.
const BuiltImage& sampleImage();

#endif
