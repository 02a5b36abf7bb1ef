#include "driver.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  platformStart();
  const int status = runDriver(argc, argv);
  return platformEnd(status);
}
